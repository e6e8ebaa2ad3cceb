// SPDX-FileCopyrightText: The qorv_raw_data_parser contributors
// SPDX-License-Identifier: Apache-2.0

// The tool's system call filter on the kernel this runs on. A line a check,
// with "MUST" in each that fails; exits 0 when all pass, 1 when one fails, 77
// (skipped) where the kernel has no seccomp (qemu-user) or there is no /proc.
//
// sandbox_check TOOL [MODULE]
//   each row of sandbox_cases.hpp in a child of its own, under the tool's
//   filter and without it; with MODULE (planted_fault.so), the planted rows
//   from inside TOOL too. Standard input is the caller's file, another
//   process waits, standard error is a full device: a confined call must
//   leave the file as it was, send the process nothing, and show nothing of
//   the file on standard output. Then TOOL, blocked writing on each path of
//   main, must show the filter on in /proc; and whether a clock read here is
//   a system call (no vDSO clock).
// sandbox_check sweep README TOOL MODULE
//   every system call number made once from inside a confined TOOL: the
//   calls not killed must be the README's table's.

#include "output.hpp"
#include "sandbox.hpp"
#include "sandbox_cases.hpp"

#include <fmt/compile.h>

#include <fcntl.h>
#include <linux/bpf_common.h>
#include <linux/filter.h>
#include <linux/prctl.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/prctl.h>
// GNU's and POSIX's declarations are in the C headers alone.
#include <signal.h> // NOLINT(modernize-deprecated-headers): sigwait, sigprocmask
#include <stdlib.h> // NOLINT(modernize-deprecated-headers): setenv
#include <string.h> // NOLINT(modernize-deprecated-headers): sigabbrev_np
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h> // NOLINT(modernize-deprecated-headers): clock_gettime
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace
{
using qorvd::test::inputText;
using Args = std::vector<std::string>;

constexpr int skipped = 77;
constexpr std::string_view memconfText = "AQMCAQACAQAAAAAAAAACAAAAAAAAAA==";
int failures = 0;

// One check's line; one that failed says MUST.
void check(bool good, const std::string& line, const std::string& must = "")
{
    failures += good ? 0 : 1;
    const auto text = qorvd::formatted(FMT_COMPILE("sandbox: {}{}\n"), line,
                                       good ? std::string{} : "  MUST " + must);
    static_cast<void>(qorvd::writeAll(STDOUT_FILENO, {text.data(), text.size()}));
}

// How a child ended. clang-tidy has the W macros from <stdlib.h>.
// NOLINTBEGIN(misc-include-cleaner)
std::string ending(int status)
{
    return WIFSIGNALED(status) ? std::string{"killed by "} + sigabbrev_np(WTERMSIG(status))
                               : "exit " + std::to_string(WEXITSTATUS(status));
}
// NOLINTEND(misc-include-cleaner)

int waitFor(pid_t pid)
{
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
}

std::string readAll(int fd)
{
    std::string text;
    std::array<char, 4096> buf{};
    lseek(fd, 0, SEEK_SET);
    for (ssize_t n = 0; (n = read(fd, buf.data(), buf.size())) > 0;)
    {
        text.append(buf.data(), static_cast<size_t>(n));
    }
    return text;
}

// A file of nobody's but this process's, empty.
int scratch()
{
    return memfd_create("sandbox_check", 0);
}

// What a run must not reach: the caller's file as standard input, and another
// process, whose pid is in QORV_VICTIM. That process holds SIGABRT blocked
// and waits: asked afterwards, it says whether one came.
class Reach
{
public:
    void arm()
    {
        const int fd = scratch();
        static_cast<void>(qorvd::writeAll(fd, inputText));
        dup2(fd, STDIN_FILENO);
        close(fd);
        sigset_t awaited{}; // NOLINT(misc-include-cleaner): from <signal.h>
        sigemptyset(&awaited);
        sigaddset(&awaited, SIGABRT);
        sigaddset(&awaited, SIGUSR1);
        sigset_t before{}; // NOLINT(misc-include-cleaner): from <signal.h>
        sigprocmask(SIG_BLOCK, &awaited, &before);
        victim = fork();
        if (victim == 0)
        {
            int signal = 0;
            sigwait(&awaited, &signal);
            _exit(signal == SIGABRT ? 1 : 0);
        }
        sigprocmask(SIG_SETMASK, &before, nullptr);
        setenv("QORV_VICTIM", std::to_string(victim).c_str(), 1);
    }

    // What the run reached, "" when nothing; `out` is its standard output.
    [[nodiscard]] std::string reached(const std::string& out) const
    {
        std::string what;
        if (readAll(STDIN_FILENO) != inputText)
        {
            what += " the caller's file changed;";
        }
        if (out.find(inputText) != std::string::npos)
        {
            what += " the caller's file read;";
        }
        if (kill(victim, SIGUSR1) == 0 && ending(waitFor(victim)) != "exit 0")
        {
            what += " the other process got SIGABRT;";
        }
        return what;
    }

private:
    pid_t victim = -1;
};

struct Outcome
{
    std::string ending;
    std::string reached;
};

// Starts `args` (found on the PATH) with standard output and error to `out`
// and `err`, and `env` (NAME=VALUE) added; ended after a minute, should it
// hang. Answers its pid.
pid_t start(const Args& args, int out, int err, const Args& env = {})
{
    const pid_t pid = fork();
    if (pid == 0)
    {
        alarm(60);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        // NOLINTBEGIN(cppcoreguidelines-pro-type-const-cast): POSIX's interfaces, before exec
        for (const auto& setting : env)
        {
            putenv(const_cast<char*>(setting.c_str()));
        }
        std::vector<char*> argv;
        for (const auto& arg : args)
        {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        // NOLINTEND(cppcoreguidelines-pro-type-const-cast)
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

enum class Way : uint8_t
{
    Unconfined,
    Confined,
    Planted,
};

// The case's call in a child: unconfined, confined, or planted in TOOL by
// MODULE after main confined it (the module says what the call answered,
// when the run goes on); "unconfined" when the kernel refused the filter.
Outcome runCase(const qorvd::test::SandboxCase& c, Way way, const Args& tool, Reach& reach)
{
    const int out = scratch();
    const int err = way == Way::Planted ? scratch() : open("/dev/full", O_WRONLY);
    reach.arm();
    const pid_t pid = way == Way::Planted
                          ? start({tool[0], "0", std::string{memconfText}}, out, err,
                                  {"LD_PRELOAD=" + tool[1], "QORV_PLANTED=" + std::string{c.name}})
                          : fork();
    if (pid == 0)
    {
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        _exit(way == Way::Confined && !qorvd::sandbox::confine() ? skipped : c.call());
    }
    std::string end = pid < 0 ? "not started" : ending(waitFor(pid));
    const std::string log = way == Way::Planted ? readAll(err) : "";
    const size_t said = log.find("planted: ");
    if (said != std::string::npos)
    {
        end = log.substr(said + 9, log.find('\n', said) - said - 9);
    }
    if (way == Way::Confined && end == "exit " + std::to_string(skipped))
    {
        end = "unconfined";
    }
    Outcome outcome{.ending = end, .reached = reach.reached(readAll(out))};
    close(out);
    close(err);
    return outcome;
}

bool kernelHasSeccomp()
{
    return prctl(PR_GET_SECCOMP, 0, 0, 0, 0) >= 0; // NOLINT(cppcoreguidelines-pro-type-vararg)
}

// Each row, as a child and planted (with TOOL's MODULE); answers false when
// the kernel took no filter.
bool checkCases(const Args& tool)
{
    Reach reach;
    for (const auto& c : qorvd::test::sandboxCases)
    {
        const Outcome free = runCase(c, Way::Unconfined, tool, reach);
        const Outcome confined = runCase(c, Way::Confined, tool, reach);
        if (confined.ending == "unconfined")
        {
            // Only a kernel without seccomp may refuse: one that has it and
            // refuses shows a fault of the tool's.
            check(!kernelHasSeccomp(), "the filter refused by a kernel with seccomp", "take it");
            return false;
        }
        const std::string name{c.name};
        const std::string must = "be " + std::string{c.confined} + ", reaching nothing";
        check((free.ending == c.unconfined || c.unconfined.empty()) &&
                  free.reached.empty() != c.reaches,
              name + " unconfined: " + free.ending + free.reached,
              "be " + std::string{c.unconfined} + (c.reaches ? ", reaching its aim" : ""));
        check(confined.ending == c.confined && confined.reached.empty(),
              name + " confined: " + confined.ending + confined.reached, must);
        if (tool.size() == 2 && c.planted)
        {
            const Outcome inTool = runCase(c, Way::Planted, tool, reach);
            check(inTool.ending == c.confined && inTool.reached.empty(),
                  name + " planted in the tool: " + inTool.ending + inTool.reached, must);
        }
    }
    return true;
}

std::string statusLine(pid_t pid, std::string_view key)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
    {
        if (line.starts_with(key))
        {
            return line.substr(line.find_first_not_of(" \t", key.size()));
        }
    }
    return "?";
}

// Confined before any argument is read: on each path of main the tool blocks
// writing to a full pipe, and /proc must show the filter on by then.
void checkConfined(const std::string& tool)
{
    const std::array<std::pair<Args, std::string_view>, 3> runs{{
        {{tool, "-h"}, "qrov_raw_data_parser subcmd base64RawData.\n"},
        {{tool, "x", "QUJD"},
         "Parameter is incorrect, please use qrov_raw_data_parser -h for help.\n"},
        {{tool, "0", std::string{memconfText}},
         "MemoryConfig: formatVersion 1, QORV_UEFI_SYS_CONFIG.Data 66051, cpuCount 2, eccMode "
         "1,2\n"},
    }};
    for (const auto& [args, expected] : runs)
    {
        std::array<int, 2> ends{};
        if (pipe2(ends.data(), O_NONBLOCK) != 0)
        {
            check(false, "a pipe", "be made");
            return;
        }
        size_t filled = 0;
        for (ssize_t n = 0; (n = write(ends[1], inputText.data(), inputText.size())) > 0;)
        {
            filled += static_cast<size_t>(n);
        }
        fcntl(ends[1], F_SETFL, 0); // NOLINT(cppcoreguidelines-pro-type-vararg): POSIX's interface
        fcntl(ends[0], F_SETFL, 0); // NOLINT(cppcoreguidelines-pro-type-vararg): POSIX's interface
        const int devNull = open("/dev/null", O_WRONLY);
        const pid_t pid = start(args, ends[1], devNull);
        close(ends[1]);
        close(devNull);
        std::string seccomp = "?";
        for (int tries = 0; pid > 0 && tries < 200 && seccomp != "2"; ++tries)
        {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            seccomp = statusLine(pid, "Seccomp:");
        }
        const std::string noNewPrivs = statusLine(pid, "NoNewPrivs:");
        const std::string out = readAll(ends[0]);
        close(ends[0]);
        const std::string end = pid < 0 ? "not started" : ending(waitFor(pid));
        const bool printed = out.size() == filled + expected.size() && out.ends_with(expected);
        std::string line = tool;
        line += " " + args[1] + ", blocked writing: Seccomp: " + seccomp;
        line += ", NoNewPrivs: " + noNewPrivs;
        line += printed ? "; drained: its output, " : "; drained: other output, ";
        check(seccomp == "2" && noNewPrivs == "1" && printed && end == "exit 0", line + end,
              "be Seccomp: 2, NoNewPrivs: 1, its output, exit 0");
    }
}

// Whether the C library's clock read is a system call: under a filter that
// refuses the clock calls, it fails only if it is.
void tellClock()
{
    const pid_t pid = fork();
    if (pid == 0)
    {
        std::array<sock_filter, 5> refuseClocks{{
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
#ifdef SYS_clock_gettime64
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_clock_gettime64, 2, 0),
#else
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_clock_gettime, 2, 0),
#endif
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_clock_gettime, 1, 0),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
        }};
        const sock_fprog program{.len = static_cast<unsigned short>(refuseClocks.size()),
                                 .filter = refuseClocks.data()};
        timespec now{};
        // NOLINTNEXTLINE(cppcoreguidelines-pro-type-vararg): the kernel's interface
        if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
        {
            _exit(2);
        }
        // NOLINTNEXTLINE(misc-include-cleaner): from the C library's internal <bits/time.h>
        _exit(clock_gettime(CLOCK_MONOTONIC, &now) != 0 ? 1 : 0);
    }
    const std::string end = ending(waitFor(pid));
    const auto text = std::string{"clock: "} + (end == "exit 1" ? "a system call\n" : "the vDSO\n");
    static_cast<void>(qorvd::writeAll(STDOUT_FILENO, text));
}

// The numbers of the calls that the README's table names, those this target
// has.
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

// The README's table: each call's verdict with zero arguments.
std::map<std::string, std::string> readmeTable(const std::string& path)
{
    const std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    std::string section = text.str();
    section = section.substr(std::min(section.find("### The sandbox"), section.size()));
    section = section.substr(0, section.find("\n#", 1));
    std::map<std::string, std::string> verdicts;
    static const std::regex row(R"(\n\| (`.*?) +\|.*\| ([a-z][^|]*?) +\|)");
    static const std::regex name("`([a-z_0-9]+)`");
    for (std::sregex_iterator r(section.begin(), section.end(), row), end; r != end; ++r)
    {
        const std::string cell = (*r)[1];
        for (std::sregex_iterator n(cell.begin(), cell.end(), name); n != end; ++n)
        {
            verdicts[(*n)[1]] = (*r)[2];
        }
    }
    return verdicts;
}

// Every number the kernel could take: past the highest call (below 500 on
// each target today), and ARM's own. x32's are refused as a whole, by the
// filter's first test, which the x32 case shows.
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
int checkSweep(const std::string& readme, const std::string& tool, const std::string& module)
{
    if (unshare(CLONE_NEWUSER | CLONE_NEWNS | CLONE_NEWNET | CLONE_NEWIPC | CLONE_NEWUTS) != 0 &&
        std::getenv("QORV_SWEEP_ANYWHERE") == nullptr)
    {
        static_cast<void>(qorvd::writeAll(STDOUT_FILENO, "skipped: no namespaces to sweep in\n"));
        return skipped;
    }
    const int devNull = open("/dev/null", O_WRONLY);
    std::map<long, std::string> notKilled;
    long made = 0;
    long unconfined = 0;
    for (const auto& [first, count] : ranges)
    {
        for (long number = first; number < first + count; ++number, ++made)
        {
            const std::string end = ending(
                waitFor(start({tool, "0", std::string{memconfText}}, devNull, devNull,
                              {"LD_PRELOAD=" + module, "QORV_PLANTED=" + std::to_string(number)})));
            unconfined += end == "exit " + std::to_string(skipped) ? 1 : 0;
            if (end != "killed by SYS")
            {
                notKilled[number] = end;
            }
        }
    }
    if (unconfined > 0)
    {
        check(!kernelHasSeccomp(), "sweep: the tool unconfined on a kernel with seccomp",
              "be confined");
        return failures == 0 ? skipped : 1;
    }
    check(made > 0, "sweep: made " + std::to_string(made) + " calls", "make some");
    const auto calls = listedCalls();
    for (const auto& [name, said] : readmeTable(readme))
    {
        const auto call = calls.find(name);
        const bool either = said.starts_with("passed by the kernel");
        const bool passed = call != calls.end() && notKilled.erase(call->second) != 0;
        std::string line = "sweep: " + name;
        if (call == calls.end())
        {
            line += ": absent here";
        }
        else
        {
            line += passed ? ": not killed" : ": killed";
        }
        line += " (README: " + said + ")";
        check(call == calls.end() || either || passed == !said.starts_with("killed"), line,
              "match the README");
    }
    for (const auto& [number, end] : notKilled)
    {
        check(false, "sweep: not killed: number " + std::to_string(number) + " (" + end + ")",
              "be killed, or be in the README's table");
    }
    return failures == 0 ? 0 : 1;
}
} // namespace

// A harness: an exception ends it, as a failure should.
int main(int argc, char** argv) // NOLINT(bugprone-exception-escape)
{
    const Args args{argv + 1, argv + argc};
    // Descriptor 3 open, so that a write to it works unconfined.
    dup2(open("/dev/null", O_WRONLY), 3);
    if (args.size() == 4 && args[0] == "sweep")
    {
        return checkSweep(args[1], args[2], args[3]);
    }
    if (args.size() == 1 || args.size() == 2)
    {
        if (!checkCases(args))
        {
            return failures == 0 ? skipped : 1;
        }
        if (access("/proc/self/status", R_OK) == 0)
        {
            checkConfined(args[0]);
        }
        tellClock();
        return failures == 0 ? 0 : 1;
    }
    static_cast<void>(qorvd::writeAll(
        STDERR_FILENO, "usage: sandbox_check TOOL [MODULE] | sweep README TOOL MODULE\n"));
    return 2;
}
