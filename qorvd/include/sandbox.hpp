// SPDX-FileCopyrightText: The qorv_raw_data_parser contributors
// SPDX-License-Identifier: Apache-2.0

#pragma once

// The tool's confinement: a seccomp-bpf allow-list that main installs before
// it reads its arguments, which come from the host. From then on the kernel
// lets the process write to its two output streams, read the clock, manage
// its memory without making any of it executable, and end, by exit or by
// abort; any other system call kills it (SIGSYS). Should a memory fault slip
// past every other defence, the code it runs can do no more than that.
//
// The filter is a constant program, not one compiled at start by a library:
// the tool starts once per record on slow cores, and needs no library but the
// C library.

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <ctime>

namespace qorvd::sandbox
{

// The system call convention of this build. A call made through another one
// (x32 or i386 calls from an x86-64 process, OABI calls on ARM) has other
// numbers, and is killed whatever it is.
#if defined(__x86_64__) && !defined(__ILP32__)
inline constexpr uint32_t auditArch = AUDIT_ARCH_X86_64;
#elif defined(__i386__)
inline constexpr uint32_t auditArch = AUDIT_ARCH_I386;
#elif defined(__aarch64__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
inline constexpr uint32_t auditArch = AUDIT_ARCH_AARCH64;
#elif defined(__arm__) && defined(__ARM_EABI__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
inline constexpr uint32_t auditArch = AUDIT_ARCH_ARM;
#elif defined(__s390x__)
inline constexpr uint32_t auditArch = AUDIT_ARCH_S390X;
#else
#error "no system call filter for this target: configure with -Dsandbox=false"
#endif

// What the filter does with a call: let it through, refuse it with an error,
// or kill the process.
inline constexpr uint32_t allow = SECCOMP_RET_ALLOW;
inline constexpr uint32_t kill = SECCOMP_RET_KILL_PROCESS;
constexpr uint32_t fail(uint16_t error)
{
    return SECCOMP_RET_ERRNO | error;
}

// One system call the tool may make, and what its argument `arg` (when 0 or
// more) must hold: one of `values`, or, with `clearMask`, none of its bits.
struct Rule
{
    long number = -1;
    uint32_t action = allow;
    int arg = -1;
    std::array<uint32_t, 2> values{};
    bool clearMask = false;
};

constexpr Rule oneOf(long number, int arg, uint32_t first, uint32_t second)
{
    return {.number = number, .arg = arg, .values = {first, second}};
}

constexpr Rule without(long number, int arg, uint32_t mask)
{
    return {.number = number, .arg = arg, .values = {mask, mask}, .clearMask = true};
}

// The allow-list. Found with strace on every kind of run, natively and on ARM
// (qemu-arm -strace), static and dynamic: each record kind, each failure, out
// of memory, the largest record, a full device, a closed descriptor, a dead
// pipe; and the C library's abort, fortify and stack protector paths.
// Laid out by hand: clang-format 14 and 21 indent a list with #ifdef in it apart.
// clang-format off
inline constexpr std::array rules{
    // The two streams, and nothing else.
    oneOf(SYS_write, 0, STDOUT_FILENO, STDERR_FILENO),
    oneOf(SYS_writev, 0, STDOUT_FILENO, STDERR_FILENO), // the C library's fatal messages
    // The clock, where the vDSO cannot read it (ARM926 and ARM1176 have no
    // architected timer): time() reads the coarse clock.
#ifdef SYS_clock_gettime64
    oneOf(SYS_clock_gettime64, 0, CLOCK_REALTIME, CLOCK_REALTIME_COARSE),
#endif
    oneOf(SYS_clock_gettime, 0, CLOCK_REALTIME, CLOCK_REALTIME_COARSE),
    // Memory, never executable.
    Rule{.number = SYS_brk},
#ifdef SYS_mmap2
    without(SYS_mmap2, 2, PROT_EXEC),
#endif
#ifdef __s390x__
    // s390x passes mmap's arguments in memory, where a filter cannot read them.
    Rule{.number = SYS_mmap},
#elif defined(SYS_mmap)
    without(SYS_mmap, 2, PROT_EXEC),
#endif
    Rule{.number = SYS_mremap},
    Rule{.number = SYS_munmap},
    // The C library seeds its heap's pointer checks (from glibc 2.34 on).
    Rule{.number = SYS_getrandom},
    // The way out, and abort's: SIGABRT to the process itself.
    Rule{.number = SYS_exit_group},
    Rule{.number = SYS_exit},
    Rule{.number = SYS_rt_sigprocmask},
    oneOf(SYS_rt_sigaction, 0, SIGABRT, SIGABRT),
    Rule{.number = SYS_getpid},
    Rule{.number = SYS_gettid},
    oneOf(SYS_tgkill, 2, SIGABRT, SIGABRT),
    // gmtime loads the local time zone once, which a UTC log does not need:
    // refused, the C library goes on in UTC. Any other open is refused alike.
    Rule{.number = SYS_openat, .action = fail(EACCES)},
#ifdef SYS_open
    Rule{.number = SYS_open, .action = fail(EACCES)},
#endif
};
// clang-format on

// The offset of the low 32 bits of argument `arg` in what the filter reads.
// The checked arguments are ints, of which the kernel reads those bits alone.
constexpr uint32_t argOffset(int arg)
{
    constexpr bool bigEndian = __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__;
    return static_cast<uint32_t>(offsetof(seccomp_data, args) +
                                 (sizeof(uint64_t) * static_cast<size_t>(arg)) +
                                 (bigEndian ? sizeof(uint32_t) : 0));
}

constexpr sock_filter statement(int code, uint32_t k)
{
    return {.code = static_cast<uint16_t>(code), .jt = 0, .jf = 0, .k = k};
}

constexpr sock_filter jump(int code, uint32_t k, uint8_t ifTrue, uint8_t ifFalse)
{
    return {.code = static_cast<uint16_t>(code), .jt = ifTrue, .jf = ifFalse, .k = k};
}

// x32 calls share x86-64's architecture; their numbers have this bit set.
#ifdef __x86_64__
inline constexpr uint32_t foreignNumbers = 0x40000000;
#else
inline constexpr uint32_t foreignNumbers = 0;
#endif

// The program's parts, in order: the architecture and the number loaded; one
// comparison per rule, which jumps to the rule's argument check or straight to
// its return; the checks, one for the rules that check alike; the returns,
// allow first and kill last. Jumps only go forward, and a call that no rule
// names falls off the last comparison into the kill.
inline constexpr size_t headerLength = foreignNumbers != 0 ? 4 : 3;

constexpr bool sameCheck(const Rule& first, const Rule& second)
{
    return first.arg >= 0 && first.arg == second.arg && first.values == second.values &&
           first.clearMask == second.clearMask;
}

constexpr size_t checkLength(const Rule& rule)
{
    return rule.clearMask || rule.values[0] == rule.values[1] ? 2 : 3;
}

// Where each rule's comparison jumps; the returns, allow first, each action
// once; where they begin, and where the kill is.
struct Layout
{
    std::array<size_t, rules.size()> target{};
    std::array<uint32_t, rules.size() + 1> returns{};
    size_t returnCount = 0;
    size_t returnsAt = 0;
    size_t killAt = 0;
};

constexpr Layout makeLayout()
{
    Layout layout;
    size_t at = headerLength + rules.size();
    for (size_t i = 0; i < rules.size(); ++i)
    {
        if (rules[i].arg < 0)
        {
            continue;
        }
        layout.target.at(i) = at;
        for (size_t j = 0; j < i; ++j)
        {
            if (sameCheck(rules[j], rules[i]))
            {
                layout.target.at(i) = layout.target.at(j);
            }
        }
        at += layout.target.at(i) == at ? checkLength(rules[i]) : 0;
    }
    layout.returnsAt = at;
    layout.returns.at(layout.returnCount++) = allow;
    for (size_t i = 0; i < rules.size(); ++i)
    {
        size_t which = 0;
        while (which < layout.returnCount && layout.returns.at(which) != rules[i].action)
        {
            ++which;
        }
        if (which == layout.returnCount)
        {
            layout.returns.at(layout.returnCount++) = rules[i].action;
        }
        if (rules[i].arg < 0)
        {
            layout.target.at(i) = at + which;
        }
    }
    layout.killAt = at + layout.returnCount;
    return layout;
}

inline constexpr Layout layout = makeLayout();

// An argument check lets a call through or kills it: no rule with one may
// return anything else.
static_assert(std::ranges::all_of(rules, [](const Rule& rule)
                                  { return rule.arg < 0 || rule.action == allow; }));

constexpr size_t filterLength()
{
    return layout.killAt + 1;
}
// A jump reaches at most 255 instructions ahead.
static_assert(filterLength() <= 256);

// A jump's offset from the instruction at `from` to the one at `to`.
constexpr uint8_t offset(size_t from, size_t to)
{
    return static_cast<uint8_t>(to - from - 1);
}

constexpr std::array<sock_filter, filterLength()> makeFilter()
{
    std::array<sock_filter, filterLength()> program{};
    size_t at = 0;
    const auto add = [&program, &at](sock_filter instruction) { program.at(at++) = instruction; };
    const size_t allowAt = layout.returnsAt;
    const size_t killAt = layout.killAt;
    add(statement(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)));
    add(jump(BPF_JMP | BPF_JEQ | BPF_K, auditArch, 0, offset(at, killAt)));
    add(statement(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)));
    if (foreignNumbers != 0)
    {
        add(jump(BPF_JMP | BPF_JGE | BPF_K, foreignNumbers, offset(at, killAt), 0));
    }
    for (size_t i = 0; i < rules.size(); ++i)
    {
        const bool last = i + 1 == rules.size();
        add(jump(BPF_JMP | BPF_JEQ | BPF_K, static_cast<uint32_t>(rules[i].number),
                 offset(at, layout.target.at(i)), last ? offset(at, killAt) : 0));
    }
    for (size_t i = 0; i < rules.size(); ++i)
    {
        const Rule& rule = rules[i];
        if (rule.arg < 0 || layout.target.at(i) != at)
        {
            continue;
        }
        add(statement(BPF_LD | BPF_W | BPF_ABS, argOffset(rule.arg)));
        if (rule.clearMask)
        {
            add(jump(BPF_JMP | BPF_JSET | BPF_K, rule.values[0], offset(at, killAt),
                     offset(at, allowAt)));
            continue;
        }
        if (rule.values[0] != rule.values[1])
        {
            add(jump(BPF_JMP | BPF_JEQ | BPF_K, rule.values[0], offset(at, allowAt), 0));
        }
        add(jump(BPF_JMP | BPF_JEQ | BPF_K, rule.values[1], offset(at, allowAt),
                 offset(at, killAt)));
    }
    for (size_t which = 0; which < layout.returnCount; ++which)
    {
        add(statement(BPF_RET | BPF_K, layout.returns.at(which)));
    }
    add(statement(BPF_RET | BPF_K, kill));
    return program;
}

inline constexpr std::array<sock_filter, filterLength()> filter = makeFilter();
// Every instruction written: the kernel refuses a program that does not end in a return.
static_assert(filter.back().code == (BPF_RET | BPF_K) && filter.back().k == kill);

// Confines the process for the rest of its life. Answers whether the kernel
// took the filter: one built without seccomp filters, or qemu-user, refuses
// it, and the run goes on as it would have, with the same output.
inline bool confine() noexcept
{
    // Through syscall(): the C library's prctl wrapper is four times its size
    // in a static file, whose code ends a few bytes short of another page.
    // No new privileges: what a filter needs without CAP_SYS_ADMIN, and what
    // keeps an exec (were one let through) from gaining any.
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-vararg): the kernel's interface
    if (::syscall(SYS_prctl, PR_SET_NO_NEW_PRIVS, 1UL, 0UL, 0UL, 0UL) != 0)
    {
        return false;
    }
    const sock_fprog program{
        .len = static_cast<unsigned short>(filter.size()),
        // NOLINTNEXTLINE(cppcoreguidelines-pro-type-const-cast): the kernel only reads it
        .filter = const_cast<sock_filter*>(filter.data()),
    };
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-vararg): the kernel's interface
    return ::syscall(SYS_prctl, PR_SET_SECCOMP, static_cast<unsigned long>(SECCOMP_MODE_FILTER),
                     &program, 0UL, 0UL) == 0;
}

} // namespace qorvd::sandbox
