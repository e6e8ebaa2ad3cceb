// SPDX-FileCopyrightText: The qorv_raw_data_parser contributors
// SPDX-License-Identifier: Apache-2.0

// planted_fault.so: preloaded into a dynamic build of the tool, it stands in
// for the C library's timespec_get, which the tool calls for each log entry,
// after main has confined it. There it makes the call of the sandbox case
// that QORV_PLANTED names, as code taken over by a memory fault would, and
// says "planted: exit ERRNO" on standard error if the process lives on.
//
// QORV_PLANTED=sweep: every system call number once, each with zero
// arguments, each from a tool of its own. Before main, the library forks a
// child per number, which goes on into main and makes its call there; the
// parent prints the number of each call that did not kill its child, and
// ends. sandbox_check holds the numbers to the README's table.

#include "output.hpp"
#include "sandbox_cases.hpp"

#include <fcntl.h>
#include <signal.h> // NOLINT(modernize-deprecated-headers): sigtimedwait, kill
#include <string.h> // NOLINT(modernize-deprecated-headers): sigabbrev_np
#include <sys/wait.h>
#include <time.h> // NOLINT(modernize-deprecated-headers): POSIX's clock_gettime
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <string_view>
#include <utility>

namespace
{
// No std::string here, which would take the C++ runtime: an image has only
// the C library.
void tell(int fd, std::string_view text)
{
    static_cast<void>(qorvd::writeAll(fd, text));
}

void tellNumber(int fd, long number)
{
    std::array<char, 24> digits{};
    auto* const end = std::to_chars(digits.begin(), digits.end(), number).ptr;
    tell(fd, {digits.data(), static_cast<size_t>(end - digits.data())});
}

// Every number the kernel could take: past the highest call (below 500 on
// each target today; on x86-64, where the runs are cheap, past x32's numbers
// too), and the numbers of this target's other ranges. Laid out by hand:
// clang-format 14 and 21 indent a list with #ifdef in it apart.
// clang-format off
constexpr std::array ranges{
#ifdef __x86_64__
    std::pair<long, long>{0, 1024},
    std::pair<long, long>{0x40000000, 1024}, // x32
#else
    std::pair<long, long>{0, 512},
#endif
#ifdef __arm__
    std::pair<long, long>{0xf0000, 8}, // ARM's own
#endif
};
// clang-format on

// The status of a child that found itself unconfined: the sweep's calls are
// made under the filter or not at all.
constexpr int unconfinedStatus = 77;

// The number the child makes, once main is under way; -1 in a normal run.
long sweepNumber = -1;

// Tells how `child` ended, killed by SIGSYS aside; "hung" after ten seconds
// (then killed). SIGCHLD is blocked, so that waiting wakes as soon as the
// child ends. Answers its exit status, or -1.
// NOLINTNEXTLINE(misc-include-cleaner): sigset_t, from <signal.h>
int tellEnding(long number, pid_t child, const sigset_t& childEnded)
{
    int status = 0;
    const timespec limit{.tv_sec = 10, .tv_nsec = 0};
    // NOLINTNEXTLINE(misc-include-cleaner): WNOHANG, from <stdlib.h> as clang-tidy has it
    while (waitpid(child, &status, WNOHANG) == 0)
    {
        if (sigtimedwait(&childEnded, nullptr, &limit) < 0 && errno == EAGAIN)
        {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            tell(STDOUT_FILENO, "sweep: not killed: ");
            tellNumber(STDOUT_FILENO, number);
            tell(STDOUT_FILENO, " (hung)\n");
            return -1;
        }
    }
    // NOLINTBEGIN(misc-include-cleaner): the W macros, from <stdlib.h>
    if (WIFSIGNALED(status) && WTERMSIG(status) == SIGSYS)
    {
        return -1;
    }
    tell(STDOUT_FILENO, "sweep: not killed: ");
    tellNumber(STDOUT_FILENO, number);
    tell(STDOUT_FILENO, WIFSIGNALED(status) ? " (killed by " : " (exit ");
    if (WIFSIGNALED(status))
    {
        tell(STDOUT_FILENO, sigabbrev_np(WTERMSIG(status)));
    }
    else
    {
        tellNumber(STDOUT_FILENO, WEXITSTATUS(status));
    }
    tell(STDOUT_FILENO, ")\n");
    return WIFSIGNALED(status) ? -1 : WEXITSTATUS(status);
    // NOLINTEND(misc-include-cleaner)
}

// Runs before main. Only the children return from it.
[[gnu::constructor]] void sweep()
{
    const char* planted = std::getenv("QORV_PLANTED");
    if (planted == nullptr || std::string_view{planted} != "sweep")
    {
        return;
    }
    const int devNull = open("/dev/null", O_WRONLY);
    sigset_t childEnded{}; // NOLINT(misc-include-cleaner): from <signal.h>
    sigemptyset(&childEnded);
    sigaddset(&childEnded, SIGCHLD);
    sigset_t before{}; // NOLINT(misc-include-cleaner): from <signal.h>
    sigprocmask(SIG_BLOCK, &childEnded, &before);
    long made = 0;
    long unconfined = 0;
    for (const auto& [first, count] : ranges)
    {
        for (long number = first; number < first + count; ++number)
        {
            const pid_t child = fork();
            if (child == 0)
            {
                sigprocmask(SIG_SETMASK, &before, nullptr);
                dup2(devNull, STDOUT_FILENO);
                dup2(devNull, STDERR_FILENO);
                sweepNumber = number;
                return;
            }
            ++made;
            unconfined += tellEnding(number, child, childEnded) == unconfinedStatus ? 1 : 0;
        }
    }
    if (unconfined == made)
    {
        _exit(unconfinedStatus);
    }
    tell(STDOUT_FILENO, "sweep: made ");
    tellNumber(STDOUT_FILENO, made);
    tell(STDOUT_FILENO, " calls\n");
    _exit(0);
}

// The sweep's call, from inside the confined tool. Confined, an open is
// refused with EACCES; anything else means the filter is not on.
[[noreturn]] void sweepCall()
{
    if (open("/", O_RDONLY) >= 0 || errno != EACCES)
    {
        _exit(unconfinedStatus);
    }
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-vararg): a raw call is the point
    syscall(sweepNumber, 0L, 0L, 0L, 0L, 0L, 0L);
    _exit(0);
}
} // namespace

// The tool's timespec_get (__timespec_get64 where time_t has two sizes),
// its parameters named as the C library's declaration names them.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
extern "C" int timespec_get(timespec* __ts, int __base) noexcept
{
    if (sweepNumber >= 0)
    {
        sweepCall();
    }
    const char* fault = std::getenv("QORV_PLANTED");
    for (const auto& planted : qorvd::test::sandboxCases)
    {
        if (fault != nullptr && planted.name == fault)
        {
            const int error = planted.call();
            tell(STDERR_FILENO, "planted: exit ");
            tellNumber(STDERR_FILENO, error);
            tell(STDERR_FILENO, "\n");
        }
    }
    // NOLINTNEXTLINE(misc-include-cleaner): CLOCK_REALTIME, from <bits/time.h>
    return __base == TIME_UTC && clock_gettime(CLOCK_REALTIME, __ts) == 0 ? __base : 0;
}
