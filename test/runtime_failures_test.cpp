// SPDX-FileCopyrightText: The qorv_raw_data_parser contributors
// SPDX-License-Identifier: Apache-2.0

// The C++ runtime's failure paths that no input reaches end as the tool's
// own: one line on standard error, then SIGABRT. Each is what a compiler's
// headers or code call: libstdc++'s assertion handler (GCC 13 on) and the
// ABI's pure virtual call handler (unoptimised clang). An emulator may add a
// line of its own about the signal.

#include <gtest/gtest.h>

#include <cxxabi.h>

#include <csignal>

// Their names; and libstdc++ 13 and later declare it already, older ones do not.
// NOLINTBEGIN(cert-dcl58-cpp,bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp,readability-redundant-declaration)
namespace std
{
// As libstdc++ 13 and later declare it.
void __glibcxx_assert_fail(const char* file, int line, const char* function,
                           const char* condition) noexcept;
} // namespace std
// NOLINTEND(cert-dcl58-cpp,bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp,readability-redundant-declaration)

namespace
{
TEST(RuntimeFailure, LibraryAssertionEndsThroughTheTool)
{
    EXPECT_EXIT(std::__glibcxx_assert_fail("vector", 1, "operator[]", "__n < this->size()"),
                testing::KilledBySignal(SIGABRT),
                "^qorv_raw_data_parser: assertion failed: __n < this->size\\(\\)\n");
}

TEST(RuntimeFailure, PureVirtualCallEndsThroughTheTool)
{
    EXPECT_EXIT(abi::__cxa_pure_virtual(), testing::KilledBySignal(SIGABRT),
                "^qorv_raw_data_parser: pure virtual function called\n");
}
} // namespace
