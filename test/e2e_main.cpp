// SPDX-FileCopyrightText: The qorv_raw_data_parser contributors
// SPDX-License-Identifier: Apache-2.0

// End-to-end tests: the arguments left after GoogleTest's own are the command
// that starts the tool (an emulator first, for a cross build). QORV_TOOL, when
// set, names a file to run in place of the built tool: a release file.
// QORV_NO_ENTROPY, when set, runs the tests (every one with "1", the rows
// that ask for it with "rows") as on a BMC that is still booting: the kernel
// has no entropy yet, and getrandom fails with EAGAIN.

#include "tool_runner.hpp"

#include <gtest/gtest.h>

#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

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
        std::fputs("skipped: QORV_NO_ENTROPY, and the kernel takes no filter here\n", stderr);
        return 77;
    }
    qorvd::test::setToolCommand(std::move(command));
    return RUN_ALL_TESTS();
}
