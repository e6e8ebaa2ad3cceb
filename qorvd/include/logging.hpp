// SPDX-FileCopyrightText: The qorv_raw_data_parser contributors
// SPDX-License-Identifier: Apache-2.0

#pragma once

// Log line writer: one timestamped entry per logging statement, written to
// standard error when the entry goes out of scope.

#include "output.hpp"

#include <algorithm>
#include <array>
#include <concepts>
#include <cstdint>
#include <ctime>
#include <iterator>
#include <string_view>
#include <type_traits>

namespace qorvd
{

enum class LogLevel : uint8_t
{
    Debug,
    Info,
    Warning,
    Error,
    Critical,
    Disabled,
};

// At namespace scope, the table is read-only after relocation; a local one
// is placed among the writable data.
inline constexpr std::array<std::string_view, 6> logLevelTags{
    "[DEBUG]", "[INFO]", "[WARNING]", "[ERROR]", "[CRITICAL]", "[DISABLED]",
};

constexpr std::string_view logLevelTag(LogLevel level) noexcept
{
    const auto index = static_cast<size_t>(level);
    return index < logLevelTags.size() ? logLevelTags[index] : std::string_view{};
}

// The call site of a logging statement: its file and line, as the compiler's
// builtins give them when used as default arguments. Not std::source_location:
// g++ 12 keeps each of its call sites as a 16-byte object among the writable
// data, with the full name of the calling function, which the log never
// prints; and clang before 15 cannot build libstdc++'s.
struct SourceLocation
{
    static constexpr SourceLocation current(const char* file = __builtin_FILE(),
                                            uint32_t line = __builtin_LINE()) noexcept
    {
        SourceLocation loc;
        loc.fileName = file;
        loc.lineNumber = line;
        return loc;
    }
    [[nodiscard]] constexpr const char* file_name() const noexcept { return fileName; }
    [[nodiscard]] constexpr uint32_t line() const noexcept { return lineNumber; }

private:
    const char* fileName = "";
    uint32_t lineNumber = 0;
};

// An entry is built in one buffer on the stack; only a message longer than it
// takes memory from the heap.
using LogText = fmt::memory_buffer;

// Out of line, as are an entry's start and end below: one copy serves every
// logging statement, where inlined (GCC 16 at -O2) each would carry its own.
[[gnu::noinline]] inline void appendChars(LogText& text, const char* chars, size_t size)
{
    text.append(chars, chars + size);
}

// A view's two words in two registers: as one aggregate, GCC builds it on
// the stack at each call.
inline void appendText(LogText& text, std::string_view piece)
{
    appendChars(text, piece.data(), piece.size());
}

// Plain decimal through fmt's 64-bit writer, the one the summaries use: the
// executable carries one integer formatter and one digit table.
template <std::integral T>
void appendDecimal(LogText& text, T value)
{
    using Wide = std::conditional_t<std::is_signed_v<T>, int64_t, uint64_t>;
    fmt::format_to(std::back_inserter(text), FMT_COMPILE("{}"), Wide{value});
}

// "2026-12-05 14:02:095 UTC" for 14:02:09 and 5 us: the log readers expect the
// microseconds glued to the seconds, unpadded.
inline void appendLogTimestamp(LogText& text, const std::timespec& now)
{
    std::array<char, 32> buf{};
    std::tm broken{};
    const std::time_t seconds = now.tv_sec;
    size_t used = 0;
    if (gmtime_r(&seconds, &broken) != nullptr)
    {
        used = std::strftime(buf.data(), buf.size(), "%F %T", &broken);
    }
    // Microseconds and " UTC": never longer than 10 for a real clock; the bound
    // keeps a bad one in the buffer.
    LogText tail;
    appendDecimal(tail, now.tv_nsec / 1000);
    appendText(tail, " UTC");
    const size_t tailLength = std::min({tail.size(), size_t{13}, buf.size() - 1 - used});
    std::copy_n(tail.data(), tailLength, buf.data() + used);
    appendText(text, buf.data());
}

// Prefix of every entry: timestamp, quoted file name and line, level tag.
inline void appendLogPrefix(LogText& text, const std::timespec& now, std::string_view path,
                            uint32_t line, LogLevel level)
{
    const auto slash = path.rfind('/');
    const auto fileName = slash == std::string_view::npos ? path : path.substr(slash + 1);

    appendLogTimestamp(text, now);
    appendText(text, " [\"");
    for (const char c : fileName)
    {
        if (c == '"' || c == '\\')
        {
            text.push_back('\\');
        }
        text.push_back(c);
    }
    appendText(text, "\":");
    appendDecimal(text, line);
    appendText(text, "] ");
    appendText(text, logLevelTag(level));
    text.push_back(' ');
}

// Text that came from the host (an argument), echoed in an entry: streamed as
// appendHostText writes it.
struct HostText
{
    std::string_view text;
};

// How many bytes of host text an entry echoes.
inline constexpr size_t hostTextShown = 256;

// Printable ASCII as itself but the backslash, which is doubled; every other
// byte as \xhh; the first hostTextShown bytes only, then " ... (N bytes in
// all)". The journal takes each line for an entry of its own, a reader's
// terminal obeys escape sequences, a byte outside UTF-8 makes the journal
// store the entry as binary, and flash is small: host text must do none of
// it. Each piece is a view of the host text or of a constant: no buffer of
// its own, the least code where a few bytes more cost the static ARMv5TE
// file a page.
[[gnu::noinline]] inline void appendHostText(LogText& text, const char* hostText, size_t size)
{
    // "\xh" for each hex digit h; a byte's low digit is the last of its own.
    constexpr std::string_view escapes = R"(\x0\x1\x2\x3\x4\x5\x6\x7\x8\x9\xa\xb\xc\xd\xe\xf)";
    const char* const end = hostText + std::min(size, hostTextShown);
    for (const char* c = hostText; c != end; ++c)
    {
        const auto byte = static_cast<uint8_t>(*c);
        std::string_view piece{c, 1};
        if (byte == '\\')
        {
            piece = {"\\\\", 2};
        }
        else if (byte < ' ' || byte > '~')
        {
            appendText(text, {escapes.data() + (size_t{3} * (byte >> 4U)), 3});
            piece = {escapes.data() + (size_t{3} * (byte & 0xFU)) + 2, 1};
        }
        appendText(text, piece);
    }
    if (size > hostTextShown)
    {
        appendText(text, {" ... (", 6});
        appendDecimal(text, size);
        appendText(text, {" bytes in all)", 14});
    }
}

// 8-bit values must be formatted by the caller: they would read as characters.
template <typename T>
concept LoggedInteger = std::integral<T> && sizeof(T) >= 4;

class LogLine
{
public:
    [[gnu::noinline]] LogLine(std::string_view path, uint32_t line, LogLevel level)
    {
        appendLogPrefix(text, clockNow(), path, line, level);
    }

    LogLine(const LogLine&) = delete;
    LogLine& operator=(const LogLine&) = delete;
    LogLine(LogLine&&) = delete;
    LogLine& operator=(LogLine&&) = delete;

    [[gnu::noinline]] ~LogLine()
    {
        text.push_back('\n');
        // One write for the entry and its newline, so that it reaches standard
        // error whole. A failure is ignored: the log is the diagnostics, and
        // the summary on standard output goes on as it would.
        static_cast<void>(writeAll(STDERR_FILENO, {text.data(), text.size()}));
    }

    LogLine& operator<<(std::string_view message)
    {
        appendText(text, message);
        return *this;
    }

    // A message formatted first (qorvd::formatted).
    LogLine& operator<<(const fmt::memory_buffer& message)
    {
        return *this << std::string_view{message.data(), message.size()};
    }

    LogLine& operator<<(HostText host)
    {
        appendHostText(text, host.text.data(), host.text.size());
        return *this;
    }

    template <LoggedInteger T>
    LogLine& operator<<(T value)
    {
        appendDecimal(text, value);
        return *this;
    }

private:
    static std::timespec clockNow() noexcept
    {
        std::timespec now{};
        static_cast<void>(std::timespec_get(&now, TIME_UTC));
        return now;
    }

    LogText text;
};

// Call-site wrapper: `log(LogLevel::Error) << "message";` records the
// statement's own file and line.
[[nodiscard]] inline LogLine log(LogLevel level, SourceLocation where = SourceLocation::current())
{
    return LogLine{where.file_name(), where.line(), level};
}

} // namespace qorvd
