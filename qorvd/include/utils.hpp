// SPDX-FileCopyrightText: The qorv_raw_data_parser contributors
// SPDX-License-Identifier: Apache-2.0

#pragma once

// Base64 check and decoding of the raw-data text, and the sub-command number
// conversion.

#include "logging.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace qorvd
{

inline constexpr std::string_view base64Alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
// What the table holds for '=' and for a byte outside the alphabet: bit 7
// set in either, bit 6 in the second alone.
inline constexpr uint8_t base64Pad = 0x80;
inline constexpr uint8_t base64Outside = 0x40;
inline constexpr uint8_t base64Invalid = base64Pad | base64Outside;

// 6-bit value per byte; base64Pad for '=', base64Invalid for NUL and
// everything else. One table serves the check and the decoding.
inline constexpr std::array<uint8_t, 256> base64DecodeTable = []
{
    std::array<uint8_t, 256> table{};
    table.fill(base64Invalid);
    for (size_t i = 0; i < base64Alphabet.size(); ++i)
    {
        table[static_cast<uint8_t>(base64Alphabet[i])] = static_cast<uint8_t>(i);
    }
    table['='] = base64Pad;
    return table;
}();

// The firmware may pad anywhere: '=' is accepted at every position.
inline bool isBase64Encoded(std::string_view text) noexcept
{
    if (text.size() % 4 != 0)
    {
        return false;
    }
    // No branch per character: a 128 KiB argument is checked on every run.
    uint8_t rejected = 0;
#pragma GCC unroll 8
    for (const char c : text)
    {
        rejected |= base64DecodeTable[static_cast<uint8_t>(c)];
    }
    return (rejected & base64Outside) == 0;
}

// Decodes up to the first '='; what follows it is ignored, as are the unused
// low bits of a trailing partial group. Invalid text (see isBase64Encoded) is
// logged and leaves decodedData empty.
inline bool decodeBase64(std::string_view text, std::vector<uint8_t>& decodedData)
{
    // One pass both checks and decodes: the fast loop takes whole groups of
    // alphabet characters, the rest of the text is checked after it.
    decodedData.resize(text.size() / 4 * 3);
    uint8_t* out = decodedData.data();
    const auto sextet = [&text](size_t pos)
    { return uint32_t{base64DecodeTable[static_cast<uint8_t>(text[pos])]}; };
    size_t pos = 0;
    if (text.size() % 4 == 0)
    {
        for (; pos < text.size(); pos += 4)
        {
            const uint32_t s0 = sextet(pos);
            const uint32_t s1 = sextet(pos + 1);
            const uint32_t s2 = sextet(pos + 2);
            const uint32_t s3 = sextet(pos + 3);
            if (((s0 | s1 | s2 | s3) & base64Pad) != 0) // '=' or worse
            {
                break;
            }
            const uint32_t group = (s0 << 18) | (s1 << 12) | (s2 << 6) | s3;
            out[0] = static_cast<uint8_t>(group >> 16);
            out[1] = static_cast<uint8_t>(group >> 8);
            out[2] = static_cast<uint8_t>(group);
            out += 3;
        }
    }
    if (!isBase64Encoded(text.substr(pos)))
    {
        log(LogLevel::Error) << "Failed to decode base64 string: " << HostText{text} << "\n";
        decodedData.clear();
        return false;
    }
    // The group holding the first '=': its k data characters give k - 1 bytes.
    uint32_t group = 0;
    size_t values = 0;
    for (; values < 3 && pos + values < text.size() && sextet(pos + values) < base64Pad; ++values)
    {
        group |= sextet(pos + values) << (18 - 6 * values);
    }
    for (size_t i = 0; i + 1 < values; ++i)
    {
        *out++ = static_cast<uint8_t>(group >> (16 - 8 * i));
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
        magnitude = (magnitude * 10) + static_cast<uint64_t>(text[pos] - '0');
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

} // namespace qorvd
