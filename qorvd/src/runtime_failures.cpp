// SPDX-FileCopyrightText: The qorv_raw_data_parser contributors
// SPDX-License-Identifier: Apache-2.0

// How the tool ends when the C++ runtime fails: out of memory, a string or
// vector asked to grow past its limit, or one of its assertions. The tool is
// built without exceptions, but libstdc++ reports these failures by throwing
// (or, for an assertion, through a handler compiled with exceptions), and
// those paths would link its whole exception runtime into the tool: the
// unwinder, the type information and the terminate handler's name demangler.
// That is most of the executable's size, and every C library function those
// parts use is bound at each start (full RELRO binds all). Here each failure
// is said on standard error, then the process aborts, as an uncaught
// exception would.

#include "output.hpp"

#include <cstddef>
#include <cstdlib>
#include <new>

// NOLINTBEGIN(cppcoreguidelines-no-malloc): operator new is built on malloc

// The global allocation functions, replaced as the whole family the standard
// lists: the library's throw std::bad_alloc. Every form allocates with malloc
// or aligned_alloc and every delete frees with free, so memory taken by one
// form and given back by another (a library's nothrow new, the tool's delete)
// still matches.
namespace
{
// malloc(0) may answer null; new must not.
void* allocate(std::size_t size) noexcept
{
    return std::malloc(size == 0 ? 1 : size);
}

// aligned_alloc wants a size that is a multiple of the alignment.
void* allocate(std::size_t size, std::align_val_t alignment) noexcept
{
    const auto align = static_cast<std::size_t>(alignment);
    const std::size_t rounded = (size + align - 1) / align * align;
    return rounded < size ? nullptr : std::aligned_alloc(align, rounded == 0 ? align : rounded);
}

void* orAbort(void* block) noexcept
{
    if (block == nullptr)
    {
        qorvd::abortWith("out of memory");
    }
    return block;
}
} // namespace

void* operator new(std::size_t size)
{
    return orAbort(allocate(size));
}

void* operator new[](std::size_t size)
{
    return orAbort(allocate(size));
}

void* operator new(std::size_t size, std::align_val_t alignment)
{
    return orAbort(allocate(size, alignment));
}

void* operator new[](std::size_t size, std::align_val_t alignment)
{
    return orAbort(allocate(size, alignment));
}

void* operator new(std::size_t size, const std::nothrow_t& /*tag*/) noexcept
{
    return allocate(size);
}

void* operator new[](std::size_t size, const std::nothrow_t& /*tag*/) noexcept
{
    return allocate(size);
}

void* operator new(std::size_t size, std::align_val_t alignment,
                   const std::nothrow_t& /*tag*/) noexcept
{
    return allocate(size, alignment);
}

void* operator new[](std::size_t size, std::align_val_t alignment,
                     const std::nothrow_t& /*tag*/) noexcept
{
    return allocate(size, alignment);
}

void operator delete(void* block) noexcept
{
    std::free(block);
}

void operator delete[](void* block) noexcept
{
    std::free(block);
}

void operator delete(void* block, std::size_t /*size*/) noexcept
{
    std::free(block);
}

void operator delete[](void* block, std::size_t /*size*/) noexcept
{
    std::free(block);
}

void operator delete(void* block, std::align_val_t /*alignment*/) noexcept
{
    std::free(block);
}

void operator delete[](void* block, std::align_val_t /*alignment*/) noexcept
{
    std::free(block);
}

void operator delete(void* block, std::size_t /*size*/, std::align_val_t /*alignment*/) noexcept
{
    std::free(block);
}

void operator delete[](void* block, std::size_t /*size*/, std::align_val_t /*alignment*/) noexcept
{
    std::free(block);
}

void operator delete(void* block, const std::nothrow_t& /*tag*/) noexcept
{
    std::free(block);
}

void operator delete[](void* block, const std::nothrow_t& /*tag*/) noexcept
{
    std::free(block);
}

void operator delete(void* block, std::align_val_t /*alignment*/,
                     const std::nothrow_t& /*tag*/) noexcept
{
    std::free(block);
}

void operator delete[](void* block, std::align_val_t /*alignment*/,
                       const std::nothrow_t& /*tag*/) noexcept
{
    std::free(block);
}

// NOLINTEND(cppcoreguidelines-no-malloc)

// libstdc++'s headers call these to throw (they are declared there); the
// tool's code references only some of them. They are weak: should a compiler's
// headers need one that is missing here, the library's own set is linked
// instead, which still works, and the release size check reports the growth.
// The names and the C-style variadic one are the library's, not ours.
// NOLINTBEGIN(cert-dcl58-cpp,bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp,cert-dcl50-cpp)
namespace std
{
[[gnu::weak]] void __throw_bad_alloc()
{
    qorvd::abortWith("out of memory");
}

[[gnu::weak]] void __throw_bad_array_new_length()
{
    qorvd::abortWith("out of memory", "array length");
}

[[gnu::weak]] void __throw_length_error(const char* what)
{
    qorvd::abortWith("length error", what);
}

[[gnu::weak]] void __throw_logic_error(const char* what)
{
    qorvd::abortWith("logic error", what);
}

[[gnu::weak]] void __throw_out_of_range(const char* what)
{
    qorvd::abortWith("out of range", what);
}

// The text is a printf format; its values are not worth binding printf at
// every start.
[[gnu::weak]] void __throw_out_of_range_fmt(const char* format, ...)
{
    qorvd::abortWith("out of range", format);
}

// A failed precondition check of libstdc++ (_GLIBCXX_ASSERTIONS, which meson
// 1.4 and later turn on in every build without NDEBUG). From GCC 13 on, the
// library's handler is an object of its own, and it brings the terminate
// handler, the unwinder and the demangler along.
[[gnu::weak]] void __glibcxx_assert_fail(const char* /*file*/, int /*line*/,
                                         const char* /*function*/, const char* condition) noexcept
{
    qorvd::abortWith("assertion failed", condition);
}
} // namespace std

// A pure virtual function called (fmt's buffer has one): the C++ ABI's
// handler. Unoptimised clang builds refer to it from the vtables they emit,
// and the library's own ends through std::terminate and its handler.
extern "C" [[gnu::weak]] void __cxa_pure_virtual()
{
    qorvd::abortWith("pure virtual function called");
}
// NOLINTEND(cert-dcl58-cpp,bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp,cert-dcl50-cpp)
