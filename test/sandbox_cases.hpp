// SPDX-FileCopyrightText: The qorv_raw_data_parser contributors
// SPDX-License-Identifier: Apache-2.0

#pragma once

// What the tool's filter must let a process do and what not, a row a call,
// made in a child by sandbox_check and from inside the tool by
// planted_fault.so. A call answers 0 or its errno. Only the C library here:
// the module is loaded into the tool, which has no C++ runtime.

#include "output.hpp"

#include <fcntl.h>
#include <signal.h> // NOLINT(modernize-deprecated-headers): SIGABRT, as include-cleaner has it
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/syscall.h>
#include <time.h> // NOLINT(modernize-deprecated-headers): CLOCK_REALTIME
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

// The C library's own failure paths, as fortified and protected code calls
// them; no header declares them. The names are the C library's.
// NOLINTBEGIN(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
extern "C" [[noreturn]] void __chk_fail();
extern "C" [[noreturn]] void __stack_chk_fail();
// NOLINTEND(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)

namespace qorvd::test
{

inline int orErrno(long result)
{
    return result < 0 ? errno : 0;
}

// The caller's standard input: a file that a confined call must neither read
// nor change.
inline constexpr std::string_view inputText = "the caller's own file\n";

// The caller's file, mapped and copied to standard output.
inline int readInput()
{
    const void* block = mmap(nullptr, inputText.size(), PROT_READ, MAP_PRIVATE, STDIN_FILENO, 0);
    return block == MAP_FAILED ? errno : orErrno(write(STDOUT_FILENO, block, inputText.size()));
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
inline int abortAnother()
{
    const char* victim = std::getenv("QORV_VICTIM");
    const long pid = victim == nullptr ? 0 : std::strtol(victim, nullptr, 10);
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-vararg): a raw call, as abort makes it
    return pid <= 1 ? EINVAL : orErrno(syscall(SYS_tgkill, pid, pid, SIGABRT));
}

inline int mapExecutable()
{
    void* block = mmap(nullptr, 4096, PROT_READ | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return block == MAP_FAILED ? errno : orErrno(munmap(block, 4096));
}

#ifdef SYS_clock_gettime64
inline constexpr long clockCall = SYS_clock_gettime64; // with a 64-bit time_t
#else
inline constexpr long clockCall = SYS_clock_gettime;
#endif

// Past the vDSO, as on cores without an architected timer.
inline int readClockBySystemCall()
{
    std::array<int64_t, 2> now{};
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-vararg,misc-include-cleaner): a raw call
    return orErrno(syscall(clockCall, CLOCK_REALTIME, now.data()));
}

// What the tool's allocator asks of the C library.
inline int takeAndGiveBackMemory()
{
    // NOLINTBEGIN(cppcoreguidelines-no-malloc): the C library's own calls
    void* big = std::malloc(size_t{1} << 22);
    void* bigger = std::realloc(big, size_t{1} << 23);
    void* small = std::malloc(64);
    const int answer = bigger != nullptr && small != nullptr ? 0 : ENOMEM;
    std::free(bigger != nullptr ? bigger : big);
    std::free(small);
    return answer;
}

inline int runOutOfMemory()
{
    // Kept, so that no compiler drops the request as unused.
    static const void* volatile kept = nullptr;
    kept = std::malloc(SIZE_MAX / 2);
    if (kept == nullptr)
    {
        qorvd::abortWith("out of memory");
    }
    return 0;
    // NOLINTEND(cppcoreguidelines-no-malloc)
}

// As the C library seeds its heap checks: a call that does not wait.
inline int randomWithoutWaiting()
{
    std::array<uint8_t, 16> bytes{};
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-vararg): a raw call, as the library makes it
    const long got = syscall(SYS_getrandom, bytes.data(), bytes.size(), GRND_NONBLOCK);
    return got < 0 && errno != EAGAIN ? errno : 0;
}

struct SandboxCase
{
    std::string_view name; // as QORV_PLANTED names it
    int (*call)();
    std::string_view confined;              // how the process ends under the filter
    std::string_view unconfined = "exit 0"; // and without it, then what it reaches ("": any)
    bool planted = false;                   // made from inside the tool too
};

inline constexpr std::string_view works = "exit 0";
inline constexpr std::string_view killed = "killed by SYS";
inline constexpr std::string_view aborted = "killed by ABRT";
// Standard error is a full device: the write fails, the process lives on.
inline constexpr std::string_view deviceFull = "exit 28";

// Laid out by hand, a row a line, its columns read by position: clang-format
// 14 and 21 break rows apart differently.
// clang-format off
// NOLINTBEGIN(modernize-use-designated-initializers)
inline constexpr std::array sandboxCases{
    // What the tool does, and how it ends when it cannot go on.
    SandboxCase{"write_stdout", [] { return orErrno(write(STDOUT_FILENO, "x", 1)); }, works},
    SandboxCase{"write_full_stderr", [] { return orErrno(write(STDERR_FILENO, "x", 1)); }, deviceFull, deviceFull},
    SandboxCase{"clock", readClockBySystemCall, works},
    SandboxCase{"memory", takeAndGiveBackMemory, works},
    SandboxCase{"random_without_waiting", randomWithoutWaiting, works},
    SandboxCase{"out_of_memory", runOutOfMemory, aborted, aborted},
    SandboxCase{"abort", []() -> int { std::abort(); }, aborted, aborted},
    SandboxCase{"fortify", []() -> int { __chk_fail(); }, aborted, aborted},
    SandboxCase{"stack_protector", []() -> int { __stack_chk_fail(); }, aborted, aborted},
    // What a fault would do: killed, or an open refused (the C library lives
    // without the files it tries). Calls refused whatever their arguments are
    // the sweep's.
    SandboxCase{"open", [] { return orErrno(open("/", O_RDONLY)); }, "exit 13", works, true},
    SandboxCase{"mmap_exec", mapExecutable, killed, works, true},
    SandboxCase{"write_3", [] { return orErrno(write(3, "x", 1)); }, killed, works, true},
    // What is not the tool's: unconfined, each reaches it.
    SandboxCase{"read_input", readInput, killed, "exit 0 the caller's file read;", true},
    SandboxCase{"change_input", changeInput, killed, "exit 0 the caller's file changed;", true},
    SandboxCase{"abort_other", abortAnother, killed, "exit 0 the other process got SIGABRT;", true},
#ifdef __x86_64__
    // Another ABI's calls through x86-64's own entry, with x32's numbers.
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-vararg): a raw call is the point
    SandboxCase{"x32", [] { return orErrno(syscall(0x40000000 | SYS_getpid)); }, killed, ""},
#endif
};
// NOLINTEND(modernize-use-designated-initializers)
// clang-format on

} // namespace qorvd::test
