// SPDX-FileCopyrightText: The qorv_raw_data_parser contributors
// SPDX-License-Identifier: Apache-2.0

#pragma once

// What the test programs share: how the harnesses start a program, read how it
// ended and refuse it calls; a pattern matcher and a base64 encoder.

#include <linux/bpf_common.h>
#include <linux/filter.h>
#include <linux/prctl.h>
#include <linux/seccomp.h>
#include <regex.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
// GNU's and POSIX's declarations are in the C headers alone.
#include <stdlib.h> // NOLINT(modernize-deprecated-headers): putenv
#include <string.h> // NOLINT(modernize-deprecated-headers): sigabbrev_np

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qorvd::test
{
using Args = std::vector<std::string>;

// A memory configuration record with two CPUs, as sub-command 0 takes it.
inline constexpr std::string_view memconf = "AQMCAQACAQAAAAAAAAACAAAAAAAAAA==";

// Starts `args` (found on the PATH) with standard output and error to `out`
// and `err`, and `env` (NAME=VALUE) added; ended after a minute, should it
// hang.
inline pid_t start(const Args& args, int out, int err, const Args& env = {})
{
    const pid_t pid = fork();
    if (pid == 0)
    {
        alarm(60);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        // NOLINTBEGIN(cppcoreguidelines-pro-type-const-cast): POSIX's interfaces, before exec
        for (const auto& setting : env)
        {
            putenv(const_cast<char*>(setting.c_str()));
        }
        std::vector<char*> argv;
        for (const auto& arg : args)
        {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        // NOLINTEND(cppcoreguidelines-pro-type-const-cast)
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

// How a child ended: "exit N" or "killed by SIG". clang-tidy has the W
// macros from <stdlib.h>.
// NOLINTBEGIN(misc-include-cleaner)
inline std::string ending(pid_t pid)
{
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) < 0)
    {
        return "not started";
    }
    return WIFSIGNALED(status) ? std::string{"killed by "} + sigabbrev_np(WTERMSIG(status))
                               : "exit " + std::to_string(WEXITSTATUS(status));
}
// NOLINTEND(misc-include-cleaner)

// What `fd` holds, from its start where it has one.
inline std::string readAll(int fd)
{
    std::string text;
    std::array<char, 4096> buf{};
    lseek(fd, 0, SEEK_SET);
    for (ssize_t n = 0; (n = read(fd, buf.data(), buf.size())) > 0;)
    {
        text.append(buf.data(), static_cast<size_t>(n));
    }
    return text;
}

// NOLINTBEGIN(cppcoreguidelines-pro-type-vararg): the kernel's interface
inline bool kernelHasSeccomp()
{
    return prctl(PR_GET_SECCOMP, 0, 0, 0, 0) >= 0;
}

// Makes each of `calls` fail with `error` here and in every process started
// after: filters stack, and the strictest answer wins. Answers whether the
// kernel took the filter.
inline bool refuse(std::initializer_list<long> calls, uint32_t error)
{
    std::vector<sock_filter> code{BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr))};
    for (const long call : calls)
    {
        code.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<uint32_t>(call), 0, 1));
        code.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | error));
    }
    code.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    const sock_fprog program{.len = static_cast<unsigned short>(code.size()),
                             .filter = code.data()};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}
// NOLINTEND(cppcoreguidelines-pro-type-vararg)

// The first match of `pattern` (POSIX extended) in `text`: the match, its groups
// and what follows; none without one. <regex> took a third of a harness's build.
inline std::vector<std::string> match(const char* pattern, const std::string& text)
{
    regex_t compiled{};
    std::array<regmatch_t, 5> at{};
    std::vector<std::string> parts;
    if (regcomp(&compiled, pattern, REG_EXTENDED) != 0)
    {
        return parts; // nothing to free: only a compiled pattern may be
    }
    if (regexec(&compiled, text.c_str(), at.size(), at.data(), 0) == 0)
    {
        for (size_t i = 0; i <= compiled.re_nsub; ++i)
        {
            const auto [from, to] = at.at(i);
            parts.push_back(from < 0 ? "" : std::string(text.begin() + from, text.begin() + to));
        }
        parts.emplace_back(text.begin() + at[0].rm_eo, text.end());
    }
    regfree(&compiled);
    return parts;
}

// A standard encoder, written apart from the tool's decoder: the tests and the
// fuzzers make their texts with it.
inline std::string toBase64(std::span<const uint8_t> bytes)
{
    constexpr std::string_view alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    for (size_t i = 0; i < bytes.size(); i += 3)
    {
        const size_t n = bytes.size() - i < 3 ? bytes.size() - i : 3;
        uint32_t group = uint32_t{bytes[i]} << 16;
        group |= n > 1 ? uint32_t{bytes[i + 1]} << 8 : 0;
        group |= n > 2 ? uint32_t{bytes[i + 2]} : 0;
        for (size_t k = 0; k < 4; ++k)
        {
            text += k <= n ? alphabet[(group >> (18 - (6 * k))) & 0x3F] : '=';
        }
    }
    return text;
}

} // namespace qorvd::test
