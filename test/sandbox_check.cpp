// SPDX-FileCopyrightText: The qorv_raw_data_parser contributors
// SPDX-License-Identifier: Apache-2.0

// sandbox_check calls | confined TOOL | planted TOOL PRELOAD: the tool's
// system call filter, shown on the kernel this runs on. Prints a line a case
// with the kernel's answer; exits 0 when each is what it must be, 1 when one
// is not, 77 (skipped) when the kernel takes no filter (qemu-user).
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

#include "output.hpp"
#include "sandbox.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

// The C library's own failure paths, as fortified and protected code calls
// them. Declared by no header.
extern "C" [[noreturn]] void
__chk_fail(); // NOLINT(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
extern "C" [[noreturn]] void
__stack_chk_fail(); // NOLINT(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)

namespace
{
constexpr int skipped = 77;
constexpr std::string_view memconfText = "AQMCAQACAQAAAAAAAAACAAAAAAAAAA==";
constexpr std::string_view memconfSummary =
    "MemoryConfig: formatVersion 1, QORV_UEFI_SYS_CONFIG.Data 66051, cpuCount 2, eccMode 1,2\n";

// How a child ended, as the lines below say it.
std::string ending(int status)
{
    if (WIFSIGNALED(status))
    {
        return std::string{"killed by "} + sigabbrev_np(WTERMSIG(status));
    }
    return "exit " + std::to_string(WEXITSTATUS(status));
}

// A call answers 0 when it worked, else its errno; the child exits with it.
using Call = std::function<int()>;

int orErrno(long result)
{
    return result < 0 ? errno : 0;
}

struct CallCase
{
    const char* name;
    Call call;
    std::string confined; // how the child ends under the filter
    // And without it: the call works, or a failure path ends as it must
    // ("": as the kernel has it).
    std::string unconfined = "exit 0";
};

int readClockBySystemCall()
{
#ifdef SYS_clock_gettime64
    struct
    {
        int64_t seconds;
        int64_t nanoseconds;
    } now{};
    return orErrno(syscall(SYS_clock_gettime64, CLOCK_REALTIME, &now));
#else
    timespec now{};
    return orErrno(syscall(SYS_clock_gettime, CLOCK_REALTIME, &now));
#endif
}

int writeTo(int fd)
{
    return orErrno(write(fd, "", 0));
}

// What the tool's allocator asks of the C library.
int takeAndGiveBackMemory()
{
    // NOLINTBEGIN(cppcoreguidelines-no-malloc): the C library's own calls
    void* big = std::malloc(size_t{1} << 22); // mmap
    big = std::realloc(big, size_t{1} << 23); // mremap
    void* small = std::malloc(64);            // brk
    const int answer = big != nullptr && small != nullptr ? 0 : ENOMEM;
    std::free(big); // munmap
    std::free(small);
    // NOLINTEND(cppcoreguidelines-no-malloc)
    return answer;
}

int startProcess()
{
    const pid_t pid = fork();
    if (pid == 0)
    {
        _exit(0);
    }
    return pid < 0 || waitpid(pid, nullptr, 0) < 0 ? errno : 0;
}

int runProgram()
{
    static std::array<char*, 2> argv{const_cast<char*>("/bin/true"), nullptr}; // NOLINT
    return orErrno(execve(argv[0], argv.data(), environ));
}

int mapExecutable()
{
    void* block = mmap(nullptr, 4096, PROT_READ | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return block == MAP_FAILED ? errno : 0;
}

int makeExecutable()
{
    void* block = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return block == MAP_FAILED ? errno : orErrno(mprotect(block, 4096, PROT_READ | PROT_EXEC));
}

const std::string works = "exit 0";
const std::string killed = "killed by SYS";
const std::string aborted = "killed by ABRT";

// A table laid out by hand: clang-format 14 and 21 break its rows apart differently.
// clang-format off
std::vector<CallCase> callCases()
{
    return {
        // What the tool does.
        {"write to standard output", [] { return writeTo(STDOUT_FILENO); }, works},
        {"write to standard error", [] { return writeTo(STDERR_FILENO); }, works},
        {"read the clock by a system call", readClockBySystemCall, works},
        {"take and give back memory", takeAndGiveBackMemory, works},
        // What a fault would do.
        {"open a file", [] { return orErrno(open("/proc/self/status", O_RDONLY)); },
         "exit " + std::to_string(EACCES)},
        {"create a socket", [] { return orErrno(socket(AF_UNIX, SOCK_STREAM, 0)); }, killed},
        {"start a process", startProcess, killed},
        {"run a program", runProgram, killed},
        {"map executable memory", mapExecutable, killed},
        {"make memory executable", makeExecutable, killed},
        {"write to descriptor 3", [] { return writeTo(3); }, killed},
        {"send a signal", [] { return orErrno(kill(getpid(), 0)); }, killed},
#if defined(__x86_64__)
        // Another ABI's calls through x86-64's own entry, with x32's numbers:
        // unconfined, as the kernel has them.
        {"an x32 system call", [] { return orErrno(syscall(0x40000000 | SYS_getpid)); }, killed, ""},
#endif
        // How the tool ends when it cannot go on, confined as unconfined.
        {"abort", []() -> int { std::abort(); }, aborted, aborted},
        {"the tool's abortWith", []() -> int { qorvd::abortWith("planted failure"); }, aborted, aborted},
        {"a fortify failure", []() -> int { __chk_fail(); }, aborted, aborted},
        {"a stack protector failure", []() -> int { __stack_chk_fail(); }, aborted, aborted},
    };
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
    return WIFEXITED(status) && WEXITSTATUS(status) == skipped ? "unconfined" : ending(status);
}

int checkCalls()
{
    // Descriptor 3 open, so that a write to it works unconfined.
    if (dup2(open("/dev/null", O_WRONLY), 3) != 3)
    {
        return 1;
    }
    int failures = 0;
    for (const auto& c : callCases())
    {
        const std::string free = runChild(c.call, false);
        const std::string confined = runChild(c.call, true);
        if (confined == "unconfined")
        {
            std::puts("the kernel takes no system call filter here");
            return skipped;
        }
        const bool good = confined == c.confined && (c.unconfined.empty() || free == c.unconfined);
        failures += good ? 0 : 1;
        std::printf("%-34s unconfined: %-16s confined: %-16s%s\n", c.name, free.c_str(),
                    confined.c_str(), good ? "" : ("  MUST BE " + c.confined).c_str());
    }
    return failures == 0 ? 0 : 1;
}

// Starts `argv` with standard output to `out` and standard error to `err`,
// and `environment`; answers its pid.
pid_t start(const std::vector<std::string>& args, int out, int err,
            const std::vector<std::string>& environment = {})
{
    std::vector<char*> argv;
    std::vector<std::string> envStrings = environment;
    std::vector<char*> envp;
    for (const auto& arg : args)
    {
        argv.push_back(
            const_cast<char*>(arg.c_str())); // NOLINT(cppcoreguidelines-pro-type-const-cast)
    }
    argv.push_back(nullptr);
    for (auto& variable : envStrings)
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
            std::string value = line.substr(key.size());
            value.erase(0, value.find_first_not_of(" \t"));
            return value;
        }
    }
    return "?";
}

int checkConfined(const std::string& tool)
{
    std::array<int, 2> ends{};
    if (pipe(ends.data()) != 0)
    {
        return 1;
    }
    // Fill the pipe, so that the tool's first write to it blocks.
    fcntl(ends[1], F_SETFL, O_NONBLOCK); // NOLINT(cppcoreguidelines-pro-type-vararg)
    const std::string filler(4096, '.');
    size_t filled = 0;
    for (ssize_t n = 0; (n = write(ends[1], filler.data(), filler.size())) > 0;)
    {
        filled += static_cast<size_t>(n);
    }
    fcntl(ends[1], F_SETFL, 0); // NOLINT(cppcoreguidelines-pro-type-vararg)
    const int devNull = open("/dev/null", O_WRONLY);
    const pid_t pid = start({tool, "0", std::string{memconfText}}, ends[1], devNull);
    close(ends[1]);
    close(devNull);
    // It writes its log entry, then blocks on the summary, confined by then.
    std::string seccomp = "?";
    for (int tries = 0; tries < 200 && seccomp != "2"; ++tries)
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        seccomp = statusLine(pid, "Seccomp:");
    }
    const std::string noNewPrivs = statusLine(pid, "NoNewPrivs:");
    std::string out;
    std::array<char, 4096> buf{};
    for (ssize_t n = 0; (n = read(ends[0], buf.data(), buf.size())) > 0;)
    {
        out.append(buf.data(), static_cast<size_t>(n));
    }
    close(ends[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    const bool good = seccomp == "2" && noNewPrivs == "1" &&
                      out.size() == filled + memconfSummary.size() &&
                      out.ends_with(memconfSummary) && ending(status) == "exit 0";
    std::printf("%s, blocked writing: Seccomp: %s, NoNewPrivs: %s; drained: %s, %s%s\n",
                tool.c_str(), seccomp.c_str(), noNewPrivs.c_str(),
                out.ends_with(memconfSummary) ? "its summary" : "NOT its summary",
                ending(status).c_str(), good ? "" : "  MUST BE Seccomp: 2, NoNewPrivs: 1, exit 0");
    return good ? 0 : 1;
}

std::string readFile(std::FILE* file)
{
    std::string text;
    std::rewind(file);
    std::array<char, 4096> buf{};
    for (size_t n = 0; (n = std::fread(buf.data(), 1, buf.size(), file)) > 0;)
    {
        text.append(buf.data(), n);
    }
    return text;
}

int checkPlanted(const std::string& tool, const std::string& preload)
{
    // The planted call, and how the run must end.
    const std::vector<std::pair<std::string, std::string>> faults{
        {"open", "planted open: " + std::string{std::strerror(EACCES)}},
        {"socket", "killed by SYS"},
        {"fork", "killed by SYS"},
        {"exec", "killed by SYS"},
        {"mmap-exec", "killed by SYS"},
        {"write-3", "killed by SYS"},
    };
    int failures = 0;
    for (const auto& [fault, expected] : faults)
    {
        std::FILE* out = std::tmpfile();
        std::FILE* err = std::tmpfile();
        const pid_t pid = start({tool, "0", std::string{memconfText}}, fileno(out), fileno(err),
                                {"LD_PRELOAD=" + preload, "QORV_PLANTED=" + fault});
        int status = 0;
        waitpid(pid, &status, 0);
        // The library says what its call answered, when the run goes on.
        const std::string log = readFile(err);
        const size_t said = log.find("planted ");
        const std::string answer = said == std::string::npos
                                       ? ending(status)
                                       : log.substr(said, log.find('\n', said) - said);
        const bool good = answer == expected;
        failures += good ? 0 : 1;
        std::printf("%s, planted %-10s %s%s\n", tool.c_str(), (fault + ":").c_str(), answer.c_str(),
                    good ? "" : ("  MUST BE " + expected).c_str());
        static_cast<void>(std::fclose(out));
        static_cast<void>(std::fclose(err));
    }
    return failures == 0 ? 0 : 1;
}
} // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> args{argv + 1, argv + argc};
    if (args.size() == 1 && args[0] == "calls")
    {
        return checkCalls();
    }
    if (args.size() == 2 && args[0] == "confined")
    {
        return checkConfined(args[1]);
    }
    if (args.size() == 3 && args[0] == "planted")
    {
        return checkPlanted(args[1], args[2]);
    }
    std::fputs("usage: sandbox_check calls | confined TOOL | planted TOOL PRELOAD\n", stderr);
    return 2;
}
