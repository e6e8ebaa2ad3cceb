// SPDX-FileCopyrightText: The qorv_raw_data_parser contributors
// SPDX-License-Identifier: Apache-2.0

// planted_fault.so: preloaded into a dynamic tool, it stands in for the C
// library's timespec_get, which the tool calls for each log entry after main
// confined it, and makes what QORV_PLANTED names, as code taken over by a
// memory fault would: a sandbox case's call (exit with its answer if the
// process lives on), or a call number with zero arguments (exit 77 if the tool
// was not confined, else 0 if it lives on).

#include "sandbox_cases.hpp"

#include <fcntl.h>
#include <time.h> // NOLINT(modernize-deprecated-headers): POSIX's clock_gettime
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <string_view>

// __timespec_get64 where time_t has two sizes; its parameters named as the C
// library names them. No std::string: the tool has no C++ runtime.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
extern "C" int timespec_get(timespec* __ts, int __base) noexcept
{
    const char* env = std::getenv("QORV_PLANTED");
    const std::string_view planted = env == nullptr ? "" : env;
    long number = -1;
    if (std::from_chars(planted.begin(), planted.end(), number).ptr == planted.end() && number >= 0)
    {
        // Confined, an open is refused with EACCES.
        if (open("/", O_RDONLY) >= 0 || errno != EACCES)
        {
            _exit(77);
        }
        // NOLINTNEXTLINE(cppcoreguidelines-pro-type-vararg): a raw call is the point
        syscall(number, 0L, 0L, 0L, 0L, 0L, 0L);
        _exit(0);
    }
    for (const auto& c : qorvd::test::sandboxCases)
    {
        if (c.name == planted)
        {
            _exit(c.call());
        }
    }
    // NOLINTNEXTLINE(misc-include-cleaner): CLOCK_REALTIME, from <bits/time.h>
    return __base == TIME_UTC && clock_gettime(CLOCK_REALTIME, __ts) == 0 ? __base : 0;
}
