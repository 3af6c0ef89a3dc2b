// Async-signal-safe to read: every image's full symbol table (static
// functions and anonymous namespaces included), sorted by address so that a
// crash-time lookup is a binary search. Built and published off the crash
// path (crash/recording/symbol_indexes.h); published indexes live for good.
#pragma once

#include <cstdint>

#include "crash/async_safe/binary_images.h"

namespace skald::crash {

struct IndexedSymbol {
    /// Runtime address of the function's first instruction.
    uintptr_t start;
    /// 0 when the symbol table gives none: then only `start` itself is held.
    uintptr_t size;
    const char* name;
};

struct SymbolIndex {
    /// The image it describes, as the crash-time image table names it: a
    /// later image at the same address is told apart by the other two.
    uintptr_t imageAddress;
    uintptr_t dynamicAddress;
    const char* imageName;
    /// Sorted by `start`.
    const IndexedSymbol* symbols;
    uint32_t count;
};

/// Off the crash path: makes `index` (which must outlive the process's use
/// of it) the index of its image, in place of an earlier one for the same
/// address; false when the table is full.
bool publishSymbolIndex(const SymbolIndex* index);

/// The published index of `image`, or null.
const SymbolIndex* symbolIndexFor(const BinaryImage& image);

/// The symbol of `index` that holds `address` (a sized symbol covering it,
/// or an unsized one that starts exactly there); false when there is none.
bool lookupIndexedSymbol(const SymbolIndex& index, uintptr_t address, const char** symbolName,
                         uintptr_t* symbolAddress);

}  // namespace skald::crash
