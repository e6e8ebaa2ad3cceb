// SPDX-FileCopyrightText: The qorv_raw_data_parser contributors
// SPDX-License-Identifier: Apache-2.0

// The whole raw-data path: the first byte is the sub-command code, the rest is
// the text, so every decoder sees well-formed and malformed records. Each log
// entry must be one line of printable ASCII, whatever the host sent: the
// entries reach a socket that keeps each write apart.

#include "qorv_uefi_raw_data_parser.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace
{
// An entry is written whole in one write: one message each.
std::array<int, 2> logSocket()
{
    std::array<int, 2> ends{-1, -1};
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends.data()) != 0)
    {
        std::abort();
    }
    return ends;
}

bool oneLineOfText(std::string_view entry)
{
    return !entry.empty() && entry.back() == '\n' &&
           std::all_of(entry.begin(), entry.end() - 1, [](char c) { return c >= ' ' && c <= '~'; });
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
    {
        return 0;
    }
    static const std::array<int, 2> log = logSocket();
    // libFuzzer's own reports keep standard error (-close_fd_mask=2 closed it).
    const int savedStderr = dup(STDERR_FILENO);
    dup2(log[0], STDERR_FILENO);
    const std::string_view text{reinterpret_cast<const char*>(data + 1), size - 1};
    static_cast<void>(qorvd::handleRawData(data[0], text));
    if (savedStderr >= 0)
    {
        dup2(savedStderr, STDERR_FILENO);
        close(savedStderr);
    }

    static std::array<char, 1 << 16> entry{};
    ssize_t length = 0;
    while ((length = recv(log[1], entry.data(), entry.size(), MSG_DONTWAIT | MSG_TRUNC)) > 0)
    {
        if (static_cast<size_t>(length) > entry.size() ||
            !oneLineOfText({entry.data(), static_cast<size_t>(length)}))
        {
            std::abort();
        }
    }
    return 0;
}
