// SPDX-FileCopyrightText: The qorv_raw_data_parser contributors
// SPDX-License-Identifier: Apache-2.0

// The whole raw-data path: the first byte is the sub-command code, the rest is
// the text, so every decoder sees well-formed and malformed records.

#include "qorv_uefi_raw_data_parser.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
    {
        return 0;
    }
    const std::string_view text{reinterpret_cast<const char*>(data + 1), size - 1};
    const auto result = qorvd::handleRawData(data[0], text);
    if (result != qorvd::RawDataResult::Success && result != qorvd::RawDataResult::Base64Error &&
        result != qorvd::RawDataResult::SizeCheckFailed)
    {
        std::abort();
    }
    return 0;
}
