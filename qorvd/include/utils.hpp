#pragma once

// Base64 check and decoding of the raw-data text, the sub-command number
// conversion, and plain output to standard output.

#include "logging.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string_view>
#include <vector>

namespace qorvd
{

inline constexpr std::string_view base64Alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
inline constexpr uint8_t base64Invalid = 0xFF;

// 6-bit value per byte; base64Invalid for '=', NUL and everything else outside
// the alphabet.
inline constexpr std::array<uint8_t, 256> base64DecodeTable = []
{
    std::array<uint8_t, 256> table{};
    table.fill(base64Invalid);
    for (size_t i = 0; i < base64Alphabet.size(); ++i)
    {
        table[static_cast<uint8_t>(base64Alphabet[i])] = static_cast<uint8_t>(i);
    }
    return table;
}();

// The firmware may pad anywhere: '=' is accepted at every position.
inline bool isBase64Encoded(std::string_view text) noexcept
{
    if (text.size() % 4 != 0)
    {
        return false;
    }
    return std::all_of(text.begin(), text.end(),
                       [](char c) {
                           return c == '=' ||
                                  base64DecodeTable[static_cast<uint8_t>(c)] != base64Invalid;
                       });
}

// Decodes up to the first '='; what follows it is ignored, as are the unused
// low bits of a trailing partial group.
inline bool decodeBase64(std::string_view text, std::vector<uint8_t>& decodedData)
{
    if (!isBase64Encoded(text))
    {
        log(LogLevel::Error) << "Failed to decode base64 string: " << text << "\n";
        decodedData.clear();
        return false;
    }

    decodedData.resize(text.size() / 4 * 3);
    uint8_t* out = decodedData.data();
    uint32_t group = 0;
    unsigned values = 0;
    for (const char c : text)
    {
        const uint8_t sextet = base64DecodeTable[static_cast<uint8_t>(c)];
        if (sextet == base64Invalid)
        {
            break;
        }
        group = (group << 6) | sextet;
        if (++values == 4)
        {
            *out++ = static_cast<uint8_t>(group >> 16);
            *out++ = static_cast<uint8_t>(group >> 8);
            *out++ = static_cast<uint8_t>(group);
            group = 0;
            values = 0;
        }
    }
    if (values > 1)
    {
        group <<= 6 * (4 - values);
        *out++ = static_cast<uint8_t>(group >> 16);
        if (values == 3)
        {
            *out++ = static_cast<uint8_t>(group >> 8);
        }
    }
    decodedData.resize(static_cast<size_t>(out - decodedData.data()));
    return true;
}

// Base-10 reading with the C library's string-to-unsigned rules (leading white
// space, one sign, digits up to the first non-digit, '-' negates modulo 2^32),
// held to 32 bits whatever the host's word size. No digit, or a magnitude
// above 4294967295, is a failure.
inline std::optional<uint32_t> parseUnsigned32(std::string_view text) noexcept
{
    constexpr std::string_view whiteSpace = " \t\n\v\f\r";
    size_t pos = std::min(text.find_first_not_of(whiteSpace), text.size());
    bool negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-'))
    {
        negative = text[pos] == '-';
        ++pos;
    }
    uint64_t magnitude = 0;
    const size_t firstDigit = pos;
    for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos)
    {
        magnitude = magnitude * 10 + static_cast<uint64_t>(text[pos] - '0');
        if (magnitude > UINT32_MAX)
        {
            return std::nullopt;
        }
    }
    if (pos == firstDigit)
    {
        return std::nullopt;
    }
    const auto value = static_cast<uint32_t>(magnitude);
    return negative ? static_cast<uint32_t>(0U - value) : value;
}

inline void writeStdout(std::string_view text) noexcept
{
    static_cast<void>(std::fwrite(text.data(), 1, text.size(), stdout));
}

} // namespace qorvd
