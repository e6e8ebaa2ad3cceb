// SPDX-FileCopyrightText: The qorv_raw_data_parser contributors
// SPDX-License-Identifier: Apache-2.0

// The log prefix as a pure function of time, source location and level, and
// host text as an entry echoes it.

#include "logging.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace qorvd
{
namespace
{
struct PrefixCase
{
    const char* name;
    std::time_t seconds;
    long nanoseconds;
    std::string path;
    uint32_t line;
    LogLevel level;
    std::string prefix;

    // GoogleTest would print the struct byte by byte, its padding included.
    friend void PrintTo(const PrefixCase& c, std::ostream* os) { *os << c.name; }
};

class LogPrefix : public testing::TestWithParam<PrefixCase>
{
};

TEST_P(LogPrefix, FormatsExactly)
{
    const auto& c = GetParam();
    std::timespec now{};
    now.tv_sec = c.seconds;
    now.tv_nsec = c.nanoseconds;
    LogText text;
    appendLogPrefix(text, now, c.path, c.line, c.level);
    EXPECT_EQ(fmt::to_string(text), c.prefix);
}

constexpr std::time_t at140209 = 1764943329; // 2025-12-05 14:02:09 UTC

INSTANTIATE_TEST_SUITE_P(
    Formats, LogPrefix,
    testing::ValuesIn(std::vector<PrefixCase>{
        PrefixCase{"Epoch", 0, 0, "x", 33, LogLevel::Error,
                   "1970-01-01 00:00:000 UTC [\"x\":33] [ERROR] "},
        // microseconds are glued to the seconds, unpadded, truncated from ns
        PrefixCase{"FiveMicroseconds", at140209, 5999, "/src/a.cpp", 7, LogLevel::Info,
                   "2025-12-05 14:02:095 UTC [\"a.cpp\":7] [INFO] "},
        PrefixCase{"MaxMicroseconds", at140209, 999999999, "a.cpp", 1, LogLevel::Info,
                   "2025-12-05 14:02:09999999 UTC [\"a.cpp\":1] [INFO] "},
        PrefixCase{"QuoteAndBackslash", at140209, 0, "dir/a\"b\\c.hpp", 4294967295U,
                   LogLevel::Warning,
                   "2025-12-05 14:02:090 UTC [\"a\\\"b\\\\c.hpp\":4294967295] [WARNING] "},
        PrefixCase{"PathEndsWithSlash", at140209, 0, "dir/", 2, LogLevel::Debug,
                   "2025-12-05 14:02:090 UTC [\"\":2] [DEBUG] "},
        // a 32-bit time_t would wrap here (the BMC is 32-bit ARM)
        PrefixCase{"After2038", 2208988800, 0, "f", 2, LogLevel::Info,
                   "2040-01-01 00:00:000 UTC [\"f\":2] [INFO] "}}),
    [](const auto& info) { return info.param.name; });

TEST(LogLine, WritesOneEntryWithTheCallersLine)
{
    testing::internal::CaptureStderr();
    const uint32_t line = __LINE__ + 1;
    log(LogLevel::Info) << "count :" << 42U << ", size " << uint64_t{18446744073709551615U};
    const std::string err = testing::internal::GetCapturedStderr();
    const std::string tail = "[\"log_test.cpp\":" + std::to_string(line) +
                             "] [INFO] count :42, size 18446744073709551615\n";
    ASSERT_GE(err.size(), tail.size());
    EXPECT_EQ(err.substr(err.size() - tail.size()), tail);
    EXPECT_EQ(err.find('\n'), err.size() - 1);
}

// Reads an echo back into the bytes it stands for.
std::string readBack(std::string_view echo)
{
    std::string bytes;
    for (size_t i = 0; i < echo.size(); ++i)
    {
        if (echo[i] != '\\')
        {
            bytes += echo[i];
        }
        else if (echo.substr(i, 2) == "\\\\")
        {
            bytes += '\\';
            ++i;
        }
        else
        {
            bytes += static_cast<char>(std::stoi(std::string{echo.substr(i + 2, 2)}, nullptr, 16));
            i += 3;
        }
    }
    return bytes;
}

// Every byte value, and the cut: at most 256 bytes echoed, in printable ASCII.
TEST(HostText, EveryByteReadsBackAndTheEchoIsCutAfter256)
{
    std::string all;
    for (int byte = 0; byte < 256; ++byte)
    {
        all += static_cast<char>(byte);
    }
    LogText text;
    appendHostText(text, all.data(), all.size());
    const std::string echo = fmt::to_string(text);
    EXPECT_EQ(readBack(echo), all);
    EXPECT_TRUE(std::ranges::all_of(echo, [](char c) { return c >= ' ' && c <= '~'; })) << echo;

    text.clear();
    const std::string more = all + "X";
    appendHostText(text, more.data(), more.size());
    EXPECT_EQ(fmt::to_string(text), echo + " ... (257 bytes in all)");
}

} // namespace
} // namespace qorvd
