// SPDX-FileCopyrightText: The qorv_raw_data_parser contributors
// SPDX-License-Identifier: Apache-2.0

#pragma once

// The raw-data handler and the decoders of the four UEFI memory record kinds.

#include "le_buffer.hpp"
#include "logging.hpp"
#include "output.hpp"
#include "utils.hpp"

#include <fmt/compile.h>
#include <fmt/format.h>

#include <array>
#include <cstdint>
#include <ctime>
#include <iterator>
#include <span>
#include <string_view>
#include <vector>

namespace qorvd
{

enum class SubCommand : uint8_t
{
    MemoryConfig = 0,
    MirrorInfo = 1,
    PprInfo = 2,
    MemoryErrorLog = 3,
};

enum class RawDataResult : uint8_t
{
    Success = 0,
    Base64Error = 3,
    SizeCheckFailed = 4,
};

// Decoders answer true once they have written their output, false on a size
// mismatch (after logging why). The handler owns the failure line.
using Decoder = bool (*)(std::span<const uint8_t> decodedData);

// ---- Sub-command 0: system memory configuration ----------------------------

// The firmware's own record, kept under the firmware's names.
struct QORV_UEFI_SYS_CONFIG // NOLINT(readability-identifier-naming)
{
    static constexpr size_t headSize = 6;
    static constexpr size_t entrySize = 8;
    static constexpr size_t maxCpus = 8;
    static constexpr size_t size = headSize + (entrySize * maxCpus); // 70

    uint8_t formatVersion = 0;
    uint32_t Data = 0;    // NOLINT(readability-identifier-naming)
    uint8_t CpuCount = 0; // NOLINT(readability-identifier-naming)
    std::array<uint64_t, maxCpus> eccMode{};
};

inline bool parseMemoryConfig(std::span<const uint8_t> decodedData)
{
    using Config = QORV_UEFI_SYS_CONFIG;
    const size_t size = decodedData.size();
    if (size < Config::headSize || size > Config::size)
    {
        log(LogLevel::Error) << formatted(FMT_COMPILE("headSize {}, raw data size {}"),
                                          Config::headSize, size);
        return false;
    }

    Config memconf;
    LeReader reader{decodedData};
    memconf.formatVersion = reader.read<uint8_t>();
    memconf.Data = reader.read<uint32_t>();
    memconf.CpuCount = reader.read<uint8_t>();
    if (size != Config::headSize + (Config::entrySize * memconf.CpuCount))
    {
        log(LogLevel::Error) << formatted(FMT_COMPILE("memconf.CpuCount {}, raw data size {}"),
                                          unsigned{memconf.CpuCount}, size);
        return false;
    }
    log(LogLevel::Info) << "memconf.CpuCount :" << unsigned{memconf.CpuCount};

    // The size check bounds CpuCount by maxCpus; unused slots stay zero.
    fmt::memory_buffer eccModes;
    for (size_t cpu = 0; cpu < memconf.CpuCount; ++cpu)
    {
        memconf.eccMode[cpu] = reader.read<uint64_t>();
        if (cpu != 0)
        {
            eccModes.push_back(',');
        }
        fmt::format_to(std::back_inserter(eccModes), FMT_COMPILE("{}"), memconf.eccMode[cpu]);
    }

    printStdout(
        FMT_COMPILE("MemoryConfig: formatVersion {}, QORV_UEFI_SYS_CONFIG.Data {}, cpuCount {}, "
                    "eccMode {}\n"),
        unsigned{memconf.formatVersion}, memconf.Data, unsigned{memconf.CpuCount},
        fmt::string_view{eccModes.data(), eccModes.size()});
    return true;
}

// ---- Sub-command 1: memory mirror information ------------------------------

struct MirrorInfoHeader
{
    static constexpr size_t headSize = 4;
    static constexpr size_t entrySize = 16; // one opaque MirrorEntry

    uint32_t count = 0;
};

inline bool parseMirrorInfo(std::span<const uint8_t> decodedData)
{
    const size_t size = decodedData.size();
    if (size < MirrorInfoHeader::headSize)
    {
        log(LogLevel::Error) << formatted(FMT_COMPILE("headSize {}, raw data size {}"),
                                          MirrorInfoHeader::headSize, size);
        return false;
    }

    LeReader reader{decodedData};
    MirrorInfoHeader mirrorInfo;
    mirrorInfo.count = reader.read<uint32_t>();
    // 64-bit arithmetic: the product must not wrap where size_t is 32 bits.
    const uint64_t expected =
        MirrorInfoHeader::headSize + (uint64_t{MirrorInfoHeader::entrySize} * mirrorInfo.count);
    if (uint64_t{size} != expected)
    {
        log(LogLevel::Error) << formatted(FMT_COMPILE("mirrorInfo.count {}, raw data size {}"),
                                          mirrorInfo.count, size);
        return false;
    }
    log(LogLevel::Info) << "mirrorInfo.count :" << mirrorInfo.count;
    return true;
}

// ---- Sub-command 2: PPR information, turned into memory recovery records ---

struct PprInfoHeader
{
    static constexpr size_t headSize = 8;
    static constexpr size_t entrySize = 8; // one PprEntry: entryWord0, entryWord1

    uint32_t pprHeaderWord = 0;
    uint32_t count = 0;
};

// One packed 45-byte recovery record, laid out as the BMC's recovery log
// stores it: zero-filled apart from the fields below.
using MemoryRecoveryEntry = std::array<uint8_t, 45>;
using MemoryRecoveryLog = std::vector<MemoryRecoveryEntry>;

inline constexpr uint8_t pprRecoveryKind = 1;

inline void fillRecoveryEntry(MemoryRecoveryEntry& entry, int64_t timestamp, uint32_t pprHeaderWord,
                              uint32_t entryWord0, uint32_t entryWord1)
{
    putLe<4>(entry, static_cast<uint64_t>(timestamp));
    putLe<32>(entry, pprRecoveryKind);
    putLe<33>(entry, pprHeaderWord);
    putLe<37>(entry, entryWord0);
    putLe<41>(entry, entryWord1);
}

inline bool parsePprInfo(std::span<const uint8_t> decodedData)
{
    const size_t size = decodedData.size();
    if (size < PprInfoHeader::headSize)
    {
        log(LogLevel::Error) << formatted(FMT_COMPILE("headSize {}, raw data size {}"),
                                          PprInfoHeader::headSize, size);
        return false;
    }

    LeReader reader{decodedData};
    PprInfoHeader pprInfo;
    pprInfo.pprHeaderWord = reader.read<uint32_t>();
    pprInfo.count = reader.read<uint32_t>();
    // 64-bit arithmetic: the product must not wrap where size_t is 32 bits.
    const uint64_t expected = PprInfoHeader::entrySize * (uint64_t{pprInfo.count} + 1);
    if (uint64_t{size} != expected)
    {
        log(LogLevel::Error) << formatted(FMT_COMPILE("pprInfo.count {}, raw data size {}"),
                                          pprInfo.count, size);
        return false;
    }
    log(LogLevel::Info) << "pprInfo.count :" << pprInfo.count;

    MemoryRecoveryLog recoveryLog(pprInfo.count); // zero-filled records
    for (auto& entry : recoveryLog)
    {
        const auto entryWord0 = reader.read<uint32_t>();
        const auto entryWord1 = reader.read<uint32_t>();
        fillRecoveryEntry(entry, std::time(nullptr), pprInfo.pprHeaderWord, entryWord0, entryWord1);
    }

    printStdout(FMT_COMPILE("MemoryRecoveryLog: size {}\n"), recoveryLog.size());
    return true;
}

// ---- Sub-command 3: memory error log ---------------------------------------

struct MemoryErrorLog
{
    static constexpr size_t size = 64; // eight 64-bit words on the wire

    uint64_t timestamp = 0;
    uint64_t errorInfo = 0;
    uint64_t errorLocation = 0;
    uint64_t rdErrLog = 0;
    uint64_t rdErrLogParity = 0;
    uint64_t rdErrLogMisc = 0;
    uint64_t rdErrLogAddress1 = 0;
    uint64_t rdErrLogAddress2 = 0;
    uint64_t rdErrLogAddress3 = 0;
};

inline bool parseMemoryErrorLog(std::span<const uint8_t> decodedData)
{
    if (decodedData.size() != MemoryErrorLog::size)
    {
        return false;
    }

    LeReader reader{decodedData};
    MemoryErrorLog record;
    record.errorInfo = reader.read<uint64_t>();
    record.errorLocation = reader.read<uint64_t>();
    record.rdErrLog = reader.read<uint64_t>();
    record.rdErrLogParity = reader.read<uint64_t>();
    record.rdErrLogMisc = reader.read<uint64_t>();
    record.rdErrLogAddress1 = reader.read<uint64_t>();
    record.rdErrLogAddress2 = reader.read<uint64_t>();
    record.rdErrLogAddress3 = reader.read<uint64_t>();
    record.timestamp = static_cast<uint64_t>(std::time(nullptr));

    printStdout(
        FMT_COMPILE("MemoryErrorLog: timestamp {}, errorInfo {}, errorLocation {}, rdErrLog {}, "
                    "rdErrLogParity {}, rdErrLogMisc {}, rdErrLogAddress1 {}, "
                    "rdErrLogAddress2 {}, rdErrLogAddress3 {}\n"),
        record.timestamp, record.errorInfo, record.errorLocation, record.rdErrLog,
        record.rdErrLogParity, record.rdErrLogMisc, record.rdErrLogAddress1,
        record.rdErrLogAddress2, record.rdErrLogAddress3);
    return true;
}

// ---- The handler -------------------------------------------------------------

// The decoder of each record kind, at the index of its code; codes past the
// end have none.
struct DecoderEntry
{
    SubCommand subcmd;
    Decoder decode;
};

inline constexpr std::array<DecoderEntry, 4> decoders{{
    {.subcmd = SubCommand::MemoryConfig, .decode = parseMemoryConfig},
    {.subcmd = SubCommand::MirrorInfo, .decode = parseMirrorInfo},
    {.subcmd = SubCommand::PprInfo, .decode = parsePprInfo},
    {.subcmd = SubCommand::MemoryErrorLog, .decode = parseMemoryErrorLog},
}};

static_assert(
    []
    {
        for (size_t code = 0; code < decoders.size(); ++code)
        {
            if (static_cast<size_t>(decoders[code].subcmd) != code)
            {
                return false;
            }
        }
        return true;
    }(),
    "every decoder must sit at the index of its sub-command code");

inline RawDataResult handleRawData(uint8_t subcmd, std::string_view rawData)
{
    if (!isBase64Encoded(rawData))
    {
        log(LogLevel::Error) << "rawData is not base64 encode: " << HostText{rawData};
        return RawDataResult::Base64Error;
    }
    std::vector<uint8_t> decodedData;
    // No input reaches this: decoding fails only on text that the check above
    // has rejected. Kept so that a decoder failure is never taken for data.
    if (!decodeBase64(rawData, decodedData))
    {
        log(LogLevel::Error) << "rawData decode failed: " << HostText{rawData};
        return RawDataResult::Base64Error;
    }

    if (subcmd < decoders.size() && decoders[subcmd].decode(decodedData))
    {
        return RawDataResult::Success;
    }
    printStdout(FMT_COMPILE("rawData size check failed,subcmd: {}, size: {}\n"), unsigned{subcmd},
                decodedData.size());
    return RawDataResult::SizeCheckFailed;
}

} // namespace qorvd
