#pragma once

// Log line writer: one timestamped entry per logging statement, written to
// standard error when the entry goes out of scope.

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <concepts>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string_view>
#include <version>

#ifdef __cpp_lib_source_location
#include <source_location>
#endif

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

constexpr std::string_view logLevelTag(LogLevel level) noexcept
{
    constexpr std::array<std::string_view, 6> tags{
        "[DEBUG]", "[INFO]", "[WARNING]", "[ERROR]", "[CRITICAL]", "[DISABLED]",
    };
    const auto index = static_cast<size_t>(level);
    return index < tags.size() ? tags[index] : std::string_view{};
}

#ifdef __cpp_lib_source_location
using SourceLocation = std::source_location;
#else
// clang before 15 cannot build libstdc++'s std::source_location; its builtins
// give the same call-site capture when used as default arguments.
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
#endif

// An entry is built in one buffer on the stack; only a message longer than it
// takes memory from the heap.
using LogText = fmt::memory_buffer;

inline void appendText(LogText& text, std::string_view piece)
{
    text.append(piece.data(), piece.data() + piece.size());
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
    constexpr std::string_view utc = " UTC";
    std::array<char, 24 + utc.size()> tail{};
    const auto [digitsEnd, ec] =
        std::to_chars(tail.data(), tail.data() + tail.size() - utc.size(), now.tv_nsec / 1000);
    const char* tailEnd = std::copy(utc.begin(), utc.end(), digitsEnd);
    const size_t tailLength =
        std::min({static_cast<size_t>(tailEnd - tail.data()), size_t{13}, buf.size() - 1 - used});
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
    std::array<char, 16> digits{};
    const auto [end, ec] = std::to_chars(digits.data(), digits.data() + digits.size(), line);
    text.append(digits.data(), end);
    appendText(text, "] ");
    appendText(text, logLevelTag(level));
    text.push_back(' ');
}

class LogLine
{
public:
    LogLine(std::string_view path, uint32_t line, LogLevel level)
    {
        appendLogPrefix(text, clockNow(), path, line, level);
    }

    LogLine(const LogLine&) = delete;
    LogLine& operator=(const LogLine&) = delete;
    LogLine(LogLine&&) = delete;
    LogLine& operator=(LogLine&&) = delete;

    ~LogLine()
    {
        text.push_back('\n');
        // Nothing sensible to do if standard error is gone.
        static_cast<void>(std::fwrite(text.data(), 1, text.size(), stderr));
        static_cast<void>(std::fflush(stderr));
    }

    LogLine& operator<<(std::string_view message)
    {
        appendText(text, message);
        return *this;
    }

    // 8-bit values must be formatted by the caller: they would read as characters.
    template <std::integral T>
    requires(sizeof(T) >= 4) LogLine& operator<<(T value)
    {
        std::array<char, 24> digits{};
        const auto [end, ec] = std::to_chars(digits.data(), digits.data() + digits.size(), value);
        text.append(digits.data(), end);
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
    return LogLine{where.file_name(), static_cast<uint32_t>(where.line()), level};
}

} // namespace qorvd
