// Async-signal-safe: fixed stack buffers, and every read of the object's
// memory is a copy that fails instead of faulting, so an object that is
// unmapped under the reader yields less, not a crash.
#include "crash/async_safe/elf_image.h"

#include <elf.h>

#include <cstring>

#include "crash/async_safe/memory.h"

namespace skald::crash {

namespace {

#if defined(__x86_64__)
constexpr int32_t kMachine = EM_X86_64;
#elif defined(__aarch64__)
constexpr int32_t kMachine = EM_AARCH64;
#else
constexpr int32_t kMachine = EM_NONE;
#endif

/// The page size of this processor; asking the system is not allowed here.
constexpr uintptr_t kPageMask = ~uintptr_t{4095};
/// Bytes of one note segment searched for the build-id.
constexpr size_t kMaxNotesSize = 2048;
/// Dynamic entries read; real objects have a few dozen.
constexpr int kMaxDynamicEntries = 1024;
/// Chain entries followed past the highest bucket of a GNU hash table.
constexpr uint32_t kMaxChainWalk = 1U << 20;

template <typename T>
bool readValue(uintptr_t address, T* value) {
    return memory::copySafely(reinterpret_cast<const void*>(address), value, sizeof(T));
}

size_t alignUp(size_t value, size_t alignment) {
    return (value + alignment - 1) & ~(alignment - 1);
}

/// Looks for the GNU build-id note in one copied PT_NOTE segment.
bool readBuildId(const unsigned char* notes, size_t size, size_t alignment, BinaryImage* image) {
    alignment = alignment == 8 ? 8 : 4;
    size_t offset = 0;
    while (size - offset >= sizeof(ElfW(Nhdr))) {
        ElfW(Nhdr) header;
        std::memcpy(&header, notes + offset, sizeof(header));
        const size_t nameOffset = offset + sizeof(header);
        const size_t descOffset = nameOffset + alignUp(header.n_namesz, alignment);
        if (descOffset > size || header.n_descsz > size - descOffset) return false;
        if (header.n_type == NT_GNU_BUILD_ID && header.n_namesz == 4 &&
            std::memcmp(notes + nameOffset, "GNU", 4) == 0) {
            const size_t length =
                header.n_descsz < kMaxBuildIdSize ? header.n_descsz : kMaxBuildIdSize;
            std::memcpy(image->buildId, notes + descOffset, length);
            image->buildIdLength = static_cast<uint8_t>(length);
            return true;
        }
        offset = descOffset + alignUp(header.n_descsz, alignment);
        if (offset >= size) return false;
    }
    return false;
}

/// A pointer from the dynamic section: the loader has relocated most of them
/// already, but not those of the vDSO, which are link-time values.
uintptr_t dynamicPointer(uintptr_t bias, uintptr_t value) {
    return value < bias ? value + bias : value;
}

/// The number of symbols in a GNU hash table: the highest symbol index the
/// chains reach, plus one; 0 when the table cannot be read.
uint32_t gnuHashSymbolCount(uintptr_t table) {
    uint32_t header[4];
    if (!memory::copySafely(reinterpret_cast<const void*>(table), header, sizeof header)) return 0;
    const uint32_t bucketCount = header[0];
    const uint32_t symbolOffset = header[1];
    const uint32_t bloomSize = header[2];
    const uintptr_t buckets = table + sizeof header + uintptr_t{bloomSize} * sizeof(ElfW(Addr));
    uint32_t highest = 0;
    uint32_t chunk[256];
    for (uint32_t done = 0; done < bucketCount;) {
        const uint32_t count = bucketCount - done < 256 ? bucketCount - done : 256;
        if (!memory::copySafely(reinterpret_cast<const void*>(buckets + done * 4U), chunk,
                                count * 4U)) {
            return 0;
        }
        for (uint32_t i = 0; i < count; ++i) highest = chunk[i] > highest ? chunk[i] : highest;
        done += count;
    }
    if (highest < symbolOffset) return symbolOffset;
    const uintptr_t chains = buckets + uintptr_t{bucketCount} * 4U;
    // In chunks: one checked read per entry made this the slowest part of
    // describing an image.
    for (uint32_t walked = 0; walked < kMaxChainWalk;) {
        const uintptr_t at = chains + uintptr_t{highest - symbolOffset} * 4U;
        const size_t copied =
            memory::copyMaxPossible(reinterpret_cast<const void*>(at), chunk, sizeof chunk);
        const uint32_t count = static_cast<uint32_t>(copied / 4U);
        if (count == 0) return 0;
        for (uint32_t i = 0; i < count; ++i, ++walked, ++highest) {
            if ((chunk[i] & 1U) != 0) return highest + 1;
        }
    }
    return 0;
}

bool inside(const BinaryImage& image, uintptr_t address, uintptr_t length) {
    return address >= image.address && length <= image.size &&
           address - image.address <= image.size - length;
}

/// Finds the dynamic symbol and string tables, so that crash-time code can
/// name addresses without asking the loader.
void describeSymbols(uintptr_t bias, BinaryImage* image) {
    if (image->dynamicAddress == 0) return;
    uintptr_t symbols = 0, strings = 0, stringsSize = 0, hash = 0, gnuHash = 0;
    uintptr_t entrySize = sizeof(ElfW(Sym));
    ElfW(Dyn) entries[16];
    bool ended = false;
    for (int read = 0; read < kMaxDynamicEntries && !ended; read += 16) {
        const uintptr_t at =
            image->dynamicAddress + static_cast<uintptr_t>(read) * sizeof(ElfW(Dyn));
        // The section's end may fall short of a whole chunk: read what is there.
        const size_t copied =
            memory::copyMaxPossible(reinterpret_cast<const void*>(at), entries, sizeof entries);
        const size_t count = copied / sizeof(ElfW(Dyn));
        if (count == 0) return;
        for (size_t i = 0; i < count && !ended; ++i) {
            const ElfW(Dyn)& entry = entries[i];
            switch (entry.d_tag) {
                case DT_NULL:
                    ended = true;
                    break;
                case DT_SYMTAB:
                    symbols = dynamicPointer(bias, entry.d_un.d_ptr);
                    break;
                case DT_STRTAB:
                    strings = dynamicPointer(bias, entry.d_un.d_ptr);
                    break;
                case DT_STRSZ:
                    stringsSize = entry.d_un.d_val;
                    break;
                case DT_HASH:
                    hash = dynamicPointer(bias, entry.d_un.d_ptr);
                    break;
                case DT_GNU_HASH:
                    gnuHash = dynamicPointer(bias, entry.d_un.d_ptr);
                    break;
                case DT_SYMENT:
                    entrySize = entry.d_un.d_val;
                    break;
                default:
                    break;
            }
        }
        if (count < 16) break;
    }
    if (entrySize != sizeof(ElfW(Sym)) || !inside(*image, symbols, 1) ||
        !inside(*image, strings, stringsSize)) {
        return;
    }
    uint32_t count = 0;
    uint32_t hashHeader[2];
    if (hash != 0 && inside(*image, hash, sizeof hashHeader) &&
        memory::copySafely(reinterpret_cast<const void*>(hash), hashHeader, sizeof hashHeader)) {
        count = hashHeader[1];
    } else if (gnuHash != 0 && inside(*image, gnuHash, 16)) {
        count = gnuHashSymbolCount(gnuHash);
    }
    if (count == 0 || !inside(*image, symbols, static_cast<uintptr_t>(count) * sizeof(ElfW(Sym))))
        return;
    image->symbolTable = symbols;
    image->symbolCount = count;
    image->stringTable = strings;
    image->stringTableSize = stringsSize;
}

}  // namespace

bool describeElfImage(uintptr_t bias, const ElfW(Phdr) * headers, int headerCount,
                      BinaryImage* image) {
    uintptr_t low = UINTPTR_MAX;
    uintptr_t high = 0;
    for (int i = 0; i < headerCount; ++i) {
        const ElfW(Phdr)& segment = headers[i];
        if (segment.p_type == PT_DYNAMIC) image->dynamicAddress = bias + segment.p_vaddr;
        if (segment.p_type != PT_LOAD) continue;
        low = (segment.p_vaddr & kPageMask) < low ? segment.p_vaddr & kPageMask : low;
        high = segment.p_vaddr + segment.p_memsz > high ? segment.p_vaddr + segment.p_memsz : high;
        if ((segment.p_flags & PF_X) != 0 && image->textSize == 0) {
            image->textAddress = bias + segment.p_vaddr;
            image->textSize = segment.p_memsz;
        }
    }
    if (high <= low) return false;
    image->address = bias + low;
    image->vmaddr = low;
    image->size = high - low;
    image->cpuType = kMachine;
    image->cpuSubtype = 0;

    // Only notes that lie inside a loaded segment are mapped.
    for (int i = 0; i < headerCount && image->buildIdLength == 0; ++i) {
        const ElfW(Phdr)& note = headers[i];
        if (note.p_type != PT_NOTE) continue;
        bool mapped = false;
        for (int j = 0; j < headerCount && !mapped; ++j) {
            const ElfW(Phdr)& load = headers[j];
            mapped = load.p_type == PT_LOAD && note.p_vaddr >= load.p_vaddr &&
                     note.p_vaddr + note.p_memsz <= load.p_vaddr + load.p_memsz;
        }
        if (!mapped) continue;
        unsigned char notes[kMaxNotesSize];
        const size_t size = note.p_memsz < sizeof notes ? note.p_memsz : sizeof notes;
        const size_t copied = memory::copyMaxPossible(
            reinterpret_cast<const void*>(bias + note.p_vaddr), notes, size);
        readBuildId(notes, copied, note.p_align, image);
    }
    describeSymbols(bias, image);
    return true;
}

int readProgramHeaders(uintptr_t bias, uintptr_t dynamic, ElfW(Phdr) * headers, int capacity) {
    ElfW(Ehdr) header;
    if (bias == 0 || !readValue(bias, &header)) return 0;
    if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
        header.e_phentsize != sizeof(ElfW(Phdr)) || header.e_phnum == 0 ||
        header.e_phnum > capacity) {
        return 0;
    }
    if (!memory::copySafely(reinterpret_cast<const void*>(bias + header.e_phoff), headers,
                            sizeof(ElfW(Phdr)) * header.e_phnum)) {
        return 0;
    }
    // An object whose first segment is not linked at 0 has its header
    // elsewhere: what was read then describes something else.
    for (int i = 0; i < header.e_phnum; ++i) {
        if (headers[i].p_type == PT_DYNAMIC && bias + headers[i].p_vaddr == dynamic) {
            return header.e_phnum;
        }
    }
    return 0;
}

bool symbolTablesReadable(const BinaryImage& image) {
    if (image.symbolTable == 0) return true;
    return memory::isReadable(reinterpret_cast<const void*>(image.symbolTable),
                              static_cast<size_t>(image.symbolCount) * sizeof(ElfW(Sym))) &&
           memory::isReadable(reinterpret_cast<const void*>(image.stringTable),
                              image.stringTableSize);
}

}  // namespace skald::crash
