// The full symbol tables of the loaded images for crash-time lookups
// (crash/async_safe/symbol_index.h), read from the images' files off the
// crash path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace skald::crash {

struct SymbolIndex;

/// Indexes every image of the crash-time image table that has no index yet:
/// its `.symtab`, or its `.dynsym` when it is stripped. Files that cannot be
/// read are logged once and left to the exported names. Returns how many
/// images were indexed by this call. Thread-safe; cheap when nothing changed.
size_t updateSymbolIndexes();

/// The functions of the ELF file at `path` for an image at runtime address
/// `imageAddress` whose first segment is linked at `vmaddr`, as an index that
/// lives for good; null (with `error` set) when the file is not a readable
/// ELF file of this machine. Exposed for the tests.
const SymbolIndex* buildSymbolIndex(const std::string& path, uintptr_t imageAddress,
                                    uintptr_t vmaddr, std::string* error);

}  // namespace skald::crash
