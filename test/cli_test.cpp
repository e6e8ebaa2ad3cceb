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
        ToolCase{"EmptySubcommand", {"", "QUJD"}, parameterError, conversionFailed("")},
        ToolCase{"SignWithoutDigits", {" -", "QUJD"}, parameterError, conversionFailed(" -")},
        ToolCase{
            "Above32Bits", {"4294967296", "QUJD"}, parameterError, conversionFailed("4294967296")},
        ToolCase{"NegativeAbove32Bits",
                 {"-4294967296", "QUJD"},
                 parameterError,
                 conversionFailed("-4294967296")},
        ToolCase{"HighBytes", {"\xff\x80", "QUJD"}, parameterError, conversionFailed("\xff\x80")}),
    toolCaseName);

INSTANTIATE_TEST_SUITE_P(
    Base64, Run,
    testing::Values(
        ToolCase{"LengthNotMultipleOf4", {"0", "QUJ"}, "handleRawData return 3", notBase64("QUJ")},
        ToolCase{"OutsideAlphabet", {"0", "QU-D"}, "handleRawData return 3", notBase64("QU-D")},
        ToolCase{"HighBytes",
                 {"2", "\xc3\xa9\xc3\xa9"},
                 "handleRawData return 3",
                 notBase64("\xc3\xa9\xc3\xa9")},
        ToolCase{
            "HugeArgument", {"2", longJunk()}, "handleRawData return 3", notBase64(longJunk())},
        // '=' may stand anywhere; decoding stops at the first one.
        ToolCase{"PadInTheMiddle",
                 {"7", "QQ==QUJD"},
                 "rawData size check failed,subcmd: 7, size: 1\nhandleRawData return 4",
                 ""},
        ToolCase{"Empty",
                 {"7", ""},
                 "rawData size check failed,subcmd: 7, size: 0\nhandleRawData return 4",
                 ""}),
    toolCaseName);

// Unknown codes take the size-check failure path without a log entry; the
// code printed is what the conversion selected.
struct CodeCase
{
    const char* name;
    std::string arg;
    unsigned code;

    friend void PrintTo(const CodeCase& c, std::ostream* os) { *os << c.name; }
};

class SubcommandCode : public testing::TestWithParam<CodeCase>
{
};

TEST_P(SubcommandCode, SelectsLowByte)
{
    const auto& c = GetParam();
    const ToolRun run = runTool({c.arg, "QUJD"});
    EXPECT_EQ(run.out, "rawData size check failed,subcmd: " + std::to_string(c.code) +
                           ", size: 3\nhandleRawData return 4");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.exitStatus, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Conversion, SubcommandCode,
    testing::Values(CodeCase{"Plain", "7", 7}, CodeCase{"TrailingText", "7abc", 7},
                    CodeCase{"LeadingWhiteSpace", " \t\n\v\f\r9", 9}, CodeCase{"PlusSign", "+4", 4},
                    CodeCase{"Wraps256", "260", 4}, CodeCase{"MinusOne", "-1", 255},
                    CodeCase{"Max32Bits", "4294967295", 255},
                    CodeCase{"NegativeWraps", "-4294967041", 255},
                    CodeCase{"LeadingZeros", "000000000000000000000000042", 42}),
    [](const auto& info) { return info.param.name; });

} // namespace
} // namespace qorvd::test
