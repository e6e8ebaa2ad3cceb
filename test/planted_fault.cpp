// SPDX-FileCopyrightText: The qorv_raw_data_parser contributors
// SPDX-License-Identifier: Apache-2.0

// planted_fault.so: preloaded into a dynamic build of the tool, it stands in
// for the C library's timespec_get, which the tool calls for each log entry,
// after main has confined it. There it first makes the forbidden call that
// QORV_PLANTED names, as code taken over by a memory fault would, and says on
// standard error what the call answered, if the process lives on.
//
// QORV_PLANTED=sweep: every system call number once, each with zero
// arguments, each from a tool of its own. Before main, the library forks a
// child per number, which goes on into main and makes its call there; the
// parent prints each call that did not kill its child, and ends.

#include "forbidden_calls.hpp"
#include "output.hpp"

#include <fcntl.h>
// POSIX's and GNU's declarations are in the C headers alone.
#include <signal.h> // NOLINT(modernize-deprecated-headers): sigtimedwait, kill
#include <string.h> // NOLINT(modernize-deprecated-headers): sigabbrev_np
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h> // NOLINT(modernize-deprecated-headers): POSIX's clock_gettime
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>

namespace
{
// 0 when the call worked, else its errno.
int plant(std::string_view fault)
{
    for (const auto& forbidden : qorvd::test::forbiddenCalls)
    {
        if (forbidden.name == fault)
        {
            return forbidden.call();
        }
    }
    return EINVAL;
}

// The planted call's answer goes to standard error, the sweep's report to
// standard output.
void say(std::string_view text)
{
    static_cast<void>(qorvd::writeAll(STDERR_FILENO, text));
}

void tell(std::string_view text)
{
    static_cast<void>(qorvd::writeAll(STDOUT_FILENO, text));
}

// The calls the filter lets through, as the README's table names them; -1
// where this target has no such call. The sweep names a call it finds by
// this list, and any other by its number.
#ifdef SYS_clock_gettime64
constexpr long clockGettime64Number = SYS_clock_gettime64;
#else
constexpr long clockGettime64Number = -1;
#endif
#ifdef SYS_mmap2
constexpr long mmap2Number = SYS_mmap2;
#else
constexpr long mmap2Number = -1;
#endif
#ifdef SYS_mmap
constexpr long mmapNumber = SYS_mmap;
#else
constexpr long mmapNumber = -1;
#endif
#ifdef SYS_open
constexpr long openNumber = SYS_open;
#else
constexpr long openNumber = -1;
#endif
// The kernel lets these two through every filter (x86-64, Linux 6.11 and
// later): the return from a probed function, and the probe itself.
#ifdef __x86_64__
constexpr long uretprobeNumber = 335;
constexpr long uprobeNumber = 336;
#else
constexpr long uretprobeNumber = -1;
constexpr long uprobeNumber = -1;
#endif
constexpr std::array<std::pair<std::string_view, long>, 21> listed{{
    {"write", SYS_write},
    {"writev", SYS_writev},
    {"clock_gettime64", clockGettime64Number},
    {"clock_gettime", SYS_clock_gettime},
    {"brk", SYS_brk},
    {"mmap2", mmap2Number},
    {"mmap", mmapNumber},
    {"mremap", SYS_mremap},
    {"munmap", SYS_munmap},
    {"getrandom", SYS_getrandom},
    {"exit_group", SYS_exit_group},
    {"exit", SYS_exit},
    {"rt_sigprocmask", SYS_rt_sigprocmask},
    {"rt_sigaction", SYS_rt_sigaction},
    {"getpid", SYS_getpid},
    {"gettid", SYS_gettid},
    {"tgkill", SYS_tgkill},
    {"openat", SYS_openat},
    {"open", openNumber},
    {"uretprobe", uretprobeNumber},
    {"uprobe", uprobeNumber},
}};

// Tells `number` in decimal: no std::string here, which would take the C++
// runtime, and an image has only the C library.
void tellNumber(long number)
{
    std::array<char, 24> digits{};
    auto* const end = std::to_chars(digits.begin(), digits.end(), number).ptr;
    tell({digits.data(), static_cast<size_t>(end - digits.data())});
}

// Tells the README's name for the call `number`, or the number.
void tellName(long number)
{
    for (const auto& [name, listedNumber] : listed)
    {
        if (listedNumber == number)
        {
            tell(name);
            return;
        }
    }
    tell("number ");
    tellNumber(number);
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

// How a child ended: killed by a signal, exited, or still running after ten
// seconds (then killed).
struct Ending
{
    enum class Kind : uint8_t
    {
        signalled,
        exited,
        hung,
    };
    Kind kind;
    int value;
};

// How `child` ended. SIGCHLD is blocked here, so that waiting for it wakes as
// soon as the child ends.
// NOLINTNEXTLINE(misc-include-cleaner): sigset_t, from <signal.h>
Ending ending(pid_t child, const sigset_t& childEnded)
{
    int status = 0;
    const timespec limit{.tv_sec = 10, .tv_nsec = 0};
    while (waitpid(child, &status, WNOHANG) == 0)
    {
        if (sigtimedwait(&childEnded, nullptr, &limit) < 0 && errno == EAGAIN)
        {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            return {.kind = Ending::Kind::hung, .value = 0};
        }
    }
    // clang-tidy has the W macros from <stdlib.h>, which it also refuses.
    // NOLINTBEGIN(misc-include-cleaner)
    return WIFSIGNALED(status) ? Ending{.kind = Ending::Kind::signalled, .value = WTERMSIG(status)}
                               : Ending{.kind = Ending::Kind::exited, .value = WEXITSTATUS(status)};
    // NOLINTEND(misc-include-cleaner)
}

void tellEnding(const Ending& end)
{
    if (end.kind == Ending::Kind::hung)
    {
        tell("hung");
        return;
    }
    tell(end.kind == Ending::Kind::signalled ? "killed by " : "exit ");
    if (end.kind == Ending::Kind::signalled)
    {
        tell(sigabbrev_np(end.value));
        return;
    }
    tellNumber(end.value);
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
    size_t made = 0;
    size_t notKilled = 0;
    size_t unconfined = 0;
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
            const Ending end = ending(child, childEnded);
            if (end.kind == Ending::Kind::exited && end.value == unconfinedStatus)
            {
                ++unconfined;
            }
            if (end.kind != Ending::Kind::signalled || end.value != SIGSYS)
            {
                ++notKilled;
                tell("sweep: not killed: ");
                tellName(number);
                tell(" (");
                tellEnding(end);
                tell(")\n");
            }
        }
    }
    if (unconfined == made)
    {
        tell("sweep: the kernel takes no system call filter here\n");
        _exit(unconfinedStatus);
    }
    tell("sweep: absent here:");
    for (const auto& [name, number] : listed)
    {
        if (number < 0)
        {
            tell(" ");
            tell(name);
        }
    }
    tell("\nsweep: made ");
    tellNumber(static_cast<long>(made));
    tell(" calls, ");
    tellNumber(static_cast<long>(notKilled));
    tell(" not killed\n");
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
    if (const char* fault = std::getenv("QORV_PLANTED"); fault != nullptr)
    {
        const int error = plant(fault);
        say("planted ");
        say(fault);
        say(": ");
        say(error == 0 ? "done" : std::strerror(error));
        say("\n");
    }
    // clang-tidy has CLOCK_REALTIME from the C library's internal <bits/time.h>.
    // NOLINTNEXTLINE(misc-include-cleaner)
    return __base == TIME_UTC && clock_gettime(CLOCK_REALTIME, __ts) == 0 ? __base : 0;
}
