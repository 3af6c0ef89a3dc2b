// Async-signal-safe: reads of this process's memory that fail instead of faulting.
#pragma once

#include <cstddef>

namespace skald::crash::memory {

/// Copies `length` bytes from `source` (an address of this process, which may
/// be unmapped) to `destination`; false, without faulting, when any of them
/// cannot be read.
bool copySafely(const void* source, void* destination, size_t length);

/// Copies as many of the first `length` bytes as can be read, in order;
/// returns how many.
size_t copyMaxPossible(const void* source, void* destination, size_t length);

/// Whether all `length` bytes at `memory` can be read.
bool isReadable(const void* memory, size_t length);

}  // namespace skald::crash::memory
