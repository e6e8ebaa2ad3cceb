// SPDX-FileCopyrightText: The qorv_raw_data_parser contributors
// SPDX-License-Identifier: Apache-2.0

#pragma once

// The tool's two output streams and its way out when it cannot go on. Both
// streams are written with write(2) straight from buffers of the tool's own:
// a write that fails is seen at once, with its cause, and no stdio buffer
// holds output back to be lost at exit. fmt is included from here, after its
// assertion macro is set, so that an internal assertion of fmt ends through
// abortWith rather than through std::terminate, whose handler would bring the
// C++ runtime's name demangler and unwinder into the executable.

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string_view>

#ifdef FMT_VERSION
#error "include output.hpp before fmt: fmt's assertions must end through qorvd::abortWith"
#endif

namespace qorvd
{

// Writes all of `text` to `fd`. Answers 0, or the errno of the write that
// failed. The tool installs no signal handler, so no write is interrupted
// (EINTR). Plain pointer steps rather than string_view's checked ones: a
// failed check ends through abortWith, which writes through here.
inline int writeAll(int fd, std::string_view text) noexcept
{
    const char* next = text.data();
    size_t left = text.size();
    while (left != 0)
    {
        const ssize_t written = ::write(fd, next, left);
        if (written <= 0)
        {
            return written < 0 ? errno : EIO;
        }
        next += written;
        left -= static_cast<size_t>(written);
    }
    return 0;
}

// The errno of the first write to standard output that failed; 0 while every
// one went through. main turns it into the exit status.
inline int stdoutError = 0;

// After a failure nothing more is written: what the reader did get is a whole
// beginning of the output, never one with a line missing from its middle.
inline void writeStdout(std::string_view text) noexcept
{
    if (stdoutError == 0)
    {
        stdoutError = writeAll(STDOUT_FILENO, text);
    }
}

// How the tool ends when the runtime fails (out of memory, an internal
// assertion): one line on standard error, then abort, as an uncaught
// exception would end it. Nothing here allocates. Coverage cannot count it:
// its one path that a run takes (out of memory, tested end to end) ends in
// abort, before gcov writes what it counted.
// GCOVR_EXCL_START
[[noreturn]] inline void abortWith(std::string_view what, std::string_view detail = {}) noexcept
{
    static_cast<void>(writeAll(STDERR_FILENO, "qorv_raw_data_parser: "));
    static_cast<void>(writeAll(STDERR_FILENO, what));
    if (!detail.empty())
    {
        static_cast<void>(writeAll(STDERR_FILENO, ": "));
        static_cast<void>(writeAll(STDERR_FILENO, detail));
    }
    static_cast<void>(writeAll(STDERR_FILENO, "\n"));
    std::abort();
}
// GCOVR_EXCL_STOP

} // namespace qorvd

// fmt checks these only in builds without NDEBUG; the release files have none.
#ifndef NDEBUG
// NOLINTNEXTLINE(cppcoreguidelines-macro-usage): fmt takes its assertion from this macro
#define FMT_ASSERT(condition, message)                                                             \
    ((condition) ? static_cast<void>(0) : ::qorvd::abortWith("formatting failed", (message)))
#endif
// A format error, in every build. Without exceptions fmt would construct the
// error (a std::runtime_error) only to read its text, which links the C++
// runtime's exception support in; the error is not constructed here. With
// formats checked at compile time no run reaches it.
// NOLINTNEXTLINE(cppcoreguidelines-macro-usage): fmt takes its error path from this macro
#define FMT_THROW(error) ::qorvd::abortWith("formatting failed")

#include <fmt/compile.h>
#include <fmt/format.h>

#include <iterator>

namespace qorvd
{

// Text formatted with "{}" placeholders into a buffer on the stack. Not a
// std::string (fmt::format): where libstdc++ declares its string members as
// instantiated in the library (GCC 16 without assertions), they come from
// objects compiled with exceptions, and the exception runtime with them.
template <typename Format, typename... Args>
fmt::memory_buffer formatted(const Format& format, const Args&... args)
{
    fmt::memory_buffer text;
    fmt::format_to(std::back_inserter(text), format, args...);
    return text;
}

// Formats and writes to standard output.
template <typename Format, typename... Args>
void printStdout(const Format& format, const Args&... args)
{
    const fmt::memory_buffer text = formatted(format, args...);
    writeStdout({text.data(), text.size()});
}

} // namespace qorvd
