// SPDX-FileCopyrightText: The qorv_raw_data_parser contributors
// SPDX-License-Identifier: Apache-2.0

#pragma once

// The tool's confinement: a seccomp-bpf allow-list that main installs before
// it reads its arguments, which come from the host. From then on each call
// the kernel lets through reaches only what is the tool's own: its two output
// streams, its anonymous memory (never executable), the clocks, and itself,
// to end by exit or by abort. Any other call kills it (SIGSYS). Should a
// memory fault slip past every other defence, the code it runs can do no more.
//
// The program is written out below, one block per call, as a reviewer reads
// it; no library compiles it at each start (the tool starts once per record
// on slow cores). Only the process's pid is filled in at run time.

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/random.h>
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

// What one argument of a call must hold. The filter reads the argument's low
// 32 bits, all the kernel reads of the int arguments checked here.
struct Check
{
    enum class Kind : uint8_t
    {
        equal,   // == value
        atLeast, // >= value, unsigned
        atMost,  // <= value, unsigned: a negative int is a large number
        hasBits, // every bit of value set
        noBits,  // no bit of value set
    };
    int arg;
    Kind kind;
    uint32_t value;
};

constexpr Check equal(int arg, uint32_t value)
{
    return {.arg = arg, .kind = Check::Kind::equal, .value = value};
}

constexpr Check atLeast(int arg, uint32_t value)
{
    return {.arg = arg, .kind = Check::Kind::atLeast, .value = value};
}

constexpr Check atMost(int arg, uint32_t value)
{
    return {.arg = arg, .kind = Check::Kind::atMost, .value = value};
}

constexpr Check hasBits(int arg, uint32_t value)
{
    return {.arg = arg, .kind = Check::Kind::hasBits, .value = value};
}

constexpr Check noBits(int arg, uint32_t value)
{
    return {.arg = arg, .kind = Check::Kind::noBits, .value = value};
}

// Stands for the process's pid until confine() writes it in.
inline constexpr uint32_t ownPid = 0xFFFFFFFF;

// One call on the list: let through when every check holds, else kill. A
// rule with `refuse` set answers that error instead, whatever the arguments.
struct Rule
{
    long number = -1;
    std::array<Check, 3> checks{};
    size_t checkCount = 0;
    uint16_t refuse = 0;
};

constexpr Rule any(long number)
{
    return {.number = number};
}

template <typename... Checks>
constexpr Rule only(long number, Checks... checks)
{
    return {.number = number, .checks = {checks...}, .checkCount = sizeof...(checks)};
}

constexpr Rule refused(long number, uint16_t error)
{
    return {.number = number, .refuse = error};
}

// The list, read from what the C library does for the tool, fallbacks and
// failure paths included (README: The sandbox has a row and a reason for
// each). Laid out by hand: clang-format 14 and 21 indent a list with #ifdef
// in it apart.
// clang-format off
inline constexpr std::array rules{
    // The summary and the log; the C library's fatal messages use writev.
    only(SYS_write, atLeast(0, STDOUT_FILENO), atMost(0, STDERR_FILENO)),
    only(SYS_writev, atLeast(0, STDOUT_FILENO), atMost(0, STDERR_FILENO)),
    // The clocks with fixed ids: the log's time, and the heap's seed when
    // there is no entropy yet. Where no vDSO reads them (ARM926, ARM1176, an
    // ARMv7 timer the firmware left unset) each read is a call. A negative id
    // names another process's CPU clock or a clock device: killed.
#ifdef SYS_clock_gettime64
    only(SYS_clock_gettime64, atMost(0, CLOCK_TAI)),
#endif
    only(SYS_clock_gettime, atMost(0, CLOCK_TAI)),
    // The allocator's memory: anonymous, so that no descriptor is mapped,
    // and never executable. mremap and munmap reach only mappings the
    // process has; mprotect is not on the list.
    any(SYS_brk),
#ifdef SYS_mmap2
    only(SYS_mmap2, noBits(2, PROT_EXEC), hasBits(3, MAP_ANONYMOUS)),
#endif
#ifdef __s390x__
    // s390x passes mmap's arguments in memory, where a filter cannot read
    // them: refused, the allocator lives on brk.
    refused(SYS_mmap, ENOMEM),
#elif defined(SYS_mmap)
    only(SYS_mmap, noBits(2, PROT_EXEC), hasBits(3, MAP_ANONYMOUS)),
#endif
    any(SYS_mremap),
    any(SYS_munmap),
    // The heap's pointer-check key, at the first allocation; before the
    // kernel has entropy it fails, and the C library reads the clock. Never
    // one that waits for entropy, which may take a minute while a BMC boots.
    only(SYS_getrandom, hasBits(2, GRND_NONBLOCK)),
    // The way out.
    any(SYS_exit_group),
    any(SYS_exit),
    // abort: SIGABRT, to the process itself and no other.
    any(SYS_rt_sigprocmask),
    only(SYS_rt_sigaction, equal(0, SIGABRT)),
    any(SYS_getpid),
    any(SYS_gettid),
    only(SYS_tgkill, equal(0, ownPid), equal(1, ownPid), equal(2, SIGABRT)),
    // gmtime loads the local time zone once, which a UTC log does not need,
    // and the C library's fatal messages may try the terminal: refused, the
    // library goes on without. Any other open is refused alike.
    refused(SYS_openat, EACCES),
#ifdef SYS_open
    refused(SYS_open, EACCES),
#endif
};
// clang-format on

constexpr sock_filter statement(int code, uint32_t k)
{
    return {.code = static_cast<uint16_t>(code), .jt = 0, .jf = 0, .k = k};
}

constexpr sock_filter jump(int code, uint32_t k, size_t ifTrue, size_t ifFalse)
{
    return {.code = static_cast<uint16_t>(code),
            .jt = static_cast<uint8_t>(ifTrue),
            .jf = static_cast<uint8_t>(ifFalse),
            .k = k};
}

constexpr sock_filter load(uint32_t offset)
{
    return statement(BPF_LD | BPF_W | BPF_ABS, offset);
}

// Where the low 32 bits of argument `arg` are.
constexpr uint32_t argOffset(int arg)
{
    constexpr bool bigEndian = __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__;
    return static_cast<uint32_t>(offsetof(seccomp_data, args) +
                                 (sizeof(uint64_t) * static_cast<size_t>(arg)) +
                                 (bigEndian ? sizeof(uint32_t) : 0));
}

// A rule's block: compare the number, skip the block if it is another call;
// each check loads its argument and jumps to the block's kill if it fails;
// then the block's return. Jumps stay inside their block, and each path
// through a block ends in a return, so blocks read one by one.
constexpr size_t blockLength(const Rule& rule)
{
    return rule.checkCount == 0 ? 2 : 3 + (2 * rule.checkCount);
}

constexpr sock_filter checkJump(const Check& check, size_t toKill)
{
    switch (check.kind)
    {
    case Check::Kind::equal:
        return jump(BPF_JMP | BPF_JEQ | BPF_K, check.value, 0, toKill);
    case Check::Kind::atLeast:
        return jump(BPF_JMP | BPF_JGE | BPF_K, check.value, 0, toKill);
    case Check::Kind::atMost:
        return jump(BPF_JMP | BPF_JGT | BPF_K, check.value, toKill, 0);
    case Check::Kind::hasBits:
        return jump(BPF_JMP | BPF_JSET | BPF_K, check.value, 0, toKill);
    case Check::Kind::noBits:
        break;
    }
    return jump(BPF_JMP | BPF_JSET | BPF_K, check.value, toKill, 0);
}

// x32 calls share x86-64's architecture; their numbers have this bit set.
#ifdef __x86_64__
inline constexpr uint32_t foreignNumbers = 0x40000000;
inline constexpr size_t headerLength = 6;
#else
inline constexpr size_t headerLength = 4;
#endif

constexpr size_t filterLength()
{
    size_t length = headerLength + 1;
    for (const Rule& rule : rules)
    {
        length += blockLength(rule);
    }
    return length;
}

using Program = std::array<sock_filter, filterLength()>;

constexpr Program makeFilter()
{
    Program program{};
    size_t at = 0;
    const auto add = [&program, &at](sock_filter instruction) { program.at(at++) = instruction; };
    // Another convention's call: killed.
    add(load(offsetof(seccomp_data, arch)));
    add(jump(BPF_JMP | BPF_JEQ | BPF_K, auditArch, 1, 0));
    add(statement(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS));
    add(load(offsetof(seccomp_data, nr)));
#ifdef __x86_64__
    add(jump(BPF_JMP | BPF_JGE | BPF_K, foreignNumbers, 0, 1));
    add(statement(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS));
#endif
    for (const Rule& rule : rules)
    {
        const size_t end = at + blockLength(rule);
        add(jump(BPF_JMP | BPF_JEQ | BPF_K, static_cast<uint32_t>(rule.number), 0, end - at - 1));
        if (rule.checkCount == 0)
        {
            add(statement(BPF_RET | BPF_K,
                          rule.refuse != 0 ? SECCOMP_RET_ERRNO | rule.refuse : SECCOMP_RET_ALLOW));
            continue;
        }
        for (size_t i = 0; i < rule.checkCount; ++i)
        {
            add(load(argOffset(rule.checks.at(i).arg)));
            add(checkJump(rule.checks.at(i), end - 1 - at - 1));
        }
        add(statement(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
        add(statement(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS));
    }
    // No rule names the call.
    add(statement(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS));
    return program;
}

// The program is sound: checks carry no error of their own, each jump lands
// inside the program, and the last instruction is the kill, so that a call no
// rule names ends there.
constexpr bool sound(const Program& program)
{
    for (const Rule& rule : rules)
    {
        if (rule.refuse != 0 && rule.checkCount != 0)
        {
            return false;
        }
    }
    for (size_t i = 0; i < program.size(); ++i)
    {
        const sock_filter& instruction = program.at(i);
        if (BPF_CLASS(instruction.code) == BPF_JMP &&
            i + 1 + std::max(instruction.jt, instruction.jf) >= program.size())
        {
            return false;
        }
    }
    return program.back().code == (BPF_RET | BPF_K) &&
           program.back().k == SECCOMP_RET_KILL_PROCESS && program.size() <= BPF_MAXINSNS;
}
static_assert(sound(makeFilter()));

// Where the pid goes: the two checks that compare with ownPid.
constexpr std::array<size_t, 2> pidSlots()
{
    const Program program = makeFilter();
    std::array<size_t, 2> slots{};
    size_t found = 0;
    for (size_t i = 0; i < program.size(); ++i)
    {
        if (program.at(i).code == (BPF_JMP | BPF_JEQ | BPF_K) && program.at(i).k == ownPid)
        {
            slots.at(found++) = i;
        }
    }
    return slots;
}
inline constexpr std::array<size_t, 2> pidAt = pidSlots();
static_assert(pidAt[0] != 0 && pidAt[1] != 0);

// Confines the process for the rest of its life. Answers whether the kernel
// took the filter: one built without seccomp filters, or qemu-user, refuses
// it, and the run goes on as it would have, with the same output.
inline bool confine() noexcept
{
    // Writable, as the pid is only known now: in the data segment rather than
    // on the stack, to copy nothing at start.
    constinit static Program filter = makeFilter();
    // Through syscall(), here and below: the C library's prctl wrapper is
    // four times its size in a static file, and each function of its own
    // that a dynamic file calls is one more symbol to bind at start (about
    // 600 instructions on ARM, as much as the rest of this function).
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-vararg): the kernel's interface
    const auto pid = static_cast<uint32_t>(::syscall(SYS_getpid));
    for (const size_t slot : pidAt)
    {
        filter.at(slot).k = pid;
    }
    // No new privileges: what a filter needs without CAP_SYS_ADMIN, and what
    // keeps an exec (were one let through) from gaining any.
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-vararg): the kernel's interface
    if (::syscall(SYS_prctl, PR_SET_NO_NEW_PRIVS, 1UL, 0UL, 0UL, 0UL) != 0)
    {
        return false;
    }
    const sock_fprog program{
        .len = static_cast<unsigned short>(filter.size()),
        .filter = filter.data(),
    };
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-vararg): the kernel's interface
    return ::syscall(SYS_prctl, PR_SET_SECCOMP, static_cast<unsigned long>(SECCOMP_MODE_FILTER),
                     &program, 0UL, 0UL) == 0;
}

} // namespace qorvd::sandbox
