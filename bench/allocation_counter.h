#pragma once

// Included by one source file of a benchmark program: it replaces the
// program's operator new and delete so that each thread counts its heap
// allocations. Per thread, so that counting adds no shared write to threads
// measured together.

#include <cstdint>
#include <cstdlib>
#include <new>

namespace skald::bench {

inline thread_local uint64_t tAllocations = 0;

/// Heap allocations the calling thread has made so far.
inline uint64_t allocationsOfThisThread() {
    return tAllocations;
}

}  // namespace skald::bench

// The replacements pair malloc with free themselves, which the compiler cannot
// see at call sites.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
    ++skald::bench::tAllocations;
    if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
    throw std::bad_alloc();
}
void operator delete(void* memory) noexcept {
    std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
    std::free(memory);
}
