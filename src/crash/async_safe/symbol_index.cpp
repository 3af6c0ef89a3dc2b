// Async-signal-safe: atomic loads and reads of tables that never change once
// published.
#include "crash/async_safe/symbol_index.h"

#include <atomic>
#include <cstring>

namespace skald::crash {

namespace {

std::atomic<const SymbolIndex*> gIndexes[kMaxBinaryImages];
/// Slots in use: lookups scan only those.
std::atomic<size_t> gUsed{0};

bool sameImage(const SymbolIndex& index, uintptr_t address, uintptr_t dynamicAddress,
               const char* name) {
    if (index.imageAddress != address || index.dynamicAddress != dynamicAddress) return false;
    if (index.imageName == nullptr || name == nullptr) return index.imageName == name;
    return std::strcmp(index.imageName, name) == 0;
}

bool holds(const IndexedSymbol& symbol, uintptr_t address) {
    return symbol.size == 0 ? address == symbol.start : address - symbol.start < symbol.size;
}

/// Symbols nest rarely (a function and a label inside it); a few earlier
/// starts are checked when the closest one does not hold the address.
constexpr uint32_t kNestedLookBack = 4;

}  // namespace

bool publishSymbolIndex(const SymbolIndex* index) {
    if (index == nullptr) return false;
    // Publishing is rare and runs on one thread at a time (the caller's
    // lock); readers only ever see whole indexes.
    const size_t used = gUsed.load();
    for (size_t i = 0; i < used; ++i) {
        if (gIndexes[i].load()->imageAddress == index->imageAddress) {
            gIndexes[i].store(index);
            return true;
        }
    }
    if (used >= kMaxBinaryImages) return false;
    gIndexes[used].store(index);
    gUsed.store(used + 1);
    return true;
}

const SymbolIndex* symbolIndexFor(const BinaryImage& image) {
    const size_t used = gUsed.load();
    for (size_t i = 0; i < used; ++i) {
        const SymbolIndex* index = gIndexes[i].load();
        if (index != nullptr &&
            sameImage(*index, image.address, image.dynamicAddress, image.name)) {
            return index;
        }
    }
    return nullptr;
}

bool lookupIndexedSymbol(const SymbolIndex& index, uintptr_t address, const char** symbolName,
                         uintptr_t* symbolAddress) {
    // The first symbol that starts after the address.
    uint32_t low = 0;
    uint32_t high = index.count;
    while (low < high) {
        const uint32_t middle = low + (high - low) / 2;
        if (index.symbols[middle].start <= address) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    for (uint32_t checked = 0; low > 0 && checked < kNestedLookBack; ++checked, --low) {
        const IndexedSymbol& symbol = index.symbols[low - 1];
        if (holds(symbol, address)) {
            *symbolName = symbol.name;
            *symbolAddress = symbol.start;
            return true;
        }
    }
    return false;
}

}  // namespace skald::crash
