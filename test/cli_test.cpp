// SPDX-FileCopyrightText: The qorv_raw_data_parser contributors
// SPDX-License-Identifier: Apache-2.0

// The command line, the sub-command conversion and the handler's own outcomes,
// as a user sees them.

#include "tool_runner.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qorvd::test
{
namespace
{
constexpr const char* usage = "qrov_raw_data_parser subcmd base64RawData.\n";
constexpr const char* parameterError =
    "Parameter is incorrect, please use qrov_raw_data_parser -h for help.\n";

std::string conversionFailed(const std::string& arg)
{
    return "main.cpp [ERROR] subcmd conversion failed: " + arg + "\n";
}

std::string notBase64(const std::string& text)
{
    return "qorv_uefi_raw_data_parser.hpp [ERROR] rawData is not base64 encode: " + text + "\n";
}

// As long as one argument may be (the kernel's limit), and not base64.
std::string longJunk()
{
    return std::string(131071, '#'); // NOLINT(modernize-return-braced-init-list): a count
}

INSTANTIATE_TEST_SUITE_P(
    CommandLine, Run,
    testing::Values(
        ToolCase{"NoArguments", {}, parameterError, ""}, ToolCase{"Help", {"-h"}, usage, ""},
        ToolCase{"HelpWithSuffix", {"-hx"}, parameterError, ""},
        ToolCase{"LongHelp", {"--help"}, parameterError, ""},
        ToolCase{"EmptySingleArgument", {""}, parameterError, ""},
        ToolCase{"NumberAlone", {"3"}, parameterError, ""},
        ToolCase{"ThreeArguments", {"3", "QUJD", "x"}, parameterError, ""},
        ToolCase{"HugeSingleArgument", {longJunk()}, parameterError, ""},
        // With two arguments "-h" is read as the sub-command number.
        ToolCase{"HelpAsSubcommand", {"-h", "QUJD"}, parameterError, conversionFailed("-h")},
        ToolCase{
            "Above32Bits", {"4294967296", "QUJD"}, parameterError, conversionFailed("4294967296")}),
    toolCaseName);

// A line the tool could have written, to be passed in after a newline.
constexpr const char* forged =
    "2026-12-08 20:00:00123 UTC [\"qorv_uefi_raw_data_parser.hpp\":84] [INFO] memconf.CpuCount :2";

INSTANTIATE_TEST_SUITE_P(Base64, Run,
                         testing::Values(ToolCase{"LengthNotMultipleOf4",
                                                  {"0", "QUJ"},
                                                  "handleRawData return 3",
                                                  notBase64("QUJ")}),
                         toolCaseName);

// Host text echoed in an entry stays on its line and in printable ASCII, so it
// can forge no entry nor reach a reader's terminal, and is cut after 256
// bytes, counted before escaping.
INSTANTIATE_TEST_SUITE_P(
    Echoed, Run,
    testing::Values(ToolCase{"NewlineCannotForgeAnEntry",
                             {"3", std::string("AAA\n") + forged},
                             "handleRawData return 3",
                             notBase64("AAA\\x0a" + std::string(forged))},
                    ToolCase{"CarriageReturnEscapeBackslash",
                             {"3", "\r\x1b[2J\\"},
                             "handleRawData return 3",
                             notBase64(R"(\x0d\x1b[2J\\)")},
                    ToolCase{"NotAscii",
                             {"3", "\x80\xc3\xa9\xff"},
                             "handleRawData return 3",
                             notBase64(R"(\x80\xc3\xa9\xff)")},
                    ToolCase{"CutAfter256Bytes",
                             {"3", std::string(255, '#') + "\n#"},
                             "handleRawData return 3",
                             notBase64(std::string(255, '#') + R"(\x0a ... (257 bytes in all))")},
                    ToolCase{"LongestArgument",
                             {"3", longJunk()},
                             "handleRawData return 3",
                             notBase64(std::string(256, '#') + " ... (131071 bytes in all)")},
                    ToolCase{"SubcommandEchoed",
                             {std::string("x\n") + forged, "QUJD"},
                             parameterError,
                             conversionFailed("x\\x0a" + std::string(forged))}),
    toolCaseName);

// Unknown codes take the size-check failure path without a log entry; the
// code printed is what the conversion selected: the low byte.
INSTANTIATE_TEST_SUITE_P(
    Conversion, Run,
    testing::Values(ToolCase{"Wraps256", {"260", "QUJD"}, sizeCheckFailed(4, 3), ""},
                    ToolCase{"MinusOne", {"-1", "QUJD"}, sizeCheckFailed(255, 3), ""},
                    ToolCase{"TrailingText", {"7abc", "QUJD"}, sizeCheckFailed(7, 3), ""}),
    toolCaseName);

} // namespace
} // namespace qorvd::test
