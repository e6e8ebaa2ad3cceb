// SPDX-FileCopyrightText: The qorv_raw_data_parser contributors
// SPDX-License-Identifier: Apache-2.0

// Base64 properties: decoding succeeds exactly for valid text, never yields
// more than three bytes per four characters, and undoes a standard encoder.

#include "utils.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace
{
std::string encode(const uint8_t* data, size_t size)
{
    std::string text;
    for (size_t i = 0; i < size; i += 3)
    {
        const size_t n = size - i < 3 ? size - i : 3;
        uint32_t group = uint32_t{data[i]} << 16;
        group |= n > 1 ? uint32_t{data[i + 1]} << 8 : 0;
        group |= n > 2 ? uint32_t{data[i + 2]} : 0;
        for (size_t k = 0; k < 4; ++k)
        {
            text += k <= n ? qorvd::base64Alphabet[(group >> (18 - 6 * k)) & 0x3F] : '=';
        }
    }
    return text;
}

void check(bool condition)
{
    if (!condition)
    {
        std::abort();
    }
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view text{reinterpret_cast<const char*>(data), size};
    std::vector<uint8_t> decoded{1, 2, 3};
    const bool valid = qorvd::isBase64Encoded(text);
    check(qorvd::decodeBase64(text, decoded) == valid);
    check(valid || decoded.empty());
    check(decoded.size() <= size / 4 * 3);

    // The same bytes as data: encoded by a standard encoder, they come back.
    const std::string encoded = encode(data, size);
    check(qorvd::isBase64Encoded(encoded));
    check(qorvd::decodeBase64(encoded, decoded));
    check(decoded == std::vector<uint8_t>(data, data + size));
    return 0;
}
