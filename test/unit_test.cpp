// SPDX-FileCopyrightText: The qorv_raw_data_parser contributors
// SPDX-License-Identifier: Apache-2.0

// Contracts sharper than a whole run shows, and paths that no input reaches,
// with the tool's own runtime linked in.

#include "le_buffer.hpp"
#include "logging.hpp"
#include "qorv_uefi_raw_data_parser.hpp"
#include "utils.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <cxxabi.h>
#include <malloc.h>

#include <algorithm>
#include <array>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <numeric>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

// As libstdc++ 13 and later declare it; older ones do not.
// NOLINTBEGIN(cert-dcl58-cpp,bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp,readability-redundant-declaration)
namespace std
{
void __glibcxx_assert_fail(const char* file, int line, const char* function,
                           const char* condition) noexcept;
} // namespace std
// NOLINTEND(cert-dcl58-cpp,bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp,readability-redundant-declaration)

// Under AddressSanitizer, too large a request answers null, as malloc's does.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): the sanitizer's name
extern "C" const char* __asan_default_options()
{
    return "allocator_may_return_null=1";
}

namespace qorvd
{
namespace
{
// Each row a time, a source file and line, a level, and the prefix for them.
TEST(LogPrefix, FormatsExactly)
{
    struct Row
    {
        const char* name;
        std::time_t seconds;
        long nanoseconds;
        const char* path;
        uint32_t line;
        LogLevel level;
        const char* prefix;
    };
    constexpr std::time_t at140209 = 1764943329; // 2025-12-05 14:02:09 UTC
    // clang-format off
    // NOLINTBEGIN(modernize-use-designated-initializers): rows read by position
    constexpr std::array<Row, 6> rows{{
        {"Epoch", 0, 0, "x", 33, LogLevel::Error, R"(1970-01-01 00:00:000 UTC ["x":33] [ERROR] )"},
        // microseconds are glued to the seconds, unpadded, truncated from ns
        {"FiveMicroseconds", at140209, 5999, "/src/a.cpp", 7, LogLevel::Info, R"(2025-12-05 14:02:095 UTC ["a.cpp":7] [INFO] )"},
        {"MaxMicroseconds", at140209, 999999999, "a.cpp", 1, LogLevel::Info, R"(2025-12-05 14:02:09999999 UTC ["a.cpp":1] [INFO] )"},
        {"QuoteAndBackslash", at140209, 0, R"(dir/a"b\c.hpp)", 4294967295U, LogLevel::Warning, R"(2025-12-05 14:02:090 UTC ["a\"b\\c.hpp":4294967295] [WARNING] )"},
        {"PathEndsWithSlash", at140209, 0, "dir/", 2, LogLevel::Debug, R"(2025-12-05 14:02:090 UTC ["":2] [DEBUG] )"},
        // a 32-bit time_t would wrap here (the BMC is 32-bit ARM)
        {"After2038", 2208988800, 0, "f", 2, LogLevel::Info, R"(2040-01-01 00:00:000 UTC ["f":2] [INFO] )"},
    }};
    // NOLINTEND(modernize-use-designated-initializers)
    // clang-format on
    for (const Row& row : rows)
    {
        const std::timespec now{.tv_sec = row.seconds, .tv_nsec = row.nanoseconds};
        LogText text;
        appendLogPrefix(text, now, row.path, row.line, row.level);
        EXPECT_EQ(fmt::to_string(text), row.prefix) << row.name;
    }
}

TEST(LogLine, WritesOneEntryWithTheCallersLine)
{
    testing::internal::CaptureStderr();
    const uint32_t line = __LINE__ + 1;
    log(LogLevel::Info) << "count :" << 42U << ", size " << uint64_t{18446744073709551615U};
    const std::string err = testing::internal::GetCapturedStderr();
    const std::string tail = "[\"unit_test.cpp\":" + std::to_string(line) +
                             "] [INFO] count :42, size 18446744073709551615\n";
    EXPECT_TRUE(err.ends_with(tail)) << err;
    EXPECT_EQ(err.find('\n'), err.size() - 1);
}

// Reads an echo back into the bytes it stands for.
std::string readBack(std::string_view echo)
{
    std::string bytes;
    for (size_t i = 0; i < echo.size(); ++i)
    {
        const bool hex = echo.substr(i, 2) == "\\x";
        bytes += hex ? static_cast<char>(std::stoi(std::string{echo.substr(i + 2, 2)}, nullptr, 16))
                     : echo[i];
        i += hex ? 3 : size_t{echo[i] == '\\'}; // past "\\xNN" or the second of "\\\\"
    }
    return bytes;
}

// Every byte value, and the cut: at most 256 bytes echoed, in printable ASCII.
TEST(HostText, EveryByteReadsBackAndTheEchoIsCutAfter256)
{
    std::string all(256, '\0');
    std::iota(all.begin(), all.end(), '\0');
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

// Each row a text, whether it is base64, and what it decodes to.
TEST(Base64, ValidatesAndDecodes)
{
    struct Row
    {
        std::string text;
        bool valid;
        std::vector<uint8_t> decoded;
    };
    // clang-format off
    const std::vector<Row> rows{
        {"", true, {}}, {"QQ==", true, {0x41}}, {"QUI=", true, {0x41, 0x42}},
        {"QUJD", true, {0x41, 0x42, 0x43}}, {"+/+/", true, {0xFB, 0xFF, 0xBF}},
        // decoding stops at the first '=', whatever follows
        {"QQ==QUJD", true, {0x41}}, {"=AAA", true, {}}, {"QUJD=AAA", true, {0x41, 0x42, 0x43}}, {"====", true, {}},
        // one leftover value writes nothing; leftover low bits are dropped
        {"A===", true, {}}, {"AA==", true, {0x00}}, {"QR==", true, {0x41}}, {"QUL=", true, {0x41, 0x42}},
        {"QUJ", false, {}}, {"QU-D", false, {}}, {"QUJDQ", false, {}}, {"QU D", false, {}},
        {std::string("QU\0D", 4), false, {}}, {"QU\xc3\xa9", false, {}}, {"QU_D", false, {}}};
    // clang-format on
    for (const Row& row : rows)
    {
        SCOPED_TRACE(testing::PrintToString(row.text));
        EXPECT_EQ(isBase64Encoded(row.text), row.valid);
        std::vector<uint8_t> out{9, 9, 9, 9, 9}; // replaced, not appended to
        EXPECT_EQ(decodeBase64(row.text, out), row.valid);
        EXPECT_EQ(out, row.decoded);
    }
}

TEST(MemoryRecoveryEntry, IsPackedLittleEndian)
{
    MemoryRecoveryEntry entry{};
    fillRecoveryEntry(entry, 0x0102030405060708, 0x11223344, 0x55667788, 0x99AABBCC);
    // clang-format off
    const MemoryRecoveryEntry expected{
        0, 0, 0, 0,                                     // zero
        0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01, // timestamp
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,                   // zero
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        1,                                              // recovery kind
        0x44, 0x33, 0x22, 0x11,                         // pprHeaderWord
        0x88, 0x77, 0x66, 0x55,                         // entryWord0
        0xCC, 0xBB, 0xAA, 0x99,                         // entryWord1
    };
    // clang-format on
    EXPECT_EQ(entry, expected);
}

TEST(LeReader, ReadsAtAnyOffsetAndFailsPastTheEnd)
{
    const std::vector<uint8_t> bytes{0xFF, 0x01, 0x02, 0x03, 0x04, 0x05};
    LeReader reader{bytes};
    EXPECT_EQ(reader.read<uint8_t>(), 0xFF);
    EXPECT_EQ(reader.read<uint32_t>(), 0x04030201U);
    EXPECT_TRUE(reader.ok());
    EXPECT_EQ(reader.read<uint16_t>(), 0U); // one byte left
    EXPECT_FALSE(reader.ok());
    EXPECT_EQ(reader.read<uint8_t>(), 0U);
}

TEST(RuntimeFailure, EndsThroughTheTool)
{
    EXPECT_EXIT(std::__glibcxx_assert_fail("vector", 1, "operator[]", "__n < this->size()"),
                testing::KilledBySignal(SIGABRT),
                "^qorv_raw_data_parser: assertion failed: __n < this->size\\(\\)\n");
    EXPECT_EXIT(abi::__cxa_pure_virtual(), testing::KilledBySignal(SIGABRT),
                "^qorv_raw_data_parser: pure virtual function called\n");
}

constexpr std::size_t wide = 64;
constexpr std::align_val_t wideAlignment{wide};
const std::nothrow_t& quiet = std::nothrow;

// One allocation form and a release that may follow it. A form the tool left
// to a library shows as a sanitizer's mismatch, or as a nothrow form that
// ends the run instead of answering null.
struct AllocationCase
{
    const char* name;
    void* (*allocate)(std::size_t size);
    void (*release)(void* block, std::size_t size);
    std::size_t alignment;
    bool throwing; // ends the run when memory runs out, rather than answering null

    friend void PrintTo(const AllocationCase& c, std::ostream* os) { *os << c.name; }
};

using Allocation = testing::TestWithParam<AllocationCase>;

// Bytes the C library's allocator has handed out.
std::size_t inUse()
{
    const auto info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

TEST_P(Allocation, GivesAlignedMemoryThatItsReleaseTakes)
{
    const auto& c = GetParam();
    constexpr std::size_t size = std::size_t{1} << 20;
    const std::size_t before = inUse();
    void* block = c.allocate(size);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % c.alignment, 0U);
    std::memset(block, 0xA5, size);
    const std::size_t held = inUse();
    c.release(block, size);
    // Given back, where the C library's allocator is the one in use.
    if (held >= before + size)
    {
        EXPECT_LE(inUse() + size, held);
    }
}

TEST_P(Allocation, EndsOrAnswersNullWhenMemoryRunsOut)
{
    const auto& c = GetParam();
    const bool underValgrind = std::getenv("QORV_UNDER_VALGRIND") != nullptr;
    // More than an address space holds, but no negative size for valgrind;
    // for an aligned form also a size that rounding up would wrap (valgrind
    // puts its own forms in).
    std::vector<std::size_t> sizes{sizeof(std::size_t) >= 8 ? SIZE_MAX / 4 : SIZE_MAX - wide};
    if (c.alignment > 1 && !underValgrind)
    {
        sizes.push_back(SIZE_MAX - 1);
    }
    for (const std::size_t tooMuch : sizes)
    {
        if (!c.throwing)
        {
            EXPECT_EQ(c.allocate(tooMuch), nullptr) << tooMuch;
        }
        else if (!underValgrind) // it ends such a run itself
        {
            // Not the first line: a sanitizer warns of the size first.
            EXPECT_EXIT(c.allocate(tooMuch), testing::KilledBySignal(SIGABRT),
                        "qorv_raw_data_parser: out of memory\n")
                << tooMuch;
        }
    }
}

// A table laid out by hand: clang-format 14 and 21 break its rows apart differently.
// clang-format off
using Size = std::size_t;
INSTANTIATE_TEST_SUITE_P(
    EveryForm, Allocation,
    testing::Values(
        AllocationCase{"New", [](Size n) { return ::operator new(n); }, [](void* p, Size) { ::operator delete(p); }, 1, true},
        AllocationCase{"NewSizedDelete", [](Size n) { return ::operator new(n); }, [](void* p, Size n) { ::operator delete(p, n); }, 1, true},
        AllocationCase{"Array", [](Size n) { return ::operator new[](n); }, [](void* p, Size) { ::operator delete[](p); }, 1, true},
        AllocationCase{"ArraySizedDelete", [](Size n) { return ::operator new[](n); }, [](void* p, Size n) { ::operator delete[](p, n); }, 1, true},
        AllocationCase{"Aligned", [](Size n) { return ::operator new(n, wideAlignment); }, [](void* p, Size) { ::operator delete(p, wideAlignment); }, wide, true},
        AllocationCase{"AlignedSizedDelete", [](Size n) { return ::operator new(n, wideAlignment); }, [](void* p, Size n) { ::operator delete(p, n, wideAlignment); }, wide, true},
        AllocationCase{"AlignedArray", [](Size n) { return ::operator new[](n, wideAlignment); }, [](void* p, Size) { ::operator delete[](p, wideAlignment); }, wide, true},
        AllocationCase{"AlignedArraySizedDelete", [](Size n) { return ::operator new[](n, wideAlignment); }, [](void* p, Size n) { ::operator delete[](p, n, wideAlignment); }, wide, true},
        AllocationCase{"Nothrow", [](Size n) { return ::operator new(n, quiet); }, [](void* p, Size) { ::operator delete(p, quiet); }, 1, false},
        // as GoogleTest does: nothrow new, then a plain delete
        AllocationCase{"NothrowPlainDelete", [](Size n) { return ::operator new(n, quiet); }, [](void* p, Size) { ::operator delete(p); }, 1, false},
        AllocationCase{"NothrowArray", [](Size n) { return ::operator new[](n, quiet); }, [](void* p, Size) { ::operator delete[](p, quiet); }, 1, false},
        AllocationCase{"NothrowAligned", [](Size n) { return ::operator new(n, wideAlignment, quiet); }, [](void* p, Size) { ::operator delete(p, wideAlignment, quiet); }, wide, false},
        AllocationCase{"NothrowAlignedArray", [](Size n) { return ::operator new[](n, wideAlignment, quiet); }, [](void* p, Size) { ::operator delete[](p, wideAlignment, quiet); }, wide, false}),
    [](const auto& info) { return info.param.name; });
// clang-format on
} // namespace
} // namespace qorvd
