// SPDX-FileCopyrightText: The qorv_raw_data_parser contributors
// SPDX-License-Identifier: Apache-2.0

// What the system call filter answers, read from the program itself as the
// kernel runs it: on every target the tests are built for, including those
// whose kernel the suites cannot boot. The kernel's own answers are the
// sandbox and kernel suites'.

#include "sandbox.hpp"

#include <gtest/gtest.h>

#include <linux/bpf_common.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/syscall.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <ostream>
#include <vector>

namespace qorvd::sandbox
{
namespace
{
using Args = std::array<uint32_t, 6>;

// The answer of `program` to call `number` with `args`, made through `arch`.
uint32_t answer(const Program& program, uint32_t arch, long number, const Args& args)
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
            if (instruction.k == offsetof(seccomp_data, arch))
            {
                value = arch;
            }
            else if (instruction.k == offsetof(seccomp_data, nr))
            {
                value = static_cast<uint32_t>(number);
            }
            else
            {
                value = args.at((instruction.k - argOffset(0)) / sizeof(uint64_t));
            }
            continue;
        case BPF_JMP | BPF_JEQ | BPF_K:
            at += value == instruction.k ? instruction.jt : instruction.jf;
            continue;
        case BPF_JMP | BPF_JGE | BPF_K:
            at += value >= instruction.k ? instruction.jt : instruction.jf;
            continue;
        case BPF_JMP | BPF_JGT | BPF_K:
            at += value > instruction.k ? instruction.jt : instruction.jf;
            continue;
        case BPF_JMP | BPF_JSET | BPF_K:
            at += (value & instruction.k) != 0 ? instruction.jt : instruction.jf;
            continue;
        default:
            ADD_FAILURE() << "instruction " << at << ": code " << instruction.code;
            return 0;
        }
    }
    ADD_FAILURE() << "the program ends without a return";
    return 0;
}

constexpr uint32_t allowed = SECCOMP_RET_ALLOW;
constexpr uint32_t killed = SECCOMP_RET_KILL_PROCESS;
constexpr uint32_t denied = SECCOMP_RET_ERRNO | EACCES;

struct FilterCase
{
    const char* name;
    long number;
    Args args;
    uint32_t answer;
    uint32_t arch = auditArch;

    friend void PrintTo(const FilterCase& c, std::ostream* os) { *os << c.name; }
};

#ifdef SYS_mmap2
constexpr long mapCall = SYS_mmap2;
#else
constexpr long mapCall = SYS_mmap;
#endif
// s390x's mmap is refused whatever its arguments, which a filter cannot read.
constexpr uint32_t mapped(uint32_t answer)
{
#ifdef __s390x__
    return answer == killed || answer == allowed ? SECCOMP_RET_ERRNO | ENOMEM : answer;
#else
    return answer;
#endif
}
constexpr uint32_t readWrite = PROT_READ | PROT_WRITE;
constexpr uint32_t anonymous = MAP_PRIVATE | MAP_ANONYMOUS;

class Filter : public testing::TestWithParam<FilterCase>
{
};

TEST_P(Filter, Answers)
{
    const FilterCase& c = GetParam();
    Program program = makeFilter();
    for (const size_t slot : pidAt)
    {
        program.at(slot).k = 1234;
    }
    EXPECT_EQ(answer(program, c.arch, c.number, c.args), c.answer);
}

// Laid out by hand: clang-format 14 and 21 break its rows apart differently.
// clang-tidy has the clock ids from the C library's internal <bits/time.h>,
// and SIGKILL from <signal.h>, which it also refuses as a deprecated header.
// clang-format off
// NOLINTBEGIN(misc-include-cleaner)
std::vector<FilterCase> filterCases()
{
    return {
        {"WriteStdout", SYS_write, {1}, allowed},
        {"WriteStderr", SYS_write, {2}, allowed},
        {"WriteStdin", SYS_write, {0}, killed},
        {"WriteDescriptor3", SYS_write, {3}, killed},
        {"WritevStderr", SYS_writev, {2}, allowed},
        {"WritevDescriptor3", SYS_writev, {3}, killed},
        {"ClockMonotonic", SYS_clock_gettime, {CLOCK_MONOTONIC}, allowed},
        {"ClockTai", SYS_clock_gettime, {CLOCK_TAI}, allowed},
        {"ClockPastTheFixedIds", SYS_clock_gettime, {CLOCK_TAI + 1}, killed},
        {"ClockOfAnotherProcess", SYS_clock_gettime, {static_cast<uint32_t>(-2)}, killed},
        {"MapAnonymous", mapCall, {0, 4096, readWrite, anonymous}, mapped(allowed)},
        {"MapAnonymousShared", mapCall, {0, 4096, readWrite, MAP_SHARED | MAP_ANONYMOUS}, mapped(allowed)},
        {"MapDescriptor", mapCall, {0, 4096, PROT_READ, MAP_PRIVATE}, mapped(killed)},
        {"MapDescriptorShared", mapCall, {0, 4096, readWrite, MAP_SHARED}, mapped(killed)},
        {"MapExecutable", mapCall, {0, 4096, PROT_READ | PROT_EXEC, anonymous}, mapped(killed)},
        {"SigactionAbort", SYS_rt_sigaction, {SIGABRT}, allowed},
        {"SigactionSegv", SYS_rt_sigaction, {SIGSEGV}, killed},
        {"AbortItself", SYS_tgkill, {1234, 1234, SIGABRT}, allowed},
        {"AbortAnother", SYS_tgkill, {1, 1, SIGABRT}, killed},
        {"AbortAnotherThread", SYS_tgkill, {1234, 1, SIGABRT}, killed},
        {"KillItself", SYS_tgkill, {1234, 1234, SIGKILL}, killed},
        {"RandomWithoutWaiting", SYS_getrandom, {0, 16, GRND_NONBLOCK}, allowed},
        {"RandomWaitingForEntropy", SYS_getrandom, {0, 16, 0}, killed},
        {"Openat", SYS_openat, {}, denied},
        {"Mprotect", SYS_mprotect, {}, killed},
        {"Kill", SYS_kill, {}, killed},
        {"Exit", SYS_exit_group, {}, allowed},
        {"AnotherConvention", SYS_write, {1}, killed, auditArch + 1},
#ifdef __x86_64__
        {"X32", static_cast<long>(foreignNumbers | SYS_write), {1}, killed},
#endif
    };
}
// NOLINTEND(misc-include-cleaner)
// clang-format on

INSTANTIATE_TEST_SUITE_P(Calls, Filter, testing::ValuesIn(filterCases()),
                         [](const testing::TestParamInfo<FilterCase>& info)
                         { return info.param.name; });

} // namespace
} // namespace qorvd::sandbox
