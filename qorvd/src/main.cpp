// SPDX-FileCopyrightText: The qorv_raw_data_parser contributors
// SPDX-License-Identifier: Apache-2.0

// qorv_raw_data_parser SUBCMD BASE64: decode one UEFI memory record and print
// its summary. Every outcome the text reports ends with status 0; a run whose
// standard output could not be written ends with 1.

#include "logging.hpp"
#include "output.hpp"
#include "qorv_uefi_raw_data_parser.hpp"
#include "utils.hpp"
#include "version.hpp"

#if QORVD_SANDBOX
#include "sandbox.hpp"
#endif

#include <fmt/compile.h>

#include <features.h> // the C library's: __USE_FORTIFY_LEVEL

#include <cstdint>
#include <cstring>
#include <string_view>

namespace
{
// The tool's name is misspelt here on purpose: scripts match these texts.
constexpr std::string_view usageText = "qrov_raw_data_parser subcmd base64RawData.\n";
constexpr std::string_view parameterErrorText =
    "Parameter is incorrect, please use qrov_raw_data_parser -h for help.\n";

// The status of a run whose standard output was lost in part or in whole
// (device full, descriptor closed, reader gone with SIGPIPE ignored): the
// caller must not take the record as handled.
constexpr int outputLostStatus = 1;
} // namespace

// The version and the commit this file was built from, for `strings` and
// `readelf -p .comment` on a file taken from a BMC.
asm(".ident \"qorv_raw_data_parser version " QORVD_VERSION ", commit " QORVD_COMMIT "\"");

// How the compiler hardened this file, in the executable's .comment section, so
// that the shipped file, stripped or static, can be checked for it with
// `readelf -p .comment`. The compiler's and the C library's own macros tell what
// was applied, whichever flags asked for it. Nothing of it is loaded at run time.
#ifdef __SSP_ALL__
asm(".ident \"qorv_raw_data_parser: stack protector all\"");
#elif defined(__SSP_STRONG__)
asm(".ident \"qorv_raw_data_parser: stack protector strong\"");
#elif defined(__SSP__)
asm(".ident \"qorv_raw_data_parser: stack protector\"");
#endif

// libstdc++'s bounds checks.
#ifdef _GLIBCXX_ASSERTIONS
asm(".ident \"qorv_raw_data_parser: library assertions\"");
#endif

// The options that no macro tells of, as the build gave them; the debug file's
// DW_AT_producer shows them as the compiler took them.
#if QORVD_HARDENING
asm(".ident \"qorv_raw_data_parser: hardened with " QORVD_HARDENED_WITH "\"");
#endif

// glibc turns its checks on only in optimised code; the level says what it did.
#if __USE_FORTIFY_LEVEL >= 3
asm(".ident \"qorv_raw_data_parser: fortify source 3\"");
#elif __USE_FORTIFY_LEVEL == 2
asm(".ident \"qorv_raw_data_parser: fortify source 2\"");
#elif __USE_FORTIFY_LEVEL == 1
asm(".ident \"qorv_raw_data_parser: fortify source 1\"");
#endif

// Whether the file confines itself (a build for coverage, sanitizers or
// valgrind does not: they make calls of their own).
#if QORVD_SANDBOX
asm(".ident \"qorv_raw_data_parser: sandbox seccomp-bpf\"");
#endif

namespace
{
void run(int argc, char** argv)
{
    using namespace qorvd;

    if (argc == 2 && std::string_view{argv[1]} == "-h")
    {
        writeStdout(usageText);
        return;
    }
    if (argc != 3)
    {
        writeStdout(parameterErrorText);
        return;
    }

    const std::string_view subcmdText{argv[1]};
    const auto subcmd = parseUnsigned32(subcmdText);
    if (!subcmd)
    {
        log(LogLevel::Error) << "subcmd conversion failed: " << HostText{subcmdText};
        writeStdout(parameterErrorText);
        return;
    }

    // Only the low byte selects the record kind: 256 is 0, -1 is 255.
    const auto result = handleRawData(static_cast<uint8_t>(*subcmd), argv[2]);
    if (result != RawDataResult::Success)
    {
        printStdout(FMT_COMPILE("handleRawData return {}"), static_cast<int>(result));
    }
}
} // namespace

int main(int argc, char* argv[])
{
    // Before the first argument is read: they come from the host.
#if QORVD_SANDBOX
    static_cast<void>(qorvd::sandbox::confine());
#endif
    run(argc, argv);
    if (qorvd::stdoutError != 0)
    {
        qorvd::log(qorvd::LogLevel::Error)
            << "standard output write failed: " << std::strerror(qorvd::stdoutError);
        return outputLostStatus;
    }
    return 0;
}
