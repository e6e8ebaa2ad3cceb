// SPDX-FileCopyrightText: The qorv_raw_data_parser contributors
// SPDX-License-Identifier: Apache-2.0

#pragma once

// A standard base64 encoder, written apart from the tool's decoder: the tests
// and the fuzzers make their texts with it.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace qorvd::test
{

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
