// SPDX-FileCopyrightText: The qorv_raw_data_parser contributors
// SPDX-License-Identifier: Apache-2.0

// Every input as host text three ways, each held to what must hold whatever
// the host sends: a record (the first byte is the sub-command code), base64
// text, and a sub-command (against the C library's reading).

#include "harness.hpp"
#include "qorv_uefi_raw_data_parser.hpp"
#include "utils.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
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

// Each log entry must be one line of printable ASCII, written whole in one
// write: the socket keeps each write apart.
int logSocket(size_t end)
{
    static const std::array<int, 2> ends = []
    {
        std::array<int, 2> made{-1, -1};
        check(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, made.data()) == 0);
        return made;
    }();
    return ends.at(end);
}

void checkRecord(uint8_t subcmd, std::string_view text)
{
    // libFuzzer's own reports keep standard error (-close_fd_mask=2 closed it).
    const int savedStderr = dup(STDERR_FILENO);
    dup2(logSocket(0), STDERR_FILENO);
    static_cast<void>(qorvd::handleRawData(subcmd, text));
    dup2(savedStderr, STDERR_FILENO);
    close(savedStderr);
    static std::array<char, 1 << 16> entry{};
    for (ssize_t n = 0;
         (n = recv(logSocket(1), entry.data(), entry.size(), MSG_DONTWAIT | MSG_TRUNC)) > 0;)
    {
        const std::string_view line{entry.data(), std::min(entry.size(), static_cast<size_t>(n))};
        check(
            static_cast<size_t>(n) == line.size() && line.ends_with('\n') &&
            std::all_of(line.begin(), line.end() - 1, [](char c) { return c >= ' ' && c <= '~'; }));
    }
}

void checkBase64(std::string_view text)
{
    std::vector<uint8_t> decoded{1, 2, 3};
    const bool valid = qorvd::isBase64Encoded(text);
    check(qorvd::decodeBase64(text, decoded) == valid);
    check((valid || decoded.empty()) && decoded.size() <= text.size() / 4 * 3);
    // The same bytes as data: encoded by a standard encoder, they come back.
    const std::vector<uint8_t> bytes(text.begin(), text.end());
    const std::string encoded = qorvd::test::toBase64(bytes);
    check(qorvd::isBase64Encoded(encoded) && qorvd::decodeBase64(encoded, decoded) &&
          decoded == bytes);
}

// strtoull's reading, held to 32 bits apart from the tool's own conversion.
std::optional<uint32_t> reference(const std::string& text)
{
    const char* p = text.c_str() + std::strspn(text.c_str(), " \t\n\v\f\r");
    const bool negative = *p == '-';
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
    const unsigned long long magnitude = negative ? 0ULL - value : value;
    if (end == text.c_str() || errno == ERANGE || magnitude > UINT32_MAX)
    {
        return std::nullopt;
    }
    return static_cast<uint32_t>(negative ? 0ULL - magnitude : magnitude);
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view text{reinterpret_cast<const char*>(data), size};
    checkRecord(size > 0 ? data[0] : 0, text.substr(std::min<size_t>(size, 1)));
    checkBase64(text);
    // An argument ends at its first NUL.
    const std::string argument{text.substr(0, text.find('\0'))};
    check(qorvd::parseUnsigned32(argument) == reference(argument));
    return 0;
}
