// Counts heap allocations made on one thread: replaces malloc, calloc and
// realloc of the whole program (operator new comes through malloc), counting
// calls made while `counting` is set on the calling thread.
//
// Include it in exactly one source file of a program. Under a sanitizer the
// sanitizer's allocator stays in place and nothing is counted
// (kCountsAllocations is false), so a caller skips its check there.
#pragma once

#include <cstddef>

namespace alloc_count {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kCountsAllocations = false;
#else
inline constexpr bool kCountsAllocations = true;
#endif

inline thread_local bool counting = false;
inline thread_local long allocations = 0;

}  // namespace alloc_count

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
extern "C" void* __libc_malloc(std::size_t);
extern "C" void* __libc_calloc(std::size_t, std::size_t);
extern "C" void* __libc_realloc(void*, std::size_t);

extern "C" void* malloc(std::size_t size)
{
    alloc_count::allocations += alloc_count::counting;
    return __libc_malloc(size);
}
extern "C" void* calloc(std::size_t n, std::size_t size)
{
    alloc_count::allocations += alloc_count::counting;
    return __libc_calloc(n, size);
}
extern "C" void* realloc(void* p, std::size_t size)
{
    alloc_count::allocations += alloc_count::counting;
    return __libc_realloc(p, size);
}
#endif
