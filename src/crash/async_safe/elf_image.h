// Async-signal-safe: describes a loaded ELF object, reading its memory only
// with copies that fail instead of faulting.
#pragma once

#include <link.h>

#include <cstdint>

#include "crash/async_safe/binary_images.h"

namespace skald::crash {

/// Program headers read per object; objects with more are not described.
inline constexpr int kMaxProgramHeaders = 64;

/// Fills everything of `image` but its name from the program headers of an
/// object loaded with load bias `bias`: its extent, text segment, build-id,
/// dynamic section and symbol tables. `headers` may be the loader's own or a
/// copy. False for an object with nothing loaded.
bool describeElfImage(uintptr_t bias, const ElfW(Phdr) * headers, int headerCount,
                      BinaryImage* image);

/// Copies the program headers of the object that the loader lists with load
/// bias `bias` and dynamic section `dynamic`, from the ELF header mapped at
/// `bias`. Returns how many; 0 when they cannot be read or do not belong to
/// that object (its dynamic section is elsewhere).
int readProgramHeaders(uintptr_t bias, uintptr_t dynamic, ElfW(Phdr) * headers, int capacity);

/// Whether the symbol and string tables of `image` can still be read.
bool symbolTablesReadable(const BinaryImage& image);

}  // namespace skald::crash
