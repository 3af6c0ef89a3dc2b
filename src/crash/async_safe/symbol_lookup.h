// Async-signal-safe: names addresses from the dynamic symbol tables already in memory.
#pragma once

#include <cstdint>

#include "crash/async_safe/binary_images.h"

namespace skald::crash {

/// The symbol of `image` that holds `address`: from its full symbol table
/// when one was indexed (symbol_index.h), else the exported one (a sized symbol
/// covering it, or a symbol without size that starts exactly there), as the
/// loader's own address lookup would answer; false when there is none. The
/// name points into the image's string table.
bool lookupSymbol(const BinaryImage& image, uintptr_t address, const char** symbolName,
                  uintptr_t* symbolAddress);

}  // namespace skald::crash
