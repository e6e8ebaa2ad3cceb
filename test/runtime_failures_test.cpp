// SPDX-FileCopyrightText: The qorv_raw_data_parser contributors
// SPDX-License-Identifier: Apache-2.0

// The C++ runtime's failure paths that no input reaches end as the tool's
// own: one line on standard error, then SIGABRT. Each is what a compiler's
// headers or code call: libstdc++'s assertion handler (GCC 13 on) and the
// ABI's pure virtual call handler (unoptimised clang). An emulator may add a
// line of its own about the signal. And the tool's allocation functions: every
// form, so that none is left to a library whose release would not match.

#include <gtest/gtest.h>

#include <cxxabi.h>
#include <malloc.h>

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <ostream>
#include <vector>

// Their names; and libstdc++ 13 and later declare it already, older ones do not.
// NOLINTBEGIN(cert-dcl58-cpp,bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp,readability-redundant-declaration)
namespace std
{
// As libstdc++ 13 and later declare it.
void __glibcxx_assert_fail(const char* file, int line, const char* function,
                           const char* condition) noexcept;
} // namespace std
// NOLINTEND(cert-dcl58-cpp,bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp,readability-redundant-declaration)

// Under AddressSanitizer, a request larger than it supports answers null as
// malloc's would, instead of ending the run with the sanitizer's report.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): the sanitizer's name
extern "C" const char* __asan_default_options()
{
    return "allocator_may_return_null=1";
}

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

constexpr std::size_t wide = 64;
constexpr std::align_val_t wideAlignment{wide};
const std::nothrow_t& quiet = std::nothrow;

// One allocation form and a release that may follow it. Under AddressSanitizer
// a form the tool does not replace comes from the sanitizer, and the tool's
// free of it is reported as a mismatch; elsewhere a library's nothrow form
// calls the tool's throwing one, which ends the run instead of answering null.
// (valgrind puts in every form of its own and sees neither.)
struct AllocationCase
{
    const char* name;
    void* (*allocate)(std::size_t size);
    void (*release)(void* block, std::size_t size);
    std::size_t alignment;
    bool throwing; // ends the run when memory runs out, rather than answering null

    friend void PrintTo(const AllocationCase& c, std::ostream* os) { *os << c.name; }
};

class Allocation : public testing::TestWithParam<AllocationCase>
{
};

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
    // Given back: a release that freed nothing passed every other test.
    // Not where a sanitizer's or valgrind's allocator is the one in use.
    if (held >= before + size)
    {
        EXPECT_LE(inUse() + size, held);
    }
}

TEST_P(Allocation, EndsOrAnswersNullWhenMemoryRunsOut)
{
    const auto& c = GetParam();
    const bool underValgrind = std::getenv("QORV_UNDER_VALGRIND") != nullptr;
    // More than an address space holds; on a 64-bit host not so much that it
    // reads as a negative size, which valgrind reports as an error. For an
    // aligned form also a size that rounding up to the alignment would wrap
    // to a small one (valgrind puts its own forms in: not there).
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
