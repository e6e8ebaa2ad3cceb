// SPDX-FileCopyrightText: The qorv_raw_data_parser contributors
// SPDX-License-Identifier: Apache-2.0

// Base64 properties: decoding succeeds exactly for valid text, never yields
// more than three bytes per four characters, and undoes a standard encoder.

#include "encode.hpp"
#include "utils.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace
{
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
    const std::string encoded = qorvd::test::toBase64({data, size});
    check(qorvd::isBase64Encoded(encoded));
    check(qorvd::decodeBase64(encoded, decoded));
    check(decoded == std::vector<uint8_t>(data, data + size));
    return 0;
}
