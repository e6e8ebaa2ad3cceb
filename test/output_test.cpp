// SPDX-FileCopyrightText: The qorv_raw_data_parser contributors
// SPDX-License-Identifier: Apache-2.0

// Output that cannot be written: a lost standard output is said on standard
// error and ends with status 1; a lost standard error changes nothing else.

#include "tool_runner.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <ostream>
#include <string>
#include <vector>

namespace qorvd::test
{
namespace
{
// A memory configuration with two CPUs: one INFO entry and one summary line.
std::vector<std::string> memoryConfig()
{
    return {"0", "AQMCAQACAQAAAAAAAAACAAAAAAAAAA=="};
}
constexpr const char* summary =
    "MemoryConfig: formatVersion 1, QORV_UEFI_SYS_CONFIG.Data 66051, cpuCount 2, eccMode 1,2\n";
constexpr const char* counted = "qorv_uefi_raw_data_parser.hpp [INFO] memconf.CpuCount :2\n";

std::string lost(const std::string& cause)
{
    return "main.cpp [ERROR] standard output write failed: " + cause + "\n";
}

struct StreamCase
{
    const char* name;
    std::vector<std::string> args;
    Streams streams;
    std::string out; // what a captured standard output holds
    std::string log; // what a captured standard error holds, as normalizeLog gives it
    int exitStatus;  // -1: ended by `signal`
    int signal = 0;

    friend void PrintTo(const StreamCase& c, std::ostream* os) { *os << c.name; }
};

class LostOutput : public testing::TestWithParam<StreamCase>
{
};

TEST_P(LostOutput, IsSaidAndEndsTheRunAsItMust)
{
    const auto& c = GetParam();
    if (c.streams.err == Sink::Closed && toolUnderValgrind())
    {
        GTEST_SKIP() << "valgrind stops when it has no standard error of its own";
    }
    const ToolRun run = runTool(c.args, {}, c.streams);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(normalizeLog(run), c.log);
    EXPECT_EQ(run.exitStatus, c.exitStatus);
    EXPECT_EQ(run.signal, c.signal);
}

constexpr Sink captured = Sink::Captured;

INSTANTIATE_TEST_SUITE_P(
    Streams, LostOutput,
    testing::Values(
        StreamCase{"StdoutFull",
                   memoryConfig(),
                   {Sink::DeviceFull, captured, false},
                   "",
                   counted + lost("No space left on device"),
                   1},
        StreamCase{"StdoutClosed",
                   memoryConfig(),
                   {Sink::Closed, captured, false},
                   "",
                   counted + lost("Bad file descriptor"),
                   1},
        // A service's SIGPIPE is ignored: the write fails and the tool says so.
        StreamCase{"StdoutReaderGone",
                   memoryConfig(),
                   {Sink::ReaderGone, captured, true},
                   "",
                   counted + lost("Broken pipe"),
                   1},
        // At its default, SIGPIPE ends the tool, as it ends every filter.
        StreamCase{"StdoutReaderGoneSigpipe",
                   memoryConfig(),
                   {Sink::ReaderGone, captured, false},
                   "",
                   counted,
                   -1,
                   SIGPIPE},
        StreamCase{"UsageToFullDevice",
                   {"-h"},
                   {Sink::DeviceFull, captured, false},
                   "",
                   lost("No space left on device"),
                   1},
        // Two lines to write; the first failure stops the second, and is said once.
        StreamCase{"RejectedRecordToFullDevice",
                   {"7", "QUJD"},
                   {Sink::DeviceFull, captured, false},
                   "",
                   lost("No space left on device"),
                   1},
        // An accepted mirror record prints nothing: nothing is lost.
        StreamCase{"NothingToWrite",
                   {"1", "AAAAAA=="},
                   {Sink::DeviceFull, captured, false},
                   "",
                   "qorv_uefi_raw_data_parser.hpp [INFO] mirrorInfo.count :0\n",
                   0},
        // A write cut short is written on from where it stopped, not taken as
        // done: here the next fails (the file limit holds the log too).
        StreamCase{"StdoutCutShort",
                   memoryConfig(),
                   {captured, Sink::DeviceFull, false, 16},
                   std::string(summary).substr(0, 16),
                   "",
                   1},
        // The log is diagnostics: without it the summary still goes out.
        StreamCase{
            "StderrFull", memoryConfig(), {captured, Sink::DeviceFull, false}, summary, "", 0},
        StreamCase{"StderrClosed", memoryConfig(), {captured, Sink::Closed, false}, summary, "", 0},
        StreamCase{
            "BothFull", memoryConfig(), {Sink::DeviceFull, Sink::DeviceFull, false}, "", "", 1}),
    [](const auto& info) { return info.param.name; });

} // namespace
} // namespace qorvd::test
