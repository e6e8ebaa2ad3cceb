// SPDX-FileCopyrightText: The qorv_raw_data_parser contributors
// SPDX-License-Identifier: Apache-2.0

// Whole runs of the tool, as a user sees them: the command line, every record
// kind around each of its size boundaries, host text in the log, and output
// that cannot be written. One row a run.

#include "encode.hpp"
#include "tool_runner.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace qorvd::test
{
namespace
{
struct Case
{
    const char* name = "";
    std::vector<std::string> args = {};
    std::string out = {};
    std::string log = {}; // as normalizeLog gives it
    int exitStatus = 0;
    int signal = 0;
    Streams streams = {};
    // A command that limits the tool (prlimit); like a file limit, for the
    // tool alone.
    std::vector<std::string> wrapper = {};
    // Its system calls differ from the other rows': run too as on a BMC
    // that is still booting, whose kernel has no entropy yet.
    bool noEntropy = false;

    friend void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }
};

class Run : public testing::TestWithParam<Case>
{
};

TEST_P(Run, PrintsExactly)
{
    const auto& c = GetParam();
    if (withoutEntropy() == NoEntropy::Rows && !c.noEntropy)
    {
        GTEST_SKIP() << "its calls are another row's";
    }
    if ((!c.wrapper.empty() || c.streams.fileLimit != 0) && !toolRunsAlone())
    {
        GTEST_SKIP() << "an emulator, valgrind or sanitizer would hit the limit first";
    }
    const ToolRun run = runTool(c.args, c.wrapper, c.streams);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(normalizeLog(run), c.log);
    EXPECT_EQ(run.exitStatus, c.exitStatus);
    EXPECT_EQ(run.signal, c.signal);
}

using Bytes = std::vector<uint8_t>;

// Appends `value` little-endian in `width` bytes.
Bytes& le(Bytes& bytes, uint64_t value, unsigned width)
{
    for (unsigned i = 0; i < width; ++i)
    {
        bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
    return bytes;
}

Bytes memoryConfig(uint8_t version, uint32_t data, uint8_t cpuCount,
                   const std::vector<uint64_t>& eccModes)
{
    Bytes bytes{version};
    le(bytes, data, 4);
    bytes.push_back(cpuCount);
    for (const auto mode : eccModes)
    {
        le(bytes, mode, 8);
    }
    return bytes;
}

Bytes mirrorInfo(uint32_t count, size_t entries)
{
    Bytes bytes;
    le(bytes, count, 4);
    bytes.resize(bytes.size() + 16 * entries, 0xA5);
    return bytes;
}

Bytes pprInfo(uint32_t count, size_t entries)
{
    Bytes bytes;
    le(bytes, 0xDEADBEEF, 4);
    le(bytes, count, 4);
    for (size_t i = 0; i < entries; ++i)
    {
        le(bytes, i, 4);
        le(bytes, ~i, 4);
    }
    return bytes;
}

Bytes sized(Bytes bytes, size_t size)
{
    bytes.resize(size);
    return bytes;
}

std::vector<std::string> record(unsigned subcmd, const Bytes& bytes)
{
    return {std::to_string(subcmd), toBase64(bytes)};
}

std::string logged(const char* level, const std::string& message)
{
    return std::string{"qorv_uefi_raw_data_parser.hpp ["} + level + "] " + message + "\n";
}

std::string error(const std::string& message)
{
    return logged("ERROR", message);
}

std::string notBase64(const std::string& text)
{
    return logged("ERROR", "rawData is not base64 encode: " + text);
}

std::string conversionFailed(const std::string& arg)
{
    return "main.cpp [ERROR] subcmd conversion failed: " + arg + "\n";
}

std::string lost(const std::string& cause)
{
    return "main.cpp [ERROR] standard output write failed: " + cause + "\n";
}

std::string sizeCheckFailed(unsigned subcmd, size_t size)
{
    return "rawData size check failed,subcmd: " + std::to_string(subcmd) +
           ", size: " + std::to_string(size) + "\nhandleRawData return 4";
}

constexpr const char* usage = "qrov_raw_data_parser subcmd base64RawData.\n";
constexpr const char* parameterError =
    "Parameter is incorrect, please use qrov_raw_data_parser -h for help.\n";
constexpr const char* base64Error = "handleRawData return 3";
// A line the tool could have written, passed in after a newline.
const std::string forged =
    R"(2026-12-08 20:00:00123 UTC ["qorv_uefi_raw_data_parser.hpp":84] [INFO] memconf.CpuCount :2)";
// A memory configuration with two CPUs: one INFO entry and one summary line.
const std::vector<std::string> twoCpus{"0", "AQMCAQACAQAAAAAAAAACAAAAAAAAAA=="};
const std::string twoCpusSummary =
    "MemoryConfig: formatVersion 1, QORV_UEFI_SYS_CONFIG.Data 66051, cpuCount 2, eccMode 1,2\n";
const std::string counted = logged("INFO", "memconf.CpuCount :2");
const std::string full8 = logged("INFO", "memconf.CpuCount :8");
constexpr Sink full = Sink::DeviceFull;
constexpr Sink gone = Sink::ReaderGone;
constexpr Sink captured = Sink::Captured;
constexpr bool noEntropy = true;

// Rows laid out by hand, one a line: name, arguments, standard output, log,
// exit status (-1: ended by the signal that follows), where the streams go,
// a limiting command, whether to run without entropy too.
// clang-format off
std::vector<Case> allCases()
{
    return {
        // The command line.
        {"NoArguments", {}, parameterError},
        {"Help", {"-h"}, usage, "", 0, 0, {}, {}, noEntropy},
        {"HelpWithSuffix", {"-hx"}, parameterError},
        {"LongHelp", {"--help"}, parameterError},
        {"EmptySingleArgument", {""}, parameterError},
        {"NumberAlone", {"3"}, parameterError},
        {"ThreeArguments", {"3", "QUJD", "x"}, parameterError},
        // With two arguments "-h" is read as the sub-command number.
        {"HelpAsSubcommand", {"-h", "QUJD"}, parameterError, conversionFailed("-h")},
        {"Above32Bits", {"4294967296", "QUJD"}, parameterError, conversionFailed("4294967296")},
        // Unknown codes take the size-check failure path without a log entry;
        // the code printed is what the conversion selected: the low byte.
        {"Wraps256", {"260", "QUJD"}, sizeCheckFailed(4, 3)},
        {"MinusOne", {"-1", "QUJD"}, sizeCheckFailed(255, 3)},
        {"TrailingText", {"7abc", "QUJD"}, sizeCheckFailed(7, 3)},
        {"LengthNotMultipleOf4", {"0", "QUJ"}, base64Error, notBase64("QUJ")},
        // Host text echoed in an entry stays on its line and in printable
        // ASCII, so it can forge no entry nor reach a reader's terminal, and
        // is cut after 256 bytes, counted before escaping.
        {"NewlineCannotForgeAnEntry", {"3", "AAA\n" + forged}, base64Error, notBase64("AAA\\x0a" + forged)},
        {"CarriageReturnEscapeBackslash", {"3", "\r\x1b[2J\\"}, base64Error, notBase64(R"(\x0d\x1b[2J\\)")},
        {"NotAscii", {"3", "\x80\xc3\xa9\xff"}, base64Error, notBase64(R"(\x80\xc3\xa9\xff)")},
        {"CutAfter256Bytes", {"3", std::string(255, '#') + "\n#"}, base64Error,
         notBase64(std::string(255, '#') + R"(\x0a ... (257 bytes in all))")},
        // As long as one argument may be (the kernel's limit).
        {"LongestArgument", {"3", std::string(131071, '#')}, base64Error,
         notBase64(std::string(256, '#') + " ... (131071 bytes in all)"), 0, 0, {}, {}, noEntropy},
        {"SubcommandEchoed", {"x\n" + forged, "QUJD"}, parameterError, conversionFailed("x\\x0a" + forged)},
        // Each record kind around its size boundaries.
        {"MemoryConfigBelowHeader", record(0, Bytes(5)), sizeCheckFailed(0, 5), error("headSize 6, raw data size 5")},
        {"MemoryConfigAboveCapacity", record(0, sized(memoryConfig(1, 1, 8, std::vector<uint64_t>(8)), 71)),
         sizeCheckFailed(0, 71), error("headSize 6, raw data size 71")},
        {"MemoryConfigNoCpus", record(0, memoryConfig(2, 7, 0, {})),
         "MemoryConfig: formatVersion 2, QORV_UEFI_SYS_CONFIG.Data 7, cpuCount 0, eccMode \n",
         logged("INFO", "memconf.CpuCount :0")},
        {"MemoryConfigCountAboveCapacity", record(0, sized(memoryConfig(1, 0, 9, {}), 70)), sizeCheckFailed(0, 70),
         error("memconf.CpuCount 9, raw data size 70")},
        {"MemoryConfigTrailingBytes", record(0, sized(memoryConfig(1, 0, 0, {}), 13)), sizeCheckFailed(0, 13),
         error("memconf.CpuCount 0, raw data size 13")},
        // Asymmetric bytes catch a reader that ignores byte order.
        {"MemoryConfigFull", record(0, memoryConfig(255, 0x04030201, 8, {UINT64_MAX, 0, 1, 0x0807060504030201, 4, 5, 6, 7})),
         "MemoryConfig: formatVersion 255, QORV_UEFI_SYS_CONFIG.Data 67305985, cpuCount 8, "
         "eccMode 18446744073709551615,0,1,578437695752307201,4,5,6,7\n", full8, 0, 0, {}, {}, noEntropy},
        {"MirrorInfoBelowHeader", record(1, Bytes(3)), sizeCheckFailed(1, 3), error("headSize 4, raw data size 3")},
        {"MirrorInfoNoEntries", record(1, mirrorInfo(0, 0)), "", logged("INFO", "mirrorInfo.count :0")},
        {"MirrorInfoTrailingEntry", record(1, mirrorInfo(1, 2)), sizeCheckFailed(1, 36),
         error("mirrorInfo.count 1, raw data size 36")},
        {"MirrorInfoPartialEntry", record(1, sized(mirrorInfo(1, 1), 19)), sizeCheckFailed(1, 19),
         error("mirrorInfo.count 1, raw data size 19")},
        // 4 + 16 * 2^28 wraps to 4 in 32 bits.
        {"MirrorInfoCountWrapsIn32Bits", record(1, mirrorInfo(1U << 28, 0)), sizeCheckFailed(1, 4),
         error("mirrorInfo.count 268435456, raw data size 4")},
        {"MirrorInfoMaxCount", record(1, mirrorInfo(UINT32_MAX, 0)), sizeCheckFailed(1, 4),
         error("mirrorInfo.count 4294967295, raw data size 4")},
        {"PprInfoBelowHeader", record(2, Bytes(7)), sizeCheckFailed(2, 7), error("headSize 8, raw data size 7")},
        {"PprInfoNoEntries", record(2, pprInfo(0, 0)), "MemoryRecoveryLog: size 0\n", logged("INFO", "pprInfo.count :0")},
        {"PprInfoCountBelowSize", record(2, pprInfo(1, 2)), sizeCheckFailed(2, 24),
         error("pprInfo.count 1, raw data size 24")},
        {"PprInfoNotWholeEntries", record(2, sized(pprInfo(0, 1), 12)), sizeCheckFailed(2, 12),
         error("pprInfo.count 0, raw data size 12")},
        {"PprInfoMaxCount", record(2, pprInfo(UINT32_MAX, 0)), sizeCheckFailed(2, 8),
         error("pprInfo.count 4294967295, raw data size 8")},
        // The largest record whose base64 text fits one argument (131064 of
        // the kernel's 131071 characters); and its recovery log does not fit
        // under a data limit of 704 KiB, which lets everything before it
        // through (the run fails earlier below about 450 KiB, and succeeds
        // from about 1 MiB).
        {"PprInfoLargest", record(2, pprInfo(12286, 12286)), "MemoryRecoveryLog: size 12286\n",
         logged("INFO", "pprInfo.count :12286"), 0, 0, {}, {}, noEntropy},
        {"OutOfMemoryIsSaid", record(2, pprInfo(12286, 12286)), "",
         logged("INFO", "pprInfo.count :12286") + "?qorv_raw_data_parser: out of memory\n", -1, SIGABRT, {},
         {"prlimit", "--data=720896"}, noEntropy},
        {"MemoryErrorLogLong", record(3, Bytes(65)), sizeCheckFailed(3, 65)},
        {"MemoryErrorLogShort", record(3, Bytes(63)), sizeCheckFailed(3, 63)},
        // Output that cannot be written is said on standard error, and the
        // run ends with status 1; a lost standard error changes nothing else.
        // A service's SIGPIPE is ignored: the write fails and the tool says
        // so; at its default, SIGPIPE ends the tool, as every filter.
        {"StdoutFull", twoCpus, "", counted + lost("No space left on device"), 1, 0, {full}, {}, noEntropy},
        {"StdoutReaderGone", twoCpus, "", counted + lost("Broken pipe"), 1, 0, {gone, captured, true}},
        {"StdoutReaderGoneSigpipe", twoCpus, "", counted, -1, SIGPIPE, {gone}},
        // Two lines to write; the first failure stops the second, said once.
        {"RejectedRecordToFullDevice", {"7", "QUJD"}, "", lost("No space left on device"), 1, 0, {full}},
        // An accepted mirror record prints nothing: nothing is lost.
        {"NothingToWrite", {"1", "AAAAAA=="}, "", logged("INFO", "mirrorInfo.count :0"), 0, 0, {full}},
        // A write cut short is written on from where it stopped, not taken as
        // done: here the next fails (the file limit holds the log too).
        {"StdoutCutShort", twoCpus, twoCpusSummary.substr(0, 16), "", 1, 0, {captured, full, false, 16}},
        {"StderrFull", twoCpus, twoCpusSummary, "", 0, 0, {captured, full}},
        {"BothFull", twoCpus, "", "", 1, 0, {full, full}},
    };
}
// clang-format on

INSTANTIATE_TEST_SUITE_P(Tool, Run, testing::ValuesIn(allCases()),
                         [](const auto& info) { return info.param.name; });

} // namespace
} // namespace qorvd::test
