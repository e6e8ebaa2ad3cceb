// SPDX-FileCopyrightText: The qorv_raw_data_parser contributors
// SPDX-License-Identifier: Apache-2.0

// sandbox_check calls | confined TOOL | planted TOOL PRELOAD | clock: the
// tool's system call filter, shown on the kernel this runs on. Prints a line
// a case with the kernel's answer; exits 0 when each is what it must be, 1
// when one is not, 77 (skipped) when the kernel takes no filter (qemu-user)
// or the system lacks what a check reads (/proc).
//
//   calls     a child per case installs the tool's own filter, then makes one
//             call: forbidden ones must end it with SIGSYS (open: EACCES),
//             the ones the tool needs must work, the C library's and the
//             tool's failure paths must end it with SIGABRT as they do
//             unconfined. Each case runs unconfined first: the call works.
//   confined  TOOL blocks writing to a full pipe; its /proc status then says
//             Seccomp: 2 and NoNewPrivs: 1; drained, it prints its summary.
//   planted   TOOL with PRELOAD (planted_fault.so), which makes one
//             forbidden call when the tool reads the clock: each run ends
//             with SIGSYS, or EACCES for an open.
//   clock     whether a clock read here is a system call (no vDSO clock).
//
// In calls and planted, standard input is a file of the caller's, open for
// reading and writing, and another process is waiting: after each confined
// case the file must be as it was, and the process must have had no signal.

#include "forbidden_calls.hpp"
#include "output.hpp"
#include "sandbox.hpp"

#include <fmt/compile.h>

#include <fcntl.h>
#include <linux/bpf_common.h>
#include <linux/filter.h>
#include <linux/prctl.h>
#include <linux/seccomp.h>
#include <spawn.h>
#include <sys/prctl.h>
// GNU's and POSIX's declarations are in the C headers alone.
#include <signal.h> // NOLINT(modernize-deprecated-headers): sigwait, sigprocmask
#include <stdlib.h> // NOLINT(modernize-deprecated-headers): setenv
#include <string.h> // NOLINT(modernize-deprecated-headers): sigabbrev_np
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h> // NOLINT(modernize-deprecated-headers): CLOCK_REALTIME
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

// The C library's own failure paths, as fortified and protected code calls
// them; no header declares them. The names are the C library's.
// NOLINTBEGIN(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
extern "C" [[noreturn]] void __chk_fail();
extern "C" [[noreturn]] void __stack_chk_fail();
// NOLINTEND(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)

namespace
{
constexpr int skipped = 77;
constexpr std::string_view memconfText = "AQMCAQACAQAAAAAAAAACAAAAAAAAAA==";
constexpr std::string_view memconfSummary =
    "MemoryConfig: formatVersion 1, QORV_UEFI_SYS_CONFIG.Data 66051, cpuCount 2, eccMode 1,2\n";

template <typename... Args>
void say(const Args&... args)
{
    const auto text = qorvd::formatted(args...);
    static_cast<void>(qorvd::writeAll(STDOUT_FILENO, {text.data(), text.size()}));
}

// `text` padded with spaces to `width`, for columns a reader can scan.
std::string padded(std::string text, size_t width)
{
    text.resize(std::max(text.size(), width), ' ');
    return text;
}

// How a child ended, as the lines below say it. clang-tidy has the W macros
// from <stdlib.h>, which it also refuses as a deprecated header.
// NOLINTBEGIN(misc-include-cleaner)
std::string ending(int status)
{
    if (WIFSIGNALED(status))
    {
        return std::string{"killed by "} + sigabbrev_np(WTERMSIG(status));
    }
    return "exit " + std::to_string(WEXITSTATUS(status));
}

bool exitedWith(int status, int code)
{
    return WIFEXITED(status) && WEXITSTATUS(status) == code;
}
// NOLINTEND(misc-include-cleaner)

// A call answers 0 when it worked, else its errno; the child exits with it.
using Call = std::function<int()>;
using qorvd::test::orErrno;

// What the calls must not reach: the caller's file as standard input, and
// another process, whose pid is in QORV_VICTIM. That process holds SIGABRT
// blocked and waits: asked afterwards, it says whether one came, so that no
// check waits on a death that may still be under way.
class Caller
{
public:
    Caller()
    {
        const char* dir = std::getenv("TMPDIR");
        path_ = std::string{dir != nullptr ? dir : "/tmp"} + "/sandbox_check.XXXXXX";
        const int fd = mkstemp(path_.data());
        if (fd < 0)
        {
            path_.clear();
        }
        close(fd);
        restore();
    }
    Caller(const Caller&) = delete;
    Caller& operator=(const Caller&) = delete;
    Caller(Caller&&) = delete;
    Caller& operator=(Caller&&) = delete;
    ~Caller()
    {
        static_cast<void>(reached());
        unlink(path_.c_str());
    }

    [[nodiscard]] bool ready() const { return !path_.empty() && victim_ > 0; }

    // What a case reached: "" when nothing. The other process ends here.
    std::string reached()
    {
        std::string what;
        if (readFile() != qorvd::test::inputText)
        {
            what = "the caller's file changed";
        }
        int status = 0;
        if (victim_ > 0 && kill(victim_, SIGUSR1) == 0 && waitpid(victim_, &status, 0) == victim_ &&
            !exitedWith(status, 0))
        {
            what += std::string{what.empty() ? "" : ", "} + "the other process got SIGABRT";
        }
        victim_ = -1;
        return what;
    }

    // The file as it was, read and write at its start, and another process.
    void restore()
    {
        const int fd = open(path_.c_str(), O_RDWR | O_TRUNC);
        if (fd < 0 || qorvd::writeAll(fd, qorvd::test::inputText) != 0 ||
            dup2(fd, STDIN_FILENO) != STDIN_FILENO)
        {
            path_.clear();
        }
        close(fd);
        sigset_t awaited{}; // NOLINT(misc-include-cleaner): from <signal.h>
        sigemptyset(&awaited);
        sigaddset(&awaited, SIGABRT);
        sigaddset(&awaited, SIGUSR1);
        sigset_t before{}; // NOLINT(misc-include-cleaner): from <signal.h>
        sigprocmask(SIG_BLOCK, &awaited, &before);
        victim_ = fork();
        if (victim_ == 0)
        {
            int signal = 0;
            sigwait(&awaited, &signal);
            _exit(signal == SIGABRT ? 1 : 0);
        }
        sigprocmask(SIG_SETMASK, &before, nullptr);
        setenv("QORV_VICTIM", std::to_string(victim_).c_str(), 1);
    }

private:
    [[nodiscard]] std::string readFile() const
    {
        std::ifstream file(path_);
        return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    }

    std::string path_;
    pid_t victim_ = -1;
};

struct CallCase
{
    const char* name;
    Call call;
    const char* confined; // how the child ends under the filter
    // And without it: the call works, or a failure path ends as it must
    // ("": as the kernel has it).
    const char* unconfined = "exit 0";
};

// Past the vDSO, as on cores without an architected timer: the kernel's
// 64-bit time on every target.
int readClockBySystemCall()
{
#ifdef SYS_clock_gettime64
    constexpr long call = SYS_clock_gettime64;
#else
    constexpr long call = SYS_clock_gettime;
#endif
    struct
    {
        int64_t seconds;
        int64_t nanoseconds;
    } now{};
    // clang-tidy has CLOCK_REALTIME from the C library's internal <bits/time.h>.
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-vararg,misc-include-cleaner): a raw call
    return orErrno(syscall(call, CLOCK_REALTIME, &now));
}

// What the tool's allocator asks of the C library.
int takeAndGiveBackMemory()
{
    // NOLINTBEGIN(cppcoreguidelines-no-malloc): the C library's own calls
    void* big = std::malloc(size_t{1} << 22);          // mmap
    void* bigger = std::realloc(big, size_t{1} << 23); // mremap
    void* small = std::malloc(64);                     // brk
    const int answer = bigger != nullptr && small != nullptr ? 0 : ENOMEM;
    std::free(bigger != nullptr ? bigger : big); // munmap
    std::free(small);
    // NOLINTEND(cppcoreguidelines-no-malloc)
    return answer;
}

constexpr const char* works = "exit 0";
constexpr const char* killed = "killed by SYS";
constexpr const char* aborted = "killed by ABRT";

// A table laid out by hand: clang-format 14 and 21 break its rows apart differently.
// clang-format off
std::vector<CallCase> callCases()
{
    using namespace qorvd::test;
    std::vector<CallCase> cases{
        // What the tool does.
        {"write to standard output", [] { return writeTo(STDOUT_FILENO); }, works},
        {"write to standard error", [] { return writeTo(STDERR_FILENO); }, works},
        {"read the clock by a system call", readClockBySystemCall, works},
        {"take and give back memory", takeAndGiveBackMemory, works},
        // How the tool ends when it cannot go on, confined as unconfined.
        {"abort", []() -> int { std::abort(); }, aborted, aborted},
        {"the tool's abortWith", []() -> int { qorvd::abortWith("planted failure"); }, aborted, aborted},
        {"a fortify failure", []() -> int { __chk_fail(); }, aborted, aborted},
        {"a stack protector failure", []() -> int { __stack_chk_fail(); }, aborted, aborted},
#ifdef __x86_64__
        // Another ABI's calls through x86-64's own entry, with x32's numbers:
        // unconfined, as the kernel has them.
        // NOLINTNEXTLINE(cppcoreguidelines-pro-type-vararg): a raw call is the point
        {"an x32 system call", [] { return orErrno(syscall(0x40000000 | SYS_getpid)); }, killed, ""},
#endif
    };
    // What a fault would do.
    for (const auto& forbidden : forbiddenCalls)
    {
        cases.push_back({forbidden.what, forbidden.call, forbidden.name == refusedCall ? "exit 13" : killed});
    }
    return cases;
}
// clang-format on

// Runs `call` in a child, confined or not; answers how the child ended, or
// "unconfined" when the kernel refused the filter.
std::string runChild(const Call& call, bool confine)
{
    const pid_t pid = fork();
    if (pid == 0)
    {
        if (confine && !qorvd::sandbox::confine())
        {
            _exit(skipped);
        }
        _exit(call());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return exitedWith(status, skipped) ? "unconfined" : ending(status);
}

int checkCalls()
{
    // Descriptor 3 open, so that a write to it works unconfined.
    Caller caller;
    if (dup2(open("/dev/null", O_WRONLY), 3) != 3 || !caller.ready())
    {
        return 1;
    }
    int failures = 0;
    for (const auto& c : callCases())
    {
        const std::string free = runChild(c.call, false);
        const std::string freeReached = caller.reached(); // as the call aims to, unconfined
        caller.restore();
        const std::string confined = runChild(c.call, true);
        const std::string reached = caller.reached();
        caller.restore();
        if (confined == "unconfined")
        {
            // Only a kernel without seccomp may refuse: where it answers, a
            // refusal is the tool's own fault.
            // NOLINTNEXTLINE(cppcoreguidelines-pro-type-vararg): the kernel's interface
            if (prctl(PR_GET_SECCOMP, 0, 0, 0, 0) >= 0)
            {
                say(FMT_COMPILE(
                    "the filter confined: refused by a kernel with seccomp  MUST BE taken\n"));
                return 1;
            }
            say(FMT_COMPILE("the kernel takes no system call filter here\n"));
            return skipped;
        }
        const bool good = confined == c.confined && reached.empty() &&
                          (*c.unconfined == '\0' || free == c.unconfined);
        failures += good ? 0 : 1;
        say(FMT_COMPILE("{} unconfined: {} confined: {}{}{}{}\n"), padded(c.name, 34),
            padded(free, 16), confined,
            confined == c.confined ? "" : std::string{"  MUST BE "} + c.confined,
            reached.empty() ? "" : "  MUST REACH NOTHING, REACHED: " + reached,
            freeReached.empty() ? "" : " (unconfined, " + freeReached + ")");
    }
    return failures == 0 ? 0 : 1;
}

// Reads `fd` to its end.
std::string readAll(int fd)
{
    std::string text;
    std::array<char, 4096> buf{};
    for (ssize_t n = 0; (n = read(fd, buf.data(), buf.size())) > 0;)
    {
        text.append(buf.data(), static_cast<size_t>(n));
    }
    return text;
}

// Starts `args` with standard output to `out` and standard error to `err`,
// and nothing in its environment but `environment`; answers its pid.
pid_t start(const std::vector<std::string>& args, int out, int err,
            std::vector<std::string> environment = {})
{
    std::vector<char*> argv;
    std::vector<char*> envp;
    argv.reserve(args.size() + 1);
    envp.reserve(environment.size() + 1);
    for (const auto& arg : args)
    {
        argv.push_back(
            const_cast<char*>(arg.c_str())); // NOLINT(cppcoreguidelines-pro-type-const-cast)
    }
    argv.push_back(nullptr);
    for (auto& variable : environment)
    {
        envp.push_back(variable.data());
    }
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err, STDERR_FILENO);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0)
    {
        pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

std::string statusLine(pid_t pid, std::string_view key)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
    {
        if (line.starts_with(key))
        {
            line.erase(0, line.find_first_not_of(" \t", key.size()));
            return line;
        }
    }
    return "?";
}

// Confined before any argument is read: each path of main blocks writing,
// and /proc must show the filter on by then.
int checkConfined(const std::string& tool)
{
    if (access("/proc/self/status", R_OK) != 0)
    {
        say(FMT_COMPILE(
            "skipped: no /proc here, where the kernel tells what confines a process\n"));
        return skipped;
    }
    const std::array<std::pair<std::vector<std::string>, std::string_view>, 3> runs{{
        {{tool, "-h"}, "qrov_raw_data_parser subcmd base64RawData.\n"},
        {{tool, "x", "QUJD"},
         "Parameter is incorrect, please use qrov_raw_data_parser -h for help.\n"},
        {{tool, "0", std::string{memconfText}}, memconfSummary},
    }};
    int failures = 0;
    for (const auto& [args, expected] : runs)
    {
        std::array<int, 2> ends{};
        if (pipe(ends.data()) != 0)
        {
            return 1;
        }
        // Fill the pipe, so that the tool's first write to it blocks.
        // NOLINTNEXTLINE(cppcoreguidelines-pro-type-vararg): POSIX's interface
        fcntl(ends[1], F_SETFL, O_NONBLOCK);
        const std::string filler(4096, '.');
        size_t filled = 0;
        for (ssize_t n = 0; (n = write(ends[1], filler.data(), filler.size())) > 0;)
        {
            filled += static_cast<size_t>(n);
        }
        fcntl(ends[1], F_SETFL, 0); // NOLINT(cppcoreguidelines-pro-type-vararg): POSIX's interface
        const int devNull = open("/dev/null", O_WRONLY);
        const pid_t pid = start(args, ends[1], devNull);
        close(ends[1]);
        close(devNull);
        if (pid < 0)
        {
            say(FMT_COMPILE("cannot start {}\n"), tool);
            return 1;
        }
        std::string seccomp = "?";
        for (int tries = 0; tries < 200 && seccomp != "2"; ++tries)
        {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            seccomp = statusLine(pid, "Seccomp:");
        }
        const std::string noNewPrivs = statusLine(pid, "NoNewPrivs:");
        const std::string out = readAll(ends[0]);
        close(ends[0]);
        int status = 0;
        waitpid(pid, &status, 0);
        const bool printed = out.size() == filled + expected.size() && out.ends_with(expected);
        const bool good =
            seccomp == "2" && noNewPrivs == "1" && printed && ending(status) == "exit 0";
        failures += good ? 0 : 1;
        say(FMT_COMPILE("{} {}, blocked writing: Seccomp: {}, NoNewPrivs: {}; drained: {}, {}{}\n"),
            tool, args[1], seccomp, noNewPrivs,
            std::string_view{printed ? "its output" : "NOT its output"}, ending(status),
            std::string_view{good ? ""
                                  : "  MUST BE Seccomp: 2, NoNewPrivs: 1, its output, exit 0"});
    }
    return failures == 0 ? 0 : 1;
}

int checkPlanted(const std::string& tool, const std::string& preload)
{
    Caller caller;
    if (!caller.ready())
    {
        return 1;
    }
    int failures = 0;
    for (const auto& forbidden : qorvd::test::forbiddenCalls)
    {
        // How the run must end.
        const std::string fault{forbidden.name};
        const std::string expected = forbidden.name == qorvd::test::refusedCall
                                         ? "planted " + fault + ": " + strerror(EACCES)
                                         : killed;
        // The tool's streams are short: pipes hold them until it has ended.
        std::array<int, 2> out{};
        std::array<int, 2> err{};
        if (pipe(out.data()) != 0 || pipe(err.data()) != 0)
        {
            return 1;
        }
        const pid_t pid = start({tool, "0", std::string{memconfText}}, out[1], err[1],
                                {"LD_PRELOAD=" + preload, "QORV_PLANTED=" + fault,
                                 std::string{"QORV_VICTIM="} + std::getenv("QORV_VICTIM")});
        close(out[1]);
        close(err[1]);
        if (pid < 0)
        {
            say(FMT_COMPILE("cannot start {}\n"), tool);
            return 1;
        }
        int status = 0;
        waitpid(pid, &status, 0);
        close(out[0]);
        // The library says what its call answered, when the run goes on.
        const std::string log = readAll(err[0]);
        close(err[0]);
        const size_t said = log.find("planted ");
        const std::string answer = said == std::string::npos
                                       ? ending(status)
                                       : log.substr(said, log.find('\n', said) - said);
        const std::string reached = caller.reached();
        caller.restore();
        const bool good = answer == expected && reached.empty();
        failures += good ? 0 : 1;
        say(FMT_COMPILE("{}, planted {} {}{}{}\n"), tool, padded(fault + ":", 14), answer,
            answer == expected ? "" : "  MUST BE " + expected,
            reached.empty() ? "" : "  MUST REACH NOTHING, REACHED: " + reached);
    }
    return failures == 0 ? 0 : 1;
}
// Whether the C library's clock read is a system call: under a filter that
// refuses the clock calls, it fails only if it is.
int checkClock()
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
        // NOLINTBEGIN(cppcoreguidelines-pro-type-vararg): the kernel's interface
        if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
            prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
        {
            _exit(skipped);
        }
        // NOLINTEND(cppcoreguidelines-pro-type-vararg)
        timespec now{};
        // clang-tidy has CLOCK_MONOTONIC from the C library's internal <bits/time.h>.
        // NOLINTNEXTLINE(misc-include-cleaner)
        _exit(clock_gettime(CLOCK_MONOTONIC, &now) == 0 ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (exitedWith(status, skipped))
    {
        say(FMT_COMPILE("the kernel takes no system call filter here\n"));
        return skipped;
    }
    say(FMT_COMPILE("clock: {}\n"),
        std::string_view{exitedWith(status, 1) ? "a system call" : "the vDSO"});
    return 0;
}
} // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> args{argv + 1, argv + argc};
    if (args.size() == 1 && args[0] == "calls")
    {
        return checkCalls();
    }
    if (args.size() == 1 && args[0] == "clock")
    {
        return checkClock();
    }
    if (args.size() == 2 && args[0] == "confined")
    {
        return checkConfined(args[1]);
    }
    if (args.size() == 3 && args[0] == "planted")
    {
        return checkPlanted(args[1], args[2]);
    }
    say(FMT_COMPILE("usage: sandbox_check calls | confined TOOL | planted TOOL PRELOAD | clock\n"));
    return 2;
}
