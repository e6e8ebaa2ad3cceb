// SPDX-FileCopyrightText: The qorv_raw_data_parser contributors
// SPDX-License-Identifier: Apache-2.0

// Contracts sharper than a run of the tool shows: base64 quirks, the number
// conversion, the recovery record layout.

#include "le_buffer.hpp"
#include "qorv_uefi_raw_data_parser.hpp"
#include "utils.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace qorvd
{
namespace
{
using Bytes = std::vector<uint8_t>;

struct Base64Case
{
    std::string text;
    bool valid;
    Bytes decoded;

    // GoogleTest would print the struct byte by byte, its padding included.
    friend void PrintTo(const Base64Case& c, std::ostream* os)
    {
        *os << testing::PrintToString(c.text);
    }
};

class Base64 : public testing::TestWithParam<Base64Case>
{
};

TEST_P(Base64, ValidatesAndDecodes)
{
    const auto& c = GetParam();
    EXPECT_EQ(isBase64Encoded(c.text), c.valid);
    Bytes out{9, 9, 9, 9, 9}; // replaced, not appended to
    EXPECT_EQ(decodeBase64(c.text, out), c.valid);
    EXPECT_EQ(out, c.decoded);
}

// Lists rather than testing::Values(...), which expands a template over every
// case: a sixth of this file's compile time in an optimized build.
// clang-format off
std::vector<Base64Case> base64Cases()
{
    return {{"", true, {}}, {"QQ==", true, {0x41}}, {"QUI=", true, {0x41, 0x42}},
            {"QUJD", true, {0x41, 0x42, 0x43}}, {"+/+/", true, {0xFB, 0xFF, 0xBF}},
            // decoding stops at the first '=', whatever follows
            {"QQ==QUJD", true, {0x41}}, {"=AAA", true, {}}, {"QUJD=AAA", true, {0x41, 0x42, 0x43}}, {"====", true, {}},
            // one leftover value writes nothing; leftover low bits are dropped
            {"A===", true, {}}, {"AA==", true, {0x00}}, {"QR==", true, {0x41}}, {"QUL=", true, {0x41, 0x42}},
            {"QUJ", false, {}}, {"QU-D", false, {}}, {"QUJDQ", false, {}}, {"QU D", false, {}},
            {std::string("QU\0D", 4), false, {}}, {"QU\xc3\xa9", false, {}}, {"QU_D", false, {}}};
}
// clang-format on

INSTANTIATE_TEST_SUITE_P(Quirks, Base64, testing::ValuesIn(base64Cases()));

struct ConversionCase
{
    std::string text;
    std::optional<uint32_t> value;

    friend void PrintTo(const ConversionCase& c, std::ostream* os)
    {
        *os << testing::PrintToString(c.text);
    }
};

class Conversion : public testing::TestWithParam<ConversionCase>
{
};

TEST_P(Conversion, Reads32BitsWhateverTheHost)
{
    EXPECT_EQ(parseUnsigned32(GetParam().text), GetParam().value) << GetParam().text;
}

// clang-format off
std::vector<ConversionCase> conversionCases()
{
    const std::optional<uint32_t> none;
    return {{"0", 0U}, {"3abc", 3U}, {" 2", 2U}, {"\t\n\v\f\r 2", 2U}, {"+3", 3U}, {"-1", 4294967295U}, {"-0", 0U},
            {"4294967295", 4294967295U}, {"-4294967295", 1U}, {"00004294967295", 4294967295U}, {"12 34", 12U},
            {"0x10", 0U},
            // the characters either side of the digits end the number
            {"3:", 3U}, {"3/", 3U}, {"/3", none}, {":3", none},
            {"4294967296", none}, {"-4294967296", none}, {"18446744073709551616", none},
            {"", none}, {"   ", none}, {"+", none}, {"+-1", none}, {"- 1", none}, {"abc", none}, {"-h", none}};
}
// clang-format on

INSTANTIATE_TEST_SUITE_P(Rules, Conversion, testing::ValuesIn(conversionCases()));

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
    const Bytes bytes{0xFF, 0x01, 0x02, 0x03, 0x04, 0x05};
    LeReader reader{bytes};
    EXPECT_EQ(reader.read<uint8_t>(), 0xFF);
    EXPECT_EQ(reader.read<uint32_t>(), 0x04030201U);
    EXPECT_TRUE(reader.ok());
    EXPECT_EQ(reader.read<uint16_t>(), 0U); // one byte left
    EXPECT_FALSE(reader.ok());
    EXPECT_EQ(reader.read<uint8_t>(), 0U);
}

} // namespace
} // namespace qorvd
