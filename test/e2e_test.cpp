// SPDX-FileCopyrightText: The qorv_raw_data_parser contributors
// SPDX-License-Identifier: Apache-2.0

// Whole runs of the tool, one row a run, and the samples in examples/.
// e2e_tests [GTEST-OPTION...] COMMAND...: COMMAND starts the tool (an emulator
// first, for a cross build); QORV_TOOL names a release file to run instead;
// QORV_EXAMPLES the samples' folder; QORV_NO_ENTROPY: see main.

#include "harness.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <glob.h>
#include <sys/mman.h>
#include <sys/syscall.h>
// POSIX's and GNU's declarations are in the C headers alone.
#include <signal.h> // NOLINT(modernize-deprecated-headers): SIGPIPE, SIGXFSZ
#include <time.h>   // NOLINT(modernize-deprecated-headers): timegm, strptime
#include <unistd.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <initializer_list>
#include <limits>
#include <ostream>
#include <span>
#include <sstream>
#include <string>
#include <vector>

namespace qorvd::test
{
namespace
{
// Where one of the tool's output streams goes.
enum class Sink : uint8_t
{
    Captured,   // a file, read back
    DeviceFull, // /dev/full: every write fails with ENOSPC
    ReaderGone, // a pipe whose reading end is closed before the start
};

struct Case
{
    std::string name;
    // NOLINTBEGIN(readability-redundant-member-init): GCC warns of short rows without them
    Args args = {};
    std::string out = {};
    std::string log = {}; // as normalizeLog gives it
    std::string ending = "exit 0";
    Sink stdoutTo = Sink::Captured;
    Sink stderrTo = Sink::Captured;
    Args wrapper = {};      // a command that runs the tool: env, prlimit
    bool noEntropy = false; // its calls differ from the other rows'
    // NOLINTEND(readability-redundant-member-init)

    friend void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }
};

std::vector<std::string> toolCommand; // COMMAND

const bool withoutEntropy = std::getenv("QORV_NO_ENTROPY") != nullptr;
constexpr std::time_t always = std::numeric_limits<std::time_t>::max();

// A descriptor for `sink`; `file` for a captured stream.
int sinkFor(Sink sink, int file)
{
    std::array<int, 2> ends{-1, -1};
    if (sink == Sink::DeviceFull)
    {
        return open("/dev/full", O_WRONLY); // NOLINT(cppcoreguidelines-pro-type-vararg): POSIX's
    }
    if (sink == Sink::ReaderGone && pipe(ends.data()) == 0)
    {
        close(ends[0]); // no reader from the start: every write fails
        return ends[1];
    }
    return dup(file);
}

// Each log entry as "file [LEVEL] message", its source line checked for its form
// and its time for lying from `earliest` to `latest`; any other line as "?" + line.
std::string normalizeLog(const std::string& err, std::time_t earliest, std::time_t latest)
{
    std::string result;
    std::istringstream lines(err);
    for (std::string line; std::getline(lines, line);)
    {
        // date and time, unpadded microseconds glued on, quoted file, line, level
        const auto m =
            match(R"re(^([0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}))re"
                  R"re((0|[1-9][0-9]{0,5}) UTC \["([^"\]*)":[1-9][0-9]*\] (\[[A-Z]+\]) )re",
                  line);
        std::tm broken{};
        const bool wellFormed =
            !m.empty() && strptime(m[1].c_str(), "%Y-%m-%d %H:%M:%S", &broken) != nullptr;
        const std::time_t when = wellFormed ? timegm(&broken) : 0;
        result += wellFormed && when >= earliest && when <= latest
                      ? m[3] + " " + m[4] + " " + m.back()
                      : "?" + line;
        result += '\n';
    }
    return result;
}

// The error log's timestamp as "T" when it lies from `earliest` to `latest`.
std::string normalizeTimestamp(const std::string& out, std::time_t earliest, std::time_t latest)
{
    const auto m = match("^(MemoryErrorLog: timestamp )([1-9][0-9]*)", out);
    const bool inRange = !m.empty() && std::stoll(m[2]) >= earliest && std::stoll(m[2]) <= latest;
    return inRange ? m[1] + "T" + m[3] : out;
}

// What the row's run prints and how it ends, as a row says it.
Case runTool(const Case& c)
{
    Args all = c.wrapper;
    all.insert(all.end(), toolCommand.begin(), toolCommand.end());
    all.insert(all.end(), c.args.begin(), c.args.end());
    // Files, not pipes: a large output cannot stall the child.
    const std::array files{memfd_create("out", 0), memfd_create("err", 0)};
    const std::array ends{sinkFor(c.stdoutTo, files[0]), sinkFor(c.stderrTo, files[1])};
    const std::time_t started = std::time(nullptr);
    const std::string end = ending(start(all, ends[0], ends[1]));
    const std::time_t ended = std::time(nullptr);
    // A second either side: the two clocks may be read at different resolutions.
    Case run{.name = c.name,
             .out = normalizeTimestamp(readAll(files[0]), started, ended),
             .log = normalizeLog(readAll(files[1]), started - 1, ended + 1),
             .ending = end};
    for (const int fd : {files[0], files[1], ends[0], ends[1]})
    {
        close(fd);
    }
    return run;
}

// The samples: a comment line, the command ("$ qorv_raw_data_parser SUBCMD
// TEXT"), then what the run writes: "stderr: " and "stdout: " lines, and "\\ no
// newline ..." after a last standard output line that has none.
std::vector<Case> samples()
{
    std::vector<Case> rows;
    const char* dir = std::getenv("QORV_EXAMPLES");
    glob_t found{}; // none where the folder is missing
    glob((std::string{dir == nullptr ? "" : dir} + "/*.sample").c_str(), 0, nullptr, &found);
    for (const std::string path : std::span(found.gl_pathv, found.gl_pathc))
    {
        std::ifstream file(path);
        const std::string name = path.substr(path.rfind('/') + 1);
        Case& row = rows.emplace_back(Case{.name = "Sample" + name.substr(0, name.rfind('.'))});
        std::erase_if(row.name,
                      [](char c) { return std::isalnum(static_cast<unsigned char>(c)) == 0; });
        std::string line;
        std::string err;
        std::getline(file, line); // what the record holds
        std::getline(file, line);
        const auto m = match(R"(^\$ qorv_raw_data_parser ([^[:space:]]+) ([^[:space:]]*)$)", line);
        row.args = m.empty() ? Args{"not a command line: " + line} : Args{m[1], m[2]};
        while (std::getline(file, line))
        {
            if (line.starts_with("stdout: ") || line.starts_with("stderr: "))
            {
                (line[3] == 'o' ? row.out : err) += line.substr(8) + "\n";
            }
            else if (line.starts_with("\\ no newline") && !row.out.empty())
            {
                row.out.pop_back();
            }
            else
            {
                row.out += "not a line of output: " + line;
            }
        }
        row.out = normalizeTimestamp(row.out, 0, always);
        row.log = normalizeLog(err, 0, always);
    }
    globfree(&found);
    return rows;
}

class Run : public testing::TestWithParam<Case>
{
};

TEST_P(Run, PrintsExactly)
{
    const auto& c = GetParam();
    if (withoutEntropy && !c.noEntropy)
    {
        GTEST_SKIP() << "its calls are another row's";
    }
    // Resource limits are for the tool alone.
    if (!c.wrapper.empty() && c.wrapper[0] == "prlimit" &&
        (toolCommand.size() > 1 || std::getenv("TOOL_SANITIZED") != nullptr ||
         std::getenv("QORV_UNDER_VALGRIND") != nullptr))
    {
        GTEST_SKIP() << "an emulator, valgrind or sanitizer would hit the limit first";
    }
    const Case run = runTool(c);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.log, c.log);
    EXPECT_EQ(run.ending, c.ending);
}

using Bytes = std::vector<uint8_t>;

// Each of `values` little-endian in `width` bytes.
Bytes le(unsigned width, std::initializer_list<uint64_t> values)
{
    Bytes bytes;
    for (const uint64_t value : values)
    {
        for (unsigned i = 0; i < width; ++i)
        {
            bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
        }
    }
    return bytes;
}

Bytes operator+(Bytes bytes, const Bytes& more)
{
    bytes.insert(bytes.end(), more.begin(), more.end());
    return bytes;
}

Bytes memoryConfig(uint8_t version, uint32_t data, uint8_t cpus,
                   std::initializer_list<uint64_t> eccModes = {})
{
    return le(1, {version}) + le(4, {data}) + le(1, {cpus}) + le(8, eccModes);
}

// The tool's arguments for a record, cut or filled with zeros to `size`.
Args record(unsigned subcmd, Bytes bytes, size_t size = SIZE_MAX)
{
    bytes.resize(size == SIZE_MAX ? bytes.size() : size);
    return {std::to_string(subcmd), toBase64(bytes)};
}

constexpr const char* usage = "qrov_raw_data_parser subcmd base64RawData.\n";
constexpr const char* parameterError =
    "Parameter is incorrect, please use qrov_raw_data_parser -h for help.\n";
constexpr const char* base64Error = "handleRawData return 3";
constexpr Sink full = Sink::DeviceFull;
constexpr Sink gone = Sink::ReaderGone;
constexpr Sink captured = Sink::Captured;
constexpr bool noEntropy = true;
constexpr const char* works = "exit 0";
constexpr const char* outputLost = "exit 1";

// Rows laid out by hand, one a line: name, arguments, standard output, log,
// how the run ends, where standard output and error go, a command that runs
// the tool, whether to run without entropy too.
// clang-format off
std::vector<Case> allCases()
{
    // A line the tool could have written, passed in after a newline.
    const std::string forged =
        R"(2026-12-08 20:00:00123 UTC ["qorv_uefi_raw_data_parser.hpp":84] [INFO] memconf.CpuCount :2)";
    // A memory configuration with two CPUs: one INFO entry and one summary line.
    const Args twoCpus{"0", std::string{memconf}};
    const std::string twoCpusSummary =
        "MemoryConfig: formatVersion 1, QORV_UEFI_SYS_CONFIG.Data 66051, cpuCount 2, eccMode 1,2\n";
    const auto logged = [](const std::string& level, const std::string& message) { return "qorv_uefi_raw_data_parser.hpp [" + level + "] " + message + "\n"; };
    const auto error = [&](const std::string& message) { return logged("ERROR", message); };
    const auto notBase64 = [&](const std::string& text) { return error("rawData is not base64 encode: " + text); };
    const auto inMain = [](const std::string& message) { return "main.cpp [ERROR] " + message + "\n"; };
    const auto conversionFailed = [&](const std::string& arg) { return inMain("subcmd conversion failed: " + arg); };
    const auto lost = [&](const std::string& cause) { return inMain("standard output write failed: " + cause); };
    const auto sizeCheckFailed = [](unsigned subcmd, size_t size) { return "rawData size check failed,subcmd: " + std::to_string(subcmd) + ", size: " + std::to_string(size) + "\nhandleRawData return 4"; };
    const std::string counted = logged("INFO", "memconf.CpuCount :2");
    const Args largest = record(2, le(4, {0xDEADBEEF, 12286}) + Bytes(size_t{8} * 12286, 0xA5));
    // NOLINTBEGIN(modernize-use-designated-initializers): rows read by position
    std::vector<Case> rows{
        // The command line.
        {"NoArguments", {}, parameterError},
        {"Help", {"-h"}, usage, "", works, captured, captured, {}, noEntropy},
        {"HelpWithSuffix", {"-hx"}, parameterError},
        {"LongHelp", {"--help"}, parameterError},
        {"EmptySingleArgument", {""}, parameterError},
        {"NumberAlone", {"3"}, parameterError},
        {"ThreeArguments", {"3", "QUJD", "x"}, parameterError},
        // With two arguments "-h" is read as the sub-command number.
        {"HelpAsSubcommand", {"-h", "QUJD"}, parameterError, conversionFailed("-h")},
        {"Above32Bits", {"4294967296", "QUJD"}, parameterError, conversionFailed("4294967296")},
        // White space and a sign before the digits; no digits; a space after the sign.
        {"SignedAfterWhiteSpace", {" \t+3", "QUJD"}, sizeCheckFailed(3, 3)},
        {"EmptySubcommand", {"", "QUJD"}, parameterError, conversionFailed("")},
        {"SpaceAfterSign", {"- 1", "QUJD"}, parameterError, conversionFailed("- 1")},
        // Unknown codes take the size-check failure path without a log entry;
        // the code printed is what the conversion selected: the low byte.
        {"Wraps256", {"260", "QUJD"}, sizeCheckFailed(4, 3)},
        {"MinusOne", {"-1", "QUJD"}, sizeCheckFailed(255, 3)},
        {"TrailingText", {"7abc", "QUJD"}, sizeCheckFailed(7, 3)},
        {"LengthNotMultipleOf4", {"0", "QUJ"}, base64Error, notBase64("QUJ")},
        // Host text echoed in an entry is escaped, so that it can forge no
        // entry, and cut after 256 bytes (every byte: unit HostText).
        {"NewlineCannotForgeAnEntry", {"3", "AAA\n" + forged}, base64Error, notBase64("AAA\\x0a" + forged)},
        // As long as one argument may be (the kernel's limit).
        {"LongestArgument", {"3", std::string(131071, '#')}, base64Error, notBase64(std::string(256, '#') + " ... (131071 bytes in all)"), works, captured, captured, {}, noEntropy},
        {"SubcommandEchoed", {"x\n" + forged, "QUJD"}, parameterError, conversionFailed("x\\x0a" + forged)},
        // Each record kind around its size boundaries.
        {"MemoryConfigBelowHeader", record(0, Bytes(5)), sizeCheckFailed(0, 5), error("headSize 6, raw data size 5")},
        {"MemoryConfigAboveCapacity", record(0, memoryConfig(1, 1, 8), 71), sizeCheckFailed(0, 71), error("headSize 6, raw data size 71")},
        {"MemoryConfigNoCpus", record(0, memoryConfig(2, 7, 0)), "MemoryConfig: formatVersion 2, QORV_UEFI_SYS_CONFIG.Data 7, cpuCount 0, eccMode \n", logged("INFO", "memconf.CpuCount :0")},
        {"MemoryConfigCountAboveCapacity", record(0, memoryConfig(1, 0, 9), 70), sizeCheckFailed(0, 70), error("memconf.CpuCount 9, raw data size 70")},
        {"MemoryConfigTrailingBytes", record(0, memoryConfig(1, 0, 0), 13), sizeCheckFailed(0, 13), error("memconf.CpuCount 0, raw data size 13")},
        // Asymmetric bytes catch a reader that ignores byte order.
        {"MemoryConfigFull", record(0, memoryConfig(255, 0x04030201, 8, {UINT64_MAX, 0, 1, 0x0807060504030201, 4, 5, 6, 7})),
         "MemoryConfig: formatVersion 255, QORV_UEFI_SYS_CONFIG.Data 67305985, cpuCount 8, eccMode 18446744073709551615,0,1,578437695752307201,4,5,6,7\n",
         logged("INFO", "memconf.CpuCount :8"), works, captured, captured, {}, noEntropy},
        {"MirrorInfoBelowHeader", record(1, Bytes(3)), sizeCheckFailed(1, 3), error("headSize 4, raw data size 3")},
        {"MirrorInfoNoEntries", record(1, le(4, {0})), "", logged("INFO", "mirrorInfo.count :0")},
        {"MirrorInfoTrailingEntry", record(1, le(4, {1}) + Bytes(32, 0xA5)), sizeCheckFailed(1, 36), error("mirrorInfo.count 1, raw data size 36")},
        {"MirrorInfoPartialEntry", record(1, le(4, {1}) + Bytes(15, 0xA5)), sizeCheckFailed(1, 19), error("mirrorInfo.count 1, raw data size 19")},
        // 4 + 16 * 2^28 wraps to 4 in 32 bits.
        {"MirrorInfoCountWrapsIn32Bits", record(1, le(4, {1U << 28})), sizeCheckFailed(1, 4), error("mirrorInfo.count 268435456, raw data size 4")},
        {"MirrorInfoMaxCount", record(1, le(4, {UINT32_MAX})), sizeCheckFailed(1, 4), error("mirrorInfo.count 4294967295, raw data size 4")},
        {"PprInfoBelowHeader", record(2, Bytes(7)), sizeCheckFailed(2, 7), error("headSize 8, raw data size 7")},
        {"PprInfoNoEntries", record(2, le(4, {0xDEADBEEF, 0})), "MemoryRecoveryLog: size 0\n", logged("INFO", "pprInfo.count :0")},
        {"PprInfoCountBelowSize", record(2, le(4, {0xDEADBEEF, 1}) + Bytes(16, 0xA5)), sizeCheckFailed(2, 24), error("pprInfo.count 1, raw data size 24")},
        {"PprInfoNotWholeEntries", record(2, le(4, {0xDEADBEEF, 0}), 12), sizeCheckFailed(2, 12), error("pprInfo.count 0, raw data size 12")},
        {"PprInfoMaxCount", record(2, le(4, {0xDEADBEEF, UINT32_MAX})), sizeCheckFailed(2, 8), error("pprInfo.count 4294967295, raw data size 8")},
        // The largest record whose text fits one argument (131064 characters);
        // its recovery log alone does not fit under a data limit of 704 KiB
        // (the run fails earlier below about 450 KiB, succeeds from 1 MiB).
        {"PprInfoLargest", largest, "MemoryRecoveryLog: size 12286\n", logged("INFO", "pprInfo.count :12286"), works, captured, captured, {}, noEntropy},
        {"OutOfMemoryIsSaid", largest, "", logged("INFO", "pprInfo.count :12286") + "?qorv_raw_data_parser: out of memory\n", "killed by ABRT", captured, captured, {"prlimit", "--data=720896"}, noEntropy},
        {"MemoryErrorLogLong", record(3, Bytes(65)), sizeCheckFailed(3, 65)},
        // Lost output is said on standard error, and the run ends with 1; a
        // lost standard error changes nothing else. SIGPIPE, ignored as by a
        // service, fails the write; at its default it ends the tool.
        {"StdoutFull", twoCpus, "", counted + lost("No space left on device"), outputLost, full, captured, {}, noEntropy},
        {"StdoutReaderGone", twoCpus, "", counted + lost("Broken pipe"), outputLost, gone, captured, {"env", "--ignore-signal=PIPE"}},
        {"StdoutReaderGoneSigpipe", twoCpus, "", counted, "killed by PIPE", gone},
        // Two lines to write; the first failure stops the second, said once.
        {"RejectedRecordToFullDevice", {"7", "QUJD"}, "", lost("No space left on device"), outputLost, full},
        // An accepted mirror record prints nothing: nothing is lost.
        {"NothingToWrite", {"1", "AAAAAA=="}, "", logged("INFO", "mirrorInfo.count :0"), works, full},
        // A write cut short is written on from where it stopped, not taken as
        // done: here the next fails (the file size limit holds the log too).
        {"StdoutCutShort", twoCpus, twoCpusSummary.substr(0, 16), "", outputLost, captured, full, {"prlimit", "--fsize=16"}},
        {"StderrFull", twoCpus, twoCpusSummary, "", works, captured, full},
        {"BothFull", twoCpus, "", "", outputLost, full, full},
    };
    // NOLINTEND(modernize-use-designated-initializers)
    const auto found = samples();
    rows.insert(rows.end(), found.begin(), found.end());
    return rows;
}
// clang-format on

INSTANTIATE_TEST_SUITE_P(Tool, Run, testing::ValuesIn(allCases()),
                         [](const auto& info) { return info.param.name; });

TEST(Samples, AreFound)
{
    EXPECT_GT(samples().size(), 0U) << "QORV_EXAMPLES names the samples' folder";
}

} // namespace
} // namespace qorvd::test

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    // As the tool starts unless a row says otherwise: SIGPIPE at its default,
    // whatever the harness had, and a write past a file size limit failing.
    static_cast<void>(std::signal(SIGPIPE, SIG_DFL));
    static_cast<void>(std::signal(SIGXFSZ, SIG_IGN));
    namespace t = qorvd::test;
    t::toolCommand.assign(argv + 1, argv + argc);
    if (const char* tool = std::getenv("QORV_TOOL"); tool != nullptr && !t::toolCommand.empty())
    {
        t::toolCommand.back() = tool;
    }
    // QORV_NO_ENTROPY: as on a BMC still booting, getrandom fails with EAGAIN.
    if (t::withoutEntropy && !t::refuse({SYS_getrandom}, EAGAIN))
    {
        static_cast<void>(std::fputs("QORV_NO_ENTROPY: the kernel took no filter\n", stderr));
        // Only a kernel without seccomp may refuse it: then a skip.
        return t::kernelHasSeccomp() ? 1 : 77;
    }
    return RUN_ALL_TESTS();
}
