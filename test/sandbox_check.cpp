// SPDX-FileCopyrightText: The qorv_raw_data_parser contributors
// SPDX-License-Identifier: Apache-2.0

// The tool's system call filter on the kernel this runs on (qemu-user takes
// none). sandbox_check [GTEST-OPTION...] TOOL [MODULE]; MODULE is
// planted_fault.so, which makes calls from inside a dynamic TOOL.

#include "harness.hpp"
#include "output.hpp"
#include "sandbox.hpp"
#include "sandbox_cases.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/mman.h>
// GNU's and POSIX's declarations are in the C headers alone.
#include <signal.h> // NOLINT(modernize-deprecated-headers): sigwait, sigprocmask
#include <stdlib.h> // NOLINT(modernize-deprecated-headers): setenv
#include <string.h> // NOLINT(modernize-deprecated-headers): sigabbrev_np
#include <sys/syscall.h>
#include <sys/types.h>
#include <time.h> // NOLINT(modernize-deprecated-headers): clock_gettime
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace qorvd::test
{
namespace
{
Args tool; // TOOL [MODULE]
constexpr int unconfined = 77;

// What a run must not reach: the caller's file as standard input, and another
// process (pid in QORV_VICTIM, returned), which holds SIGABRT blocked and
// waits; asked afterwards, it says whether one came.
pid_t armReach()
{
    const int fd = memfd_create("input", 0);
    static_cast<void>(qorvd::writeAll(fd, inputText));
    dup2(fd, STDIN_FILENO);
    close(fd);
    sigset_t awaited{}; // NOLINT(misc-include-cleaner): from <signal.h>
    sigemptyset(&awaited);
    sigaddset(&awaited, SIGABRT);
    sigaddset(&awaited, SIGUSR1);
    sigprocmask(SIG_BLOCK, &awaited, nullptr);
    const pid_t pid = fork();
    if (pid == 0)
    {
        int signal = 0;
        sigwait(&awaited, &signal);
        _exit(signal == SIGABRT ? 1 : 0);
    }
    sigprocmask(SIG_UNBLOCK, &awaited, nullptr);
    setenv("QORV_VICTIM", std::to_string(pid).c_str(), 1);
    return pid;
}

// What the run reached, "" when nothing; `out` is its standard output.
std::string reached(pid_t victim, const std::string& out)
{
    std::string what;
    what += readAll(STDIN_FILENO) != inputText ? " the caller's file changed;" : "";
    what += out.find(inputText) != std::string::npos ? " the caller's file read;" : "";
    const bool aborted = kill(victim, SIGUSR1) == 0 && ending(victim) != "exit 0";
    return what + (aborted ? " the other process got SIGABRT;" : "");
}

enum class Way : uint8_t
{
    Unconfined,
    Confined,
    Planted, // in TOOL by MODULE, after main confined it
};

// How the run ended ("unconfined" when the kernel refused the filter), then
// what it reached.
std::string runCase(const SandboxCase& c, Way way)
{
    const pid_t victim = armReach();
    const int out = memfd_create("out", 0);
    const int err = open("/dev/full", O_WRONLY);
    const pid_t pid = way == Way::Planted
                          ? start({tool[0], "0", std::string{memconf}}, out, err,
                                  {"LD_PRELOAD=" + tool[1], "QORV_PLANTED=" + std::string{c.name}})
                          : fork();
    if (pid == 0)
    {
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        _exit(way == Way::Confined && !qorvd::sandbox::confine() ? unconfined : c.call());
    }
    const std::string end = ending(pid);
    const bool refused = way == Way::Confined && end == "exit " + std::to_string(unconfined);
    const std::string outcome = (refused ? "unconfined" : end) + reached(victim, readAll(out));
    close(out);
    close(err);
    return outcome;
}

using Call = testing::TestWithParam<size_t>;

// Each row unconfined, confined, and with MODULE from inside TOOL.
TEST_P(Call, EndsAsItMustAndConfinedReachesNothing)
{
    const auto& c = sandboxCases.at(GetParam());
    const std::string free = runCase(c, Way::Unconfined);
    const std::string confined = runCase(c, Way::Confined);
    // Only a kernel without seccomp may refuse the filter.
    if (confined.starts_with("unconfined") && !kernelHasSeccomp())
    {
        GTEST_SKIP() << "the kernel takes no filter";
    }
    EXPECT_TRUE(free == c.unconfined || c.unconfined.empty()) << "unconfined: " << free;
    EXPECT_EQ(confined, c.confined);
    if (tool.size() == 2 && c.planted)
    {
        EXPECT_EQ(runCase(c, Way::Planted), c.confined) << "planted in the tool";
    }
}

INSTANTIATE_TEST_SUITE_P(Sandbox, Call, testing::Range<size_t>(0, sandboxCases.size()),
                         [](const auto& info)
                         { return std::string{sandboxCases.at(info.param).name}; });

// What /proc says of process `pid`'s `key`, "?" when nothing.
std::string status(pid_t pid, const std::string& key)
{
    const int fd = open(("/proc/" + std::to_string(pid) + "/status").c_str(), O_RDONLY);
    const auto m = match(("\n" + key + ":[[:space:]]*([^\n]*)").c_str(), readAll(fd));
    close(fd);
    return m.empty() ? "?" : m[1];
}

using Confined = testing::TestWithParam<Args>;

// On each path of main the tool blocks writing to a full pipe, its output and
// log, and /proc must show the filter on by then.
TEST_P(Confined, BeforeAnyArgumentIsRead)
{
    std::array<int, 2> ends{};
    ASSERT_EQ(pipe(ends.data()), 0);
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-vararg): POSIX's interface
    const std::string fill(static_cast<size_t>(fcntl(ends[1], F_GETPIPE_SZ)), 'x');
    ASSERT_EQ(write(ends[1], fill.data(), fill.size()), static_cast<ssize_t>(fill.size()));
    Args args = GetParam();
    args.insert(args.begin(), tool[0]);
    const pid_t pid = start(args, ends[1], ends[1]);
    close(ends[1]);
    std::string seccomp = "?";
    for (int tries = 0; pid > 0 && tries < 200 && seccomp != "2"; ++tries)
    {
        usleep(50000);
        seccomp = status(pid, "Seccomp");
    }
    EXPECT_EQ(seccomp, "2");
    EXPECT_EQ(status(pid, "NoNewPrivs"), "1");
    readAll(ends[0]);
    close(ends[0]);
    EXPECT_EQ(ending(pid), "exit 0");
}

std::string pathName(const testing::TestParamInfo<Args>& info)
{
    return std::array{"Usage", "ParameterError", "Record"}.at(info.index);
}

INSTANTIATE_TEST_SUITE_P(Main, Confined,
                         testing::Values(Args{"-h"}, Args{"x", "QUJD"},
                                         Args{"0", std::string{memconf}}),
                         pathName);

// Whether the C library's clock read is a system call: under a filter that
// refuses the clock calls, it fails only if it is.
TEST(Clock, IsASystemCallWhereTheVdsoHasNone)
{
    if (std::getenv("QORV_CLOCK_IS_A_CALL") == nullptr)
    {
        GTEST_SKIP() << "where the vDSO reads the clock is left to the kernel";
    }
    const pid_t pid = fork();
    if (pid == 0)
    {
        timespec now{};
        const bool refused = refuse({SYS_clock_gettime, clockCall}, ENOSYS);
        // NOLINTNEXTLINE(misc-include-cleaner): from the C library's internal <bits/time.h>
        _exit(refused ? int{clock_gettime(CLOCK_MONOTONIC, &now) != 0} : 2);
    }
    EXPECT_EQ(ending(pid), "exit 1") << "1: a system call, 0: the vDSO";
}

// The calls that the README's table names, by number, those this target has.
std::map<std::string, long> listedCalls()
{
    // clang-format off
    std::map<std::string, long> calls{
        {"write", SYS_write}, {"writev", SYS_writev}, {"clock_gettime", SYS_clock_gettime}, {"brk", SYS_brk},
        {"mremap", SYS_mremap}, {"munmap", SYS_munmap}, {"getrandom", SYS_getrandom}, {"exit", SYS_exit},
        {"exit_group", SYS_exit_group}, {"rt_sigprocmask", SYS_rt_sigprocmask}, {"rt_sigaction", SYS_rt_sigaction},
        {"getpid", SYS_getpid}, {"gettid", SYS_gettid}, {"tgkill", SYS_tgkill}, {"openat", SYS_openat}};
    // clang-format on
#ifdef SYS_clock_gettime64
    calls["clock_gettime64"] = SYS_clock_gettime64;
#endif
#ifdef SYS_mmap2
    calls["mmap2"] = SYS_mmap2;
#endif
#ifdef SYS_mmap
    calls["mmap"] = SYS_mmap;
#endif
#ifdef SYS_open
    calls["open"] = SYS_open;
#endif
#ifdef __x86_64__
    // Passed by every filter on x86-64 from Linux 6.11: a tracer's probes.
    calls["uretprobe"] = 335;
    calls["uprobe"] = 336;
#endif
    return calls;
}

// The README's table: each row's calls and their verdict with zero arguments.
std::map<std::string, std::string> readmeTable(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDONLY);
    std::string section = readAll(fd);
    close(fd);
    section = section.substr(std::min(section.find("### The sandbox"), section.size()));
    section = section.substr(0, section.find("\n#", 1));
    std::map<std::string, std::string> verdicts;
    constexpr const char* row = "\n[|] (`[^|]*[^ |]) +[|][^\n]*[|] ([a-z][^|]*[^ |]) +[|]";
    for (auto cells = match(row, section); !cells.empty(); cells = match(row, cells.back()))
    {
        verdicts[cells[1]] = cells[2];
    }
    return verdicts;
}

// Every number the kernel could take: past the highest call (below 500 on each
// target today), and ARM's own. The x32 case shows x32's refused as a whole.
// clang-format off
constexpr std::array ranges{
    std::pair<long, long>{0, 512},
#ifdef __arm__
    std::pair<long, long>{0xf0000, 8},
#endif
};
// clang-format on

// Each number made once from inside TOOL, confined (MODULE, QORV_PLANTED=N),
// in namespaces of its own should the filter let through what it must not;
// where none can be made, only on a throw-away machine (QORV_SWEEP_ANYWHERE).
// Run it alone: the namespaces are this process's.
TEST(Sweep, LetsThroughTheReadmesCallsAlone)
{
    const char* readme = std::getenv("QORV_README");
    if (readme == nullptr || tool.size() != 2)
    {
        GTEST_SKIP() << "QORV_README and MODULE name what to sweep";
    }
    if (unshare(CLONE_NEWUSER | CLONE_NEWNS | CLONE_NEWNET | CLONE_NEWIPC | CLONE_NEWUTS) != 0 &&
        std::getenv("QORV_SWEEP_ANYWHERE") == nullptr)
    {
        GTEST_SKIP() << "no namespaces to sweep in";
    }
    std::map<long, std::string> notKilled;
    for (const auto& [first, count] : ranges)
    {
        for (long number = first; number < first + count; ++number)
        {
            const std::string end =
                ending(start({tool[0], "0", std::string{memconf}}, 3, 3,
                             {"LD_PRELOAD=" + tool[1], "QORV_PLANTED=" + std::to_string(number)}));
            if (end == "exit " + std::to_string(unconfined))
            {
                ASSERT_FALSE(kernelHasSeccomp()) << "the tool unconfined on a kernel with seccomp";
                GTEST_SKIP() << "the kernel takes no filter";
            }
            if (end != "killed by SYS")
            {
                notKilled[number] = end;
            }
        }
    }
    for (const auto& [cell, said] : readmeTable(readme))
    {
        for (const auto& [name, number] : listedCalls())
        {
            if (cell.find("`" + name + "`") != std::string::npos)
            {
                EXPECT_TRUE(said.starts_with("passed by the kernel") ||
                            notKilled.contains(number) != said.starts_with("killed"))
                    << name << " (README: " << said << ")";
                notKilled.erase(number);
            }
        }
    }
    for (const auto& [number, end] : notKilled)
    {
        ADD_FAILURE() << "not killed, nor in the README's table: number " << number << " (" << end
                      << ")";
    }
}
} // namespace
} // namespace qorvd::test

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    qorvd::test::tool.assign(argv + 1, argv + argc);
    // Descriptor 3 is /dev/null, where a write works unconfined; the sweep's
    // runs write there.
    dup2(open("/dev/null", O_WRONLY), 3);
    return RUN_ALL_TESTS();
}
