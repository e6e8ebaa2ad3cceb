#pragma once

// Little-endian field access at any byte offset. Records are packed and come
// from another machine, so fields are assembled byte by byte: no casts of the
// buffer to structs, no unaligned loads, the same result on any host.

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <span>

namespace qorvd
{

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
        for (size_t i = 0; i < sizeof(T); ++i)
        {
            value |= static_cast<T>(static_cast<T>(bytes[pos + i]) << (8 * i));
        }
        pos += sizeof(T);
        return value;
    }

    bool ok() const noexcept { return !failed; }

private:
    std::span<const uint8_t> bytes;
    size_t pos = 0;
    bool failed = false;
};

class LeWriter
{
public:
    explicit LeWriter(std::span<uint8_t> bytes) noexcept : bytes(bytes) {}

    // Writing past the end writes nothing and marks the writer failed.
    template <std::unsigned_integral T>
    void write(T value) noexcept
    {
        if (bytes.size() - pos < sizeof(T))
        {
            failed = true;
            pos = bytes.size();
            return;
        }
        for (size_t i = 0; i < sizeof(T); ++i)
        {
            bytes[pos + i] = static_cast<uint8_t>(value >> (8 * i));
        }
        pos += sizeof(T);
    }

    void skip(size_t count) noexcept
    {
        if (bytes.size() - pos < count)
        {
            failed = true;
            pos = bytes.size();
            return;
        }
        pos += count;
    }

    bool ok() const noexcept { return !failed; }

private:
    std::span<uint8_t> bytes;
    size_t pos = 0;
    bool failed = false;
};

} // namespace qorvd
