// SPDX-FileCopyrightText: The qorv_raw_data_parser contributors
// SPDX-License-Identifier: Apache-2.0

// The filter's answers, its program run at compile time over a call's bytes as
// the kernel lays them out, on every target built for, booted or not. A wrong
// answer fails the build, naming the first case that got it.

#include "sandbox.hpp"

#include <linux/bpf_common.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/syscall.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <iterator>
#include <string_view>

namespace qorvd::sandbox
{
namespace
{
using Args = std::array<uint32_t, 6>;

// The bytes of the kernel's seccomp_data, each field in the host's byte
// order: a load at the wrong offset reads the wrong bytes on that host.
using CallImage = std::array<uint8_t, sizeof(seccomp_data)>;

constexpr CallImage image(uint32_t arch, long number, const Args& args)
{
    seccomp_data call{
        .nr = static_cast<int>(number), .arch = arch, .instruction_pointer = 0x1000, .args = {}};
    std::ranges::copy(args, std::begin(call.args));
    return std::bit_cast<CallImage>(call);
}

constexpr uint32_t word(const CallImage& call, size_t offset)
{
    return std::bit_cast<uint32_t>(
        std::array{call.at(offset), call.at(offset + 1), call.at(offset + 2), call.at(offset + 3)});
}

// The answer of `program` to `call`; 0 for an instruction it does not use.
constexpr uint32_t answer(const Program& program, const CallImage& call)
{
    uint32_t value = 0;
    for (size_t at = 0; at < program.size(); ++at)
    {
        const sock_filter& instruction = program.at(at);
        switch (instruction.code)
        {
        case BPF_RET | BPF_K:
            return instruction.k;
        case BPF_LD | BPF_W | BPF_ABS:
            value = word(call, instruction.k);
            break;
        case BPF_JMP | BPF_JEQ | BPF_K:
            at += value == instruction.k ? instruction.jt : instruction.jf;
            break;
        case BPF_JMP | BPF_JGE | BPF_K:
            at += value >= instruction.k ? instruction.jt : instruction.jf;
            break;
        case BPF_JMP | BPF_JGT | BPF_K:
            at += value > instruction.k ? instruction.jt : instruction.jf;
            break;
        case BPF_JMP | BPF_JSET | BPF_K:
            at += (value & instruction.k) != 0 ? instruction.jt : instruction.jf;
            break;
        default:
            return 0;
        }
    }
    return 0;
}

constexpr uint32_t allowed = SECCOMP_RET_ALLOW;
constexpr uint32_t killed = SECCOMP_RET_KILL_PROCESS;
constexpr uint32_t denied = SECCOMP_RET_ERRNO | EACCES;

// s390x's mmap is refused whatever its arguments, which a filter cannot read.
constexpr uint32_t mapped(uint32_t answer)
{
#ifdef __s390x__
    return answer == killed || answer == allowed ? SECCOMP_RET_ERRNO | ENOMEM : answer;
#else
    return answer;
#endif
}

#ifdef SYS_mmap2
constexpr long mapCall = SYS_mmap2;
#else
constexpr long mapCall = SYS_mmap;
#endif
constexpr uint32_t readWrite = PROT_READ | PROT_WRITE;
constexpr uint32_t anonymous = MAP_PRIVATE | MAP_ANONYMOUS;
constexpr uint32_t pid = 1234;

struct FilterCase
{
    std::string_view name;
    long number;
    Args args;
    uint32_t answer;
    uint32_t arch = auditArch;
};

// Laid out by hand: clang-format 14 and 21 break its rows apart differently.
// clang-tidy has the clock ids from the C library's internal <bits/time.h>,
// and SIGKILL from <signal.h>, which it also refuses as a deprecated header.
// clang-format off
// NOLINTBEGIN(misc-include-cleaner,modernize-use-designated-initializers)
constexpr std::array filterCases{
    FilterCase{"write to stdout", SYS_write, {1}, allowed},
    FilterCase{"write to stderr", SYS_write, {2}, allowed},
    FilterCase{"write to stdin", SYS_write, {0}, killed},
    FilterCase{"write to descriptor 3", SYS_write, {3}, killed},
    FilterCase{"writev to stderr", SYS_writev, {2}, allowed},
    FilterCase{"writev to descriptor 3", SYS_writev, {3}, killed},
    FilterCase{"the monotonic clock", SYS_clock_gettime, {CLOCK_MONOTONIC}, allowed},
    FilterCase{"the last fixed clock", SYS_clock_gettime, {CLOCK_TAI}, allowed},
    FilterCase{"past the fixed clocks", SYS_clock_gettime, {CLOCK_TAI + 1}, killed},
    FilterCase{"another process's clock", SYS_clock_gettime, {static_cast<uint32_t>(-2)}, killed},
    FilterCase{"map anonymous memory", mapCall, {0, 4096, readWrite, anonymous}, mapped(allowed)},
    FilterCase{"map shared anonymous memory", mapCall, {0, 4096, readWrite, MAP_SHARED | MAP_ANONYMOUS}, mapped(allowed)},
    FilterCase{"map a descriptor", mapCall, {0, 4096, PROT_READ, MAP_PRIVATE}, mapped(killed)},
    FilterCase{"map a descriptor shared", mapCall, {0, 4096, readWrite, MAP_SHARED}, mapped(killed)},
    FilterCase{"map executable memory", mapCall, {0, 4096, PROT_READ | PROT_EXEC, anonymous}, mapped(killed)},
    FilterCase{"random bytes without waiting", SYS_getrandom, {0, 16, GRND_NONBLOCK}, allowed},
    FilterCase{"random bytes, waiting for entropy", SYS_getrandom, {0, 16, 0}, killed},
    FilterCase{"SIGABRT's action", SYS_rt_sigaction, {SIGABRT}, allowed},
    FilterCase{"SIGSEGV's action", SYS_rt_sigaction, {SIGSEGV}, killed},
    FilterCase{"SIGABRT to itself", SYS_tgkill, {pid, pid, SIGABRT}, allowed},
    FilterCase{"SIGABRT to another process", SYS_tgkill, {1, 1, SIGABRT}, killed},
    FilterCase{"SIGABRT to another thread", SYS_tgkill, {pid, 1, SIGABRT}, killed},
    FilterCase{"SIGKILL to itself", SYS_tgkill, {pid, pid, SIGKILL}, killed},
    FilterCase{"an open", SYS_openat, {}, denied},
    FilterCase{"mprotect", SYS_mprotect, {}, killed},
    FilterCase{"kill", SYS_kill, {}, killed},
    FilterCase{"the way out", SYS_exit_group, {}, allowed},
    FilterCase{"another convention's write", SYS_write, {1}, killed, auditArch + 1},
#ifdef __x86_64__
    FilterCase{"an x32 write", static_cast<long>(foreignNumbers | SYS_write), {1}, killed},
#endif
};
// NOLINTEND(misc-include-cleaner,modernize-use-designated-initializers)
// clang-format on

// The index of the first case that gets another answer; the number of cases
// when none does.
constexpr size_t firstWrong()
{
    Program program = makeFilter();
    for (const size_t slot : pidAt)
    {
        program.at(slot).k = pid;
    }
    const auto wrong = [&](const FilterCase& c)
    { return answer(program, image(c.arch, c.number, c.args)) != c.answer; };
    return static_cast<size_t>(std::ranges::find_if(filterCases, wrong) - filterCases.begin());
}
static_assert(firstWrong() == filterCases.size(), "filterCases[firstWrong()] gets another answer");

} // namespace
} // namespace qorvd::sandbox
