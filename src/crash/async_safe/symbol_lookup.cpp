// Async-signal-safe: plain reads of tables checked when the image list was built.
#include "crash/async_safe/symbol_lookup.h"

#include <elf.h>
#include <link.h>

#include "crash/async_safe/symbol_index.h"

namespace skald::crash {

bool lookupSymbol(const BinaryImage& image, uintptr_t address, const char** symbolName,
                  uintptr_t* symbolAddress) {
    // The full table, where one was indexed: every function has its name.
    if (const SymbolIndex* index = symbolIndexFor(image)) {
        if (lookupIndexedSymbol(*index, address, symbolName, symbolAddress)) return true;
    }
    if (image.symbolTable == 0 || image.symbolCount == 0) return false;
    const uintptr_t bias = image.address - image.vmaddr;
    const auto* symbols = reinterpret_cast<const ElfW(Sym)*>(image.symbolTable);
    const ElfW(Sym)* best = nullptr;
    for (uint32_t i = 0; i < image.symbolCount; ++i) {
        const ElfW(Sym)& symbol = symbols[i];
        const unsigned type = ELF64_ST_TYPE(symbol.st_info);
        if (symbol.st_shndx == SHN_UNDEF || symbol.st_shndx == SHN_ABS || symbol.st_value == 0)
            continue;
        if (type != STT_FUNC && type != STT_OBJECT && type != STT_GNU_IFUNC && type != STT_NOTYPE)
            continue;
        const uintptr_t start = bias + symbol.st_value;
        if (address < start) continue;
        const bool holds =
            symbol.st_size == 0 ? address == start : address - start < symbol.st_size;
        if (!holds) continue;
        if (best == nullptr || symbol.st_value > best->st_value) best = &symbol;
    }
    if (best == nullptr || best->st_name >= image.stringTableSize) return false;
    *symbolName = reinterpret_cast<const char*>(image.stringTable + best->st_name);
    *symbolAddress = bias + best->st_value;
    return true;
}

}  // namespace skald::crash
