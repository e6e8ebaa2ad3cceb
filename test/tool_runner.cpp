// SPDX-FileCopyrightText: The qorv_raw_data_parser contributors
// SPDX-License-Identifier: Apache-2.0

// The end-to-end harness: the arguments left after GoogleTest's own are the
// command that starts the tool (an emulator first, for a cross build).
// QORV_TOOL, when set, names a file to run in place of the built tool: a
// release file. QORV_NO_ENTROPY, when set, runs the tests (every one with
// "1", the rows that ask for it with "rows") as on a BMC that is still
// booting: the kernel has no entropy yet, and getrandom fails with EAGAIN.

#include "tool_runner.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <regex>
#include <stdexcept>
#include <string_view>
#include <utility>

namespace qorvd::test
{
namespace
{
std::vector<std::string>& toolCommand()
{
    static std::vector<std::string> command;
    return command;
}

std::string readAll(std::FILE* file)
{
    std::string text;
    std::rewind(file);
    std::array<char, 4096> buf{};
    size_t n = 0;
    while ((n = std::fread(buf.data(), 1, buf.size(), file)) > 0)
    {
        text.append(buf.data(), n);
    }
    return text;
}

// Points the child's descriptor `fd` at `sink`; a captured stream goes to
// `file`. Answers a descriptor the parent closes once the child has started,
// or -1.
int routeStream(posix_spawn_file_actions_t& actions, int fd, Sink sink, std::FILE* file)
{
    switch (sink)
    {
    case Sink::Captured:
        posix_spawn_file_actions_adddup2(&actions, fileno(file), fd);
        return -1;
    case Sink::DeviceFull:
        posix_spawn_file_actions_addopen(&actions, fd, "/dev/full", O_WRONLY, 0);
        return -1;
    case Sink::ReaderGone:
    {
        std::array<int, 2> ends{};
        if (pipe2(ends.data(), O_CLOEXEC) != 0)
        {
            throw std::runtime_error("cannot make a pipe");
        }
        close(ends[0]); // no reader from the start: every write fails
        posix_spawn_file_actions_adddup2(&actions, ends[1], fd);
        return ends[1];
    }
    }
    return -1;
}
} // namespace

void setToolCommand(std::vector<std::string> command)
{
    toolCommand() = std::move(command);
}

ToolRun runTool(const std::vector<std::string>& args, const std::vector<std::string>& wrapper,
                const Streams& streams)
{
    if (toolCommand().empty())
    {
        throw std::runtime_error("no tool command given to the test binary");
    }
    std::vector<std::string> all = wrapper;
    all.insert(all.end(), toolCommand().begin(), toolCommand().end());
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    argv.reserve(all.size() + 1);
    for (auto& arg : all)
    {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);

    // Files, not pipes: a large output cannot stall the child.
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::array<int, 2> pipeEnds{
        routeStream(actions, STDOUT_FILENO, streams.out, out),
        routeStream(actions, STDERR_FILENO, streams.err, err),
    };
    // SIGPIPE at its default in the child, or ignored as a service has it: an
    // ignored signal stays ignored across exec, so the harness ignores it
    // while it starts the child.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t toDefault;
    sigemptyset(&toDefault);
    if (!streams.sigpipeIgnored)
    {
        sigaddset(&toDefault, SIGPIPE);
    }
    posix_spawnattr_setsigdefault(&attributes, &toDefault);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    struct sigaction ignore = {};
    struct sigaction previous = {};
    struct sigaction previousXfsz = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &previous);
    sigaction(SIGXFSZ, &ignore, &previousXfsz);
    rlimit fileSize{};
    getrlimit(RLIMIT_FSIZE, &fileSize);
    if (streams.fileLimit != 0)
    {
        const rlimit limited{streams.fileLimit, fileSize.rlim_max};
        setrlimit(RLIMIT_FSIZE, &limited);
    }

    pid_t pid = 0;
    ToolRun run;
    run.started = std::time(nullptr);
    const int rc = posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), environ);
    sigaction(SIGPIPE, &previous, nullptr);
    sigaction(SIGXFSZ, &previousXfsz, nullptr);
    setrlimit(RLIMIT_FSIZE, &fileSize);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    for (const int end : pipeEnds)
    {
        if (end >= 0)
        {
            close(end);
        }
    }
    if (rc != 0)
    {
        static_cast<void>(std::fclose(out));
        static_cast<void>(std::fclose(err));
        throw std::runtime_error("cannot start " + all[0]);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    run.ended = std::time(nullptr);

    run.out = readAll(out);
    run.err = readAll(err);
    run.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    static_cast<void>(std::fclose(out));
    static_cast<void>(std::fclose(err));
    return run;
}

bool toolRunsAlone()
{
    return toolCommand().size() == 1 && std::getenv("TOOL_SANITIZED") == nullptr &&
           std::getenv("QORV_UNDER_VALGRIND") == nullptr;
}

std::string normalizeLog(const std::string& err, std::time_t earliest, std::time_t latest)
{
    // date, time with unpadded microseconds glued on, quoted file, line, level
    static const std::regex entry(
        R"re(^(\d{4})-(\d{2})-(\d{2}) (\d{2}):(\d{2}):(\d{2})(0|[1-9]\d{0,5}) UTC \["([^"\\]*)":[1-9]\d*\] (\[[A-Z]+\]) )re");
    // Seconds since the epoch of an entry's UTC date and time.
    const auto loggedAt = [](const std::smatch& match)
    {
        const auto number = [&match](size_t i) { return std::stoi(match[i].str()); };
        std::tm broken{};
        broken.tm_year = number(1) - 1900;
        broken.tm_mon = number(2) - 1;
        broken.tm_mday = number(3);
        broken.tm_hour = number(4);
        broken.tm_min = number(5);
        broken.tm_sec = number(6);
        return timegm(&broken);
    };
    std::string result;
    size_t start = 0;
    while (start < err.size())
    {
        size_t end = err.find('\n', start);
        if (end == std::string::npos)
        {
            end = err.size();
        }
        const std::string line = err.substr(start, end - start);
        std::smatch match;
        const bool wellFormed = std::regex_search(line, match, entry);
        const std::time_t when = wellFormed ? loggedAt(match) : 0;
        if (wellFormed && when >= earliest && when <= latest)
        {
            result += match[8].str() + " " + match[9].str() + " " + match.suffix().str();
        }
        else
        {
            result += "?" + line;
        }
        result += '\n';
        start = end + 1;
    }
    return result;
}

std::string normalizeLog(const ToolRun& run)
{
    // A second either side: the two clocks may be read at different resolutions.
    return normalizeLog(run.err, run.started - 1, run.ended + 1);
}

NoEntropy withoutEntropy()
{
    const char* mode = std::getenv("QORV_NO_ENTROPY");
    if (mode == nullptr)
    {
        return NoEntropy::Off;
    }
    return std::string_view{mode} == "rows" ? NoEntropy::Rows : NoEntropy::All;
}

} // namespace qorvd::test

namespace
{
// A filter of the harness's own, which each tool it starts inherits: filters
// stack, and the kernel takes the strictest answer, so the tool's own filter
// still kills what it kills. Answers whether the kernel took it.
bool installNoEntropy()
{
    static std::array<sock_filter, 4> noEntropy{{
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_getrandom, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EAGAIN),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    }};
    const sock_fprog program{.len = static_cast<unsigned short>(noEntropy.size()),
                             .filter = noEntropy.data()};
    // NOLINTBEGIN(cppcoreguidelines-pro-type-vararg): the kernel's interface
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
    // NOLINTEND(cppcoreguidelines-pro-type-vararg)
}
} // namespace

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    std::vector<std::string> command{argv + 1, argv + argc};
    if (const char* tool = std::getenv("QORV_TOOL"); tool != nullptr && !command.empty())
    {
        command.back() = tool;
    }
    if (qorvd::test::withoutEntropy() != qorvd::test::NoEntropy::Off && !installNoEntropy())
    {
        // Only a kernel without seccomp may refuse it (qemu-user).
        // NOLINTNEXTLINE(cppcoreguidelines-pro-type-vararg): the kernel's interface
        const bool hasSeccomp = prctl(PR_GET_SECCOMP, 0, 0, 0, 0) >= 0;
        std::fputs(hasSeccomp ? "QORV_NO_ENTROPY: the kernel refused the harness's filter\n"
                              : "skipped: QORV_NO_ENTROPY, and the kernel takes no filter here\n",
                   stderr);
        return hasSeccomp ? 1 : 77;
    }
    qorvd::test::setToolCommand(std::move(command));
    return RUN_ALL_TESTS();
}
