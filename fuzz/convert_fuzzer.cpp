// SPDX-FileCopyrightText: The qorv_raw_data_parser contributors
// SPDX-License-Identifier: Apache-2.0

// The sub-command conversion against the C library's own reading, held to
// 32 bits independently.

#include "utils.hpp"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

namespace
{
std::optional<uint32_t> reference(const std::string& text)
{
    const char* start = text.c_str();
    const char* p = start;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
    {
        ++p;
    }
    const bool negative = *p == '-';
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(start, &end, 10);
    if (end == start || errno == ERANGE)
    {
        return std::nullopt;
    }
    const unsigned long long magnitude = negative ? 0ULL - value : value;
    if (magnitude > UINT32_MAX)
    {
        return std::nullopt;
    }
    return static_cast<uint32_t>(negative ? 0ULL - magnitude : magnitude);
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // An argument ends at its first NUL.
    const std::string text(reinterpret_cast<const char*>(data),
                           strnlen(reinterpret_cast<const char*>(data), size));
    if (qorvd::parseUnsigned32(text) != reference(text))
    {
        std::abort();
    }
    return 0;
}
