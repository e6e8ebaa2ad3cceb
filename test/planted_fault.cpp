// SPDX-FileCopyrightText: The qorv_raw_data_parser contributors
// SPDX-License-Identifier: Apache-2.0

// planted_fault.so: preloaded into a dynamic build of the tool, it stands in
// for the C library's timespec_get, which the tool calls for each log entry,
// after main has begun. There it first makes the forbidden call that
// QORV_PLANTED names, as code taken over by a memory fault would, and says on
// standard error what the call answered, if the process lives on.

#include "forbidden_calls.hpp"
#include "output.hpp"

#include <time.h> // NOLINT(modernize-deprecated-headers): POSIX's clock_gettime
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace
{
// 0 when the call worked, else its errno.
int plant(std::string_view fault)
{
    for (const auto& forbidden : qorvd::test::forbiddenCalls)
    {
        if (forbidden.name == fault)
        {
            return forbidden.call();
        }
    }
    return EINVAL;
}

void say(std::string_view text)
{
    static_cast<void>(qorvd::writeAll(STDERR_FILENO, text));
}
} // namespace

// The tool's timespec_get (__timespec_get64 where time_t has two sizes),
// its parameters named as the C library's declaration names them.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
extern "C" int timespec_get(timespec* __ts, int __base) noexcept
{
    if (const char* fault = std::getenv("QORV_PLANTED"); fault != nullptr)
    {
        const int error = plant(fault);
        say("planted ");
        say(fault);
        say(": ");
        say(error == 0 ? "done" : std::strerror(error));
        say("\n");
    }
    // clang-tidy has CLOCK_REALTIME from the C library's internal <bits/time.h>.
    // NOLINTNEXTLINE(misc-include-cleaner)
    return __base == TIME_UTC && clock_gettime(CLOCK_REALTIME, __ts) == 0 ? __base : 0;
}
