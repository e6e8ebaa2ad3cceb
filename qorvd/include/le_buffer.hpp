// SPDX-FileCopyrightText: The qorv_raw_data_parser contributors
// SPDX-License-Identifier: Apache-2.0

#pragma once

// Little-endian field access at any byte offset. Records are packed and come
// from another machine: fields are copied out byte-wise (memcpy, no casts of
// the buffer to structs, no alignment assumed) and put into host order, so
// every host reads the same values.

#include <array>
#include <bit>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace qorvd
{

// Converts between host order and little-endian (the same swap both ways).
template <std::unsigned_integral T>
constexpr T littleEndian(T value) noexcept
{
    if constexpr (std::endian::native == std::endian::little)
    {
        return value;
    }
    else
    {
        T swapped = 0;
        for (size_t i = 0; i < sizeof(T); ++i)
        {
            swapped = static_cast<T>((swapped << 8) | ((value >> (8 * i)) & 0xFF));
        }
        return swapped;
    }
}

class LeReader
{
public:
    explicit LeReader(std::span<const uint8_t> bytes) noexcept : bytes(bytes) {}

    // Reading past the end yields 0 and marks the reader failed.
    template <std::unsigned_integral T>
    T read() noexcept
    {
        if (bytes.size() - pos < sizeof(T))
        {
            failed = true;
            pos = bytes.size();
            return 0;
        }
        T value = 0;
        std::memcpy(&value, bytes.data() + pos, sizeof(T));
        pos += sizeof(T);
        return littleEndian(value);
    }

    [[nodiscard]] bool ok() const noexcept { return !failed; }

private:
    std::span<const uint8_t> bytes;
    size_t pos = 0;
    bool failed = false;
};

// Stores `value` little-endian at a fixed offset of a fixed-size record; the
// layout is checked at compile time.
template <size_t offset, std::unsigned_integral T, size_t size>
constexpr void putLe(std::array<uint8_t, size>& record, T value) noexcept
{
    static_assert(offset + sizeof(T) <= size, "field lies outside the record");
    const T wire = littleEndian(value);
    std::memcpy(record.data() + offset, &wire, sizeof(T));
}

} // namespace qorvd
