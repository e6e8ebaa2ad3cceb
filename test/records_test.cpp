// SPDX-FileCopyrightText: The qorv_raw_data_parser contributors
// SPDX-License-Identifier: Apache-2.0

// Every record kind end to end, around each of its size boundaries; the
// samples in examples/ hold one accepted and one rejected record of most kinds.

#include "tool_runner.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace qorvd::test
{
namespace
{
using Bytes = std::vector<uint8_t>;

// Appends `value` little-endian in `width` bytes.
Bytes& le(Bytes& bytes, uint64_t value, unsigned width)
{
    for (unsigned i = 0; i < width; ++i)
    {
        bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
    return bytes;
}

Bytes memoryConfig(uint8_t version, uint32_t data, uint8_t cpuCount,
                   const std::vector<uint64_t>& eccModes)
{
    Bytes bytes{version};
    le(bytes, data, 4);
    bytes.push_back(cpuCount);
    for (const auto mode : eccModes)
    {
        le(bytes, mode, 8);
    }
    return bytes;
}

Bytes mirrorInfo(uint32_t count, size_t entries)
{
    Bytes bytes;
    le(bytes, count, 4);
    bytes.resize(bytes.size() + 16 * entries, 0xA5);
    return bytes;
}

Bytes pprInfo(uint32_t count, size_t entries)
{
    Bytes bytes;
    le(bytes, 0xDEADBEEF, 4);
    le(bytes, count, 4);
    for (size_t i = 0; i < entries; ++i)
    {
        le(bytes, i, 4);
        le(bytes, ~i, 4);
    }
    return bytes;
}

Bytes filler(size_t size)
{
    return Bytes(size, 0x11); // NOLINT(modernize-return-braced-init-list): size, not elements
}

Bytes sized(Bytes bytes, size_t size)
{
    bytes.resize(size);
    return bytes;
}

std::string logged(const std::string& level, const std::string& message)
{
    return "qorv_uefi_raw_data_parser.hpp [" + level + "] " + message + "\n";
}

ToolCase record(const char* name, unsigned subcmd, const Bytes& bytes, std::string out,
                std::string log)
{
    return {name, {std::to_string(subcmd), toBase64(bytes)}, std::move(out), std::move(log)};
}

INSTANTIATE_TEST_SUITE_P(
    MemoryConfig, Run,
    testing::Values(
        record("Empty", 0, {}, sizeCheckFailed(0, 0),
               logged("ERROR", "headSize 6, raw data size 0")),
        record("BelowHeader", 0, filler(5), sizeCheckFailed(0, 5),
               logged("ERROR", "headSize 6, raw data size 5")),
        record("AboveCapacity", 0, sized(memoryConfig(1, 1, 8, std::vector<uint64_t>(8, 0)), 71),
               sizeCheckFailed(0, 71), logged("ERROR", "headSize 6, raw data size 71")),
        record("NoCpus", 0, memoryConfig(2, 7, 0, {}),
               "MemoryConfig: formatVersion 2, QORV_UEFI_SYS_CONFIG.Data 7, cpuCount 0, "
               "eccMode \n",
               logged("INFO", "memconf.CpuCount :0")),
        record("CountAboveCapacity", 0, sized(memoryConfig(1, 0, 9, {}), 70),
               sizeCheckFailed(0, 70), logged("ERROR", "memconf.CpuCount 9, raw data size 70")),
        record("TrailingBytes", 0, sized(memoryConfig(1, 0, 0, {}), 13), sizeCheckFailed(0, 13),
               logged("ERROR", "memconf.CpuCount 0, raw data size 13")),
        // Asymmetric bytes catch a reader that ignores byte order.
        record("FullRecord", 0,
               memoryConfig(255, 0x04030201, 8, {UINT64_MAX, 0, 1, 0x0807060504030201, 4, 5, 6, 7}),
               "MemoryConfig: formatVersion 255, QORV_UEFI_SYS_CONFIG.Data 67305985, "
               "cpuCount 8, eccMode 18446744073709551615,0,1,578437695752307201,4,5,6,7\n",
               logged("INFO", "memconf.CpuCount :8"))),
    toolCaseName);

INSTANTIATE_TEST_SUITE_P(
    MirrorInfo, Run,
    testing::Values(record("BelowHeader", 1, filler(3), sizeCheckFailed(1, 3),
                           logged("ERROR", "headSize 4, raw data size 3")),
                    record("NoEntries", 1, mirrorInfo(0, 0), "",
                           logged("INFO", "mirrorInfo.count :0")),
                    record("CountAboveSize", 1, mirrorInfo(2, 1), sizeCheckFailed(1, 20),
                           logged("ERROR", "mirrorInfo.count 2, raw data size 20")),
                    record("TrailingEntry", 1, mirrorInfo(1, 2), sizeCheckFailed(1, 36),
                           logged("ERROR", "mirrorInfo.count 1, raw data size 36")),
                    record("PartialEntry", 1, sized(mirrorInfo(1, 1), 19), sizeCheckFailed(1, 19),
                           logged("ERROR", "mirrorInfo.count 1, raw data size 19")),
                    // 4 + 16 * 2^28 wraps to 4 in 32 bits.
                    record("CountWrapsIn32Bits", 1, mirrorInfo(1U << 28, 0), sizeCheckFailed(1, 4),
                           logged("ERROR", "mirrorInfo.count 268435456, raw data size 4")),
                    record("MaxCount", 1, mirrorInfo(UINT32_MAX, 0), sizeCheckFailed(1, 4),
                           logged("ERROR", "mirrorInfo.count 4294967295, raw data size 4"))),
    toolCaseName);

INSTANTIATE_TEST_SUITE_P(
    PprInfo, Run,
    testing::Values(record("BelowHeader", 2, filler(7), sizeCheckFailed(2, 7),
                           logged("ERROR", "headSize 8, raw data size 7")),
                    record("NoEntries", 2, pprInfo(0, 0), "MemoryRecoveryLog: size 0\n",
                           logged("INFO", "pprInfo.count :0")),
                    record("CountBelowSize", 2, pprInfo(1, 2), sizeCheckFailed(2, 24),
                           logged("ERROR", "pprInfo.count 1, raw data size 24")),
                    record("NotWholeEntries", 2, sized(pprInfo(0, 1), 12), sizeCheckFailed(2, 12),
                           logged("ERROR", "pprInfo.count 0, raw data size 12")),
                    record("MaxCount", 2, pprInfo(UINT32_MAX, 0), sizeCheckFailed(2, 8),
                           logged("ERROR", "pprInfo.count 4294967295, raw data size 8")),
                    // The largest record whose base64 text fits one argument (131064 of
                    // the kernel's 131071 characters).
                    record("LargestArgument", 2, pprInfo(12286, 12286),
                           "MemoryRecoveryLog: size 12286\n",
                           logged("INFO", "pprInfo.count :12286"))),
    toolCaseName);

INSTANTIATE_TEST_SUITE_P(MemoryErrorLog, Run,
                         testing::Values(record("Long", 3, filler(65), sizeCheckFailed(3, 65), ""),
                                         record("Empty", 3, {}, sizeCheckFailed(3, 0), "")),
                         toolCaseName);

// A runtime failure is said on standard error before the process ends: here
// the largest record's recovery log does not fit under a data limit of 704 KiB,
// which lets everything before it through (the run fails earlier below about
// 450 KiB, and succeeds from about 1 MiB).
TEST(RuntimeFailure, OutOfMemoryIsSaid)
{
    if (!toolRunsAlone())
    {
        GTEST_SKIP() << "an emulator, valgrind or sanitizer would hit the limit first";
    }
    const ToolRun run =
        runTool({"2", toBase64(pprInfo(12286, 12286))}, {"prlimit", "--data=720896"});
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(normalizeLog(run),
              logged("INFO", "pprInfo.count :12286") + "?qorv_raw_data_parser: out of memory\n");
    EXPECT_EQ(run.signal, SIGABRT);
}

} // namespace
} // namespace qorvd::test
