// SPDX-FileCopyrightText: The qorv_raw_data_parser contributors
// SPDX-License-Identifier: Apache-2.0

#pragma once

// What the tool never does, made as code taken over by a memory fault would
// make it: by sandbox_check under the tool's filter, and by planted_fault.so
// from inside the tool. Each call answers 0 when it worked, else its errno.

#include <fcntl.h>
#include <signal.h> // NOLINT(modernize-deprecated-headers): POSIX's kill
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace qorvd::test
{

inline int orErrno(long result)
{
    return result < 0 ? errno : 0;
}

inline int writeTo(int fd)
{
    return orErrno(write(fd, "", 0));
}

inline int startProcess()
{
    const pid_t pid = fork();
    if (pid == 0)
    {
        _exit(0);
    }
    return pid < 0 || waitpid(pid, nullptr, 0) < 0 ? errno : 0;
}

// Unconfined, /bin/true takes the process over.
inline int runProgram()
{
    static std::array<char*, 2> argv{const_cast<char*>("/bin/true"), nullptr}; // NOLINT
    return orErrno(execve(argv[0], argv.data(), environ));
}

inline int mapExecutable()
{
    const void* block =
        mmap(nullptr, 4096, PROT_READ | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return block == MAP_FAILED ? errno : 0;
}

inline int makeExecutable()
{
    void* block = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return block == MAP_FAILED ? errno : orErrno(mprotect(block, 4096, PROT_READ | PROT_EXEC));
}

// What the caller's standard input holds when a check runs: a file of its
// own, opened for reading and writing, that the tool must neither read nor
// change.
inline constexpr std::string_view inputText = "the caller's own file\n";

// The caller's file, mapped: the call works only if the mapping holds it.
inline int mapInput()
{
    const void* block = mmap(nullptr, inputText.size(), PROT_READ, MAP_PRIVATE, STDIN_FILENO, 0);
    if (block == MAP_FAILED)
    {
        return errno;
    }
    return std::memcmp(block, inputText.data(), inputText.size()) == 0 ? 0 : EIO;
}

// The caller's file, mapped shared and written through the mapping.
inline int changeInput()
{
    void* block =
        mmap(nullptr, inputText.size(), PROT_READ | PROT_WRITE, MAP_SHARED, STDIN_FILENO, 0);
    if (block == MAP_FAILED)
    {
        return errno;
    }
    static_cast<char*>(block)[0] = 'T';
    return orErrno(msync(block, inputText.size(), MS_SYNC));
}

// Another process, whose pid QORV_VICTIM gives: abort's own call, at it.
inline int signalAnother()
{
    const char* victim = std::getenv("QORV_VICTIM");
    const long pid = victim == nullptr ? 0 : std::strtol(victim, nullptr, 10);
    if (pid <= 1)
    {
        return EINVAL;
    }
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-vararg): a raw call, as abort makes it
    return orErrno(syscall(SYS_tgkill, pid, pid, SIGABRT));
}

struct ForbiddenCall
{
    std::string_view name; // as QORV_PLANTED names it
    const char* what;
    int (*call)();
};

// The filter refuses an open with EACCES (the C library tries one of its own
// and lives without it); every other call here kills the process.
inline constexpr std::string_view refusedCall = "open";

// clang-format off
inline constexpr std::array forbiddenCalls{
    ForbiddenCall{.name = "open", .what = "open a file", .call = [] { return orErrno(open("/", O_RDONLY)); }},
    ForbiddenCall{.name = "socket", .what = "create a socket", .call = [] { return orErrno(socket(AF_UNIX, SOCK_STREAM, 0)); }},
    ForbiddenCall{.name = "fork", .what = "start a process", .call = startProcess},
    ForbiddenCall{.name = "exec", .what = "run a program", .call = runProgram},
    ForbiddenCall{.name = "mmap-exec", .what = "map executable memory", .call = mapExecutable},
    ForbiddenCall{.name = "mprotect-exec", .what = "make memory executable", .call = makeExecutable},
    ForbiddenCall{.name = "write-3", .what = "write to descriptor 3", .call = [] { return writeTo(3); }},
    ForbiddenCall{.name = "kill", .what = "send a signal", .call = [] { return orErrno(kill(getpid(), 0)); }},
    ForbiddenCall{.name = "read-input", .what = "map the caller's file to read it", .call = mapInput},
    ForbiddenCall{.name = "change-input", .what = "map the caller's file to change it", .call = changeInput},
    ForbiddenCall{.name = "abort-other", .what = "send SIGABRT to another process", .call = signalAnother},
};
// clang-format on

} // namespace qorvd::test
