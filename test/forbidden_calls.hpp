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
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
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
    ForbiddenCall{.name = "open", .what = "open a file", .call = [] { return orErrno(open("/proc/self/status", O_RDONLY)); }},
    ForbiddenCall{.name = "socket", .what = "create a socket", .call = [] { return orErrno(socket(AF_UNIX, SOCK_STREAM, 0)); }},
    ForbiddenCall{.name = "fork", .what = "start a process", .call = startProcess},
    ForbiddenCall{.name = "exec", .what = "run a program", .call = runProgram},
    ForbiddenCall{.name = "mmap-exec", .what = "map executable memory", .call = mapExecutable},
    ForbiddenCall{.name = "mprotect-exec", .what = "make memory executable", .call = makeExecutable},
    ForbiddenCall{.name = "write-3", .what = "write to descriptor 3", .call = [] { return writeTo(3); }},
    ForbiddenCall{.name = "kill", .what = "send a signal", .call = [] { return orErrno(kill(getpid(), 0)); }},
};
// clang-format on

} // namespace qorvd::test
