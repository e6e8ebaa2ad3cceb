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
    int signal = 0; // the signal that ends the run (exitStatus -1)
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
    bytes.resize(size, 0x11);
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
constexpr const char* forged =
    "2026-12-08 20:00:00123 UTC [\"qorv_uefi_raw_data_parser.hpp\":84] [INFO] memconf.CpuCount :2";
// A memory configuration with two CPUs: one INFO entry and one summary line.
const std::vector<std::string> twoCpus{"0", "AQMCAQACAQAAAAAAAAACAAAAAAAAAA=="};
constexpr const char* twoCpusSummary =
    "MemoryConfig: formatVersion 1, QORV_UEFI_SYS_CONFIG.Data 66051, cpuCount 2, eccMode 1,2\n";
const std::string twoCpusCounted = logged("INFO", "memconf.CpuCount :2");
constexpr Sink captured = Sink::Captured;
constexpr Sink full = Sink::DeviceFull;

std::vector<Case> commandLine()
{
    return {
        {.name = "NoArguments", .args = {}, .out = parameterError},
        {.name = "Help", .args = {"-h"}, .out = usage, .noEntropy = true},
        {.name = "HelpWithSuffix", .args = {"-hx"}, .out = parameterError},
        {.name = "LongHelp", .args = {"--help"}, .out = parameterError},
        {.name = "EmptySingleArgument", .args = {""}, .out = parameterError},
        {.name = "NumberAlone", .args = {"3"}, .out = parameterError},
        {.name = "ThreeArguments", .args = {"3", "QUJD", "x"}, .out = parameterError},
        // With two arguments "-h" is read as the sub-command number.
        {.name = "HelpAsSubcommand",
         .args = {"-h", "QUJD"},
         .out = parameterError,
         .log = conversionFailed("-h")},
        {.name = "Above32Bits",
         .args = {"4294967296", "QUJD"},
         .out = parameterError,
         .log = conversionFailed("4294967296")},
        // Unknown codes take the size-check failure path without a log entry;
        // the code printed is what the conversion selected: the low byte.
        {.name = "Wraps256", .args = {"260", "QUJD"}, .out = sizeCheckFailed(4, 3)},
        {.name = "MinusOne", .args = {"-1", "QUJD"}, .out = sizeCheckFailed(255, 3)},
        {.name = "TrailingText", .args = {"7abc", "QUJD"}, .out = sizeCheckFailed(7, 3)},
        {.name = "LengthNotMultipleOf4",
         .args = {"0", "QUJ"},
         .out = base64Error,
         .log = notBase64("QUJ")},
    };
}

// Host text echoed in an entry stays on its line and in printable ASCII, so
// it can forge no entry nor reach a reader's terminal, and is cut after 256
// bytes, counted before escaping.
std::vector<Case> echoed()
{
    return {
        {.name = "NewlineCannotForgeAnEntry",
         .args = {"3", std::string("AAA\n") + forged},
         .out = base64Error,
         .log = notBase64("AAA\\x0a" + std::string(forged))},
        {.name = "CarriageReturnEscapeBackslash",
         .args = {"3", "\r\x1b[2J\\"},
         .out = base64Error,
         .log = notBase64(R"(\x0d\x1b[2J\\)")},
        {.name = "NotAscii",
         .args = {"3", "\x80\xc3\xa9\xff"},
         .out = base64Error,
         .log = notBase64(R"(\x80\xc3\xa9\xff)")},
        {.name = "CutAfter256Bytes",
         .args = {"3", std::string(255, '#') + "\n#"},
         .out = base64Error,
         .log = notBase64(std::string(255, '#') + R"(\x0a ... (257 bytes in all))")},
        // As long as one argument may be (the kernel's limit).
        {.name = "LongestArgument",
         .args = {"3", std::string(131071, '#')},
         .out = base64Error,
         .log = notBase64(std::string(256, '#') + " ... (131071 bytes in all)"),
         .noEntropy = true},
        {.name = "SubcommandEchoed",
         .args = {std::string("x\n") + forged, "QUJD"},
         .out = parameterError,
         .log = conversionFailed("x\\x0a" + std::string(forged))},
    };
}

std::vector<Case> records()
{
    return {
        {.name = "MemoryConfigBelowHeader",
         .args = record(0, Bytes(5, 0x11)),
         .out = sizeCheckFailed(0, 5),
         .log = logged("ERROR", "headSize 6, raw data size 5")},
        {.name = "MemoryConfigAboveCapacity",
         .args = record(0, sized(memoryConfig(1, 1, 8, std::vector<uint64_t>(8, 0)), 71)),
         .out = sizeCheckFailed(0, 71),
         .log = logged("ERROR", "headSize 6, raw data size 71")},
        {.name = "MemoryConfigNoCpus",
         .args = record(0, memoryConfig(2, 7, 0, {})),
         .out = "MemoryConfig: formatVersion 2, QORV_UEFI_SYS_CONFIG.Data 7, cpuCount 0, "
                "eccMode \n",
         .log = logged("INFO", "memconf.CpuCount :0")},
        {.name = "MemoryConfigCountAboveCapacity",
         .args = record(0, sized(memoryConfig(1, 0, 9, {}), 70)),
         .out = sizeCheckFailed(0, 70),
         .log = logged("ERROR", "memconf.CpuCount 9, raw data size 70")},
        {.name = "MemoryConfigTrailingBytes",
         .args = record(0, sized(memoryConfig(1, 0, 0, {}), 13)),
         .out = sizeCheckFailed(0, 13),
         .log = logged("ERROR", "memconf.CpuCount 0, raw data size 13")},
        // Asymmetric bytes catch a reader that ignores byte order.
        {.name = "MemoryConfigFull",
         .args = record(0, memoryConfig(255, 0x04030201, 8,
                                        {UINT64_MAX, 0, 1, 0x0807060504030201, 4, 5, 6, 7})),
         .out = "MemoryConfig: formatVersion 255, QORV_UEFI_SYS_CONFIG.Data 67305985, "
                "cpuCount 8, eccMode 18446744073709551615,0,1,578437695752307201,4,5,6,7\n",
         .log = logged("INFO", "memconf.CpuCount :8"),
         .noEntropy = true},
        {.name = "MirrorInfoBelowHeader",
         .args = record(1, Bytes(3, 0x11)),
         .out = sizeCheckFailed(1, 3),
         .log = logged("ERROR", "headSize 4, raw data size 3")},
        {.name = "MirrorInfoNoEntries",
         .args = record(1, mirrorInfo(0, 0)),
         .log = logged("INFO", "mirrorInfo.count :0")},
        {.name = "MirrorInfoTrailingEntry",
         .args = record(1, mirrorInfo(1, 2)),
         .out = sizeCheckFailed(1, 36),
         .log = logged("ERROR", "mirrorInfo.count 1, raw data size 36")},
        {.name = "MirrorInfoPartialEntry",
         .args = record(1, sized(mirrorInfo(1, 1), 19)),
         .out = sizeCheckFailed(1, 19),
         .log = logged("ERROR", "mirrorInfo.count 1, raw data size 19")},
        // 4 + 16 * 2^28 wraps to 4 in 32 bits.
        {.name = "MirrorInfoCountWrapsIn32Bits",
         .args = record(1, mirrorInfo(1U << 28, 0)),
         .out = sizeCheckFailed(1, 4),
         .log = logged("ERROR", "mirrorInfo.count 268435456, raw data size 4")},
        {.name = "MirrorInfoMaxCount",
         .args = record(1, mirrorInfo(UINT32_MAX, 0)),
         .out = sizeCheckFailed(1, 4),
         .log = logged("ERROR", "mirrorInfo.count 4294967295, raw data size 4")},
        {.name = "PprInfoBelowHeader",
         .args = record(2, Bytes(7, 0x11)),
         .out = sizeCheckFailed(2, 7),
         .log = logged("ERROR", "headSize 8, raw data size 7")},
        {.name = "PprInfoNoEntries",
         .args = record(2, pprInfo(0, 0)),
         .out = "MemoryRecoveryLog: size 0\n",
         .log = logged("INFO", "pprInfo.count :0")},
        {.name = "PprInfoCountBelowSize",
         .args = record(2, pprInfo(1, 2)),
         .out = sizeCheckFailed(2, 24),
         .log = logged("ERROR", "pprInfo.count 1, raw data size 24")},
        {.name = "PprInfoNotWholeEntries",
         .args = record(2, sized(pprInfo(0, 1), 12)),
         .out = sizeCheckFailed(2, 12),
         .log = logged("ERROR", "pprInfo.count 0, raw data size 12")},
        {.name = "PprInfoMaxCount",
         .args = record(2, pprInfo(UINT32_MAX, 0)),
         .out = sizeCheckFailed(2, 8),
         .log = logged("ERROR", "pprInfo.count 4294967295, raw data size 8")},
        // The largest record whose base64 text fits one argument (131064 of
        // the kernel's 131071 characters).
        {.name = "PprInfoLargest",
         .args = record(2, pprInfo(12286, 12286)),
         .out = "MemoryRecoveryLog: size 12286\n",
         .log = logged("INFO", "pprInfo.count :12286"),
         .noEntropy = true},
        // Its recovery log does not fit under a data limit of 704 KiB, which
        // lets everything before it through (the run fails earlier below
        // about 450 KiB, and succeeds from about 1 MiB).
        {.name = "OutOfMemoryIsSaid",
         .args = record(2, pprInfo(12286, 12286)),
         .log = logged("INFO", "pprInfo.count :12286") + "?qorv_raw_data_parser: out of memory\n",
         .exitStatus = -1,
         .signal = SIGABRT,
         .wrapper = {"prlimit", "--data=720896"},
         .noEntropy = true},
        {.name = "MemoryErrorLogLong",
         .args = record(3, Bytes(65, 0x11)),
         .out = sizeCheckFailed(3, 65)},
        {.name = "MemoryErrorLogShort",
         .args = record(3, Bytes(63, 0x11)),
         .out = sizeCheckFailed(3, 63)},
    };
}

// Output that cannot be written: a lost standard output is said on standard
// error and ends with status 1; a lost standard error changes nothing else.
std::vector<Case> streams()
{
    return {
        {.name = "StdoutFull",
         .args = twoCpus,
         .log = twoCpusCounted + lost("No space left on device"),
         .exitStatus = 1,
         .streams = {.out = full},
         .noEntropy = true},
        // A service's SIGPIPE is ignored: the write fails and the tool says so.
        {.name = "StdoutReaderGone",
         .args = twoCpus,
         .log = twoCpusCounted + lost("Broken pipe"),
         .exitStatus = 1,
         .streams = {.out = Sink::ReaderGone, .sigpipeIgnored = true}},
        // At its default, SIGPIPE ends the tool, as it ends every filter.
        {.name = "StdoutReaderGoneSigpipe",
         .args = twoCpus,
         .log = twoCpusCounted,
         .exitStatus = -1,
         .signal = SIGPIPE,
         .streams = {.out = Sink::ReaderGone}},
        // Two lines to write; the first failure stops the second, said once.
        {.name = "RejectedRecordToFullDevice",
         .args = {"7", "QUJD"},
         .log = lost("No space left on device"),
         .exitStatus = 1,
         .streams = {.out = full}},
        // An accepted mirror record prints nothing: nothing is lost.
        {.name = "NothingToWrite",
         .args = {"1", "AAAAAA=="},
         .log = logged("INFO", "mirrorInfo.count :0"),
         .streams = {.out = full}},
        // A write cut short is written on from where it stopped, not taken as
        // done: here the next fails (the file limit holds the log too).
        {.name = "StdoutCutShort",
         .args = twoCpus,
         .out = std::string(twoCpusSummary).substr(0, 16),
         .exitStatus = 1,
         .streams = {.err = full, .fileLimit = 16}},
        // The log is diagnostics: without it the summary still goes out.
        {.name = "StderrFull", .args = twoCpus, .out = twoCpusSummary, .streams = {.err = full}},
        {.name = "BothFull",
         .args = twoCpus,
         .exitStatus = 1,
         .streams = {.out = full, .err = full}},
    };
}

std::vector<Case> allCases()
{
    std::vector<Case> all;
    for (auto&& group : {commandLine(), echoed(), records(), streams()})
    {
        all.insert(all.end(), group.begin(), group.end());
    }
    return all;
}

INSTANTIATE_TEST_SUITE_P(Tool, Run, testing::ValuesIn(allCases()),
                         [](const auto& info) { return info.param.name; });

} // namespace
} // namespace qorvd::test
