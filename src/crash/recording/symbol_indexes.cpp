#include "crash/recording/symbol_indexes.h"

#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

#include "crash/async_safe/symbol_index.h"
#include "crash/recording/binary_image_list.h"
#include "platform/base/unique_fd.h"
#include "platform/process/no_destructor.h"
#include "util/log.h"

namespace skald::crash {

namespace {

/// Bounds for what a hostile or damaged file can make us read and keep.
constexpr off_t kMaxFileSize = off_t{2} << 30;
constexpr size_t kMaxSymbols = 2'000'000;

/// An index with the storage it points into; never destroyed, since a
/// crash-time reader may hold it.
struct OwnedIndex {
    SymbolIndex index{};
    std::vector<IndexedSymbol> symbols;
    std::vector<char> names;
};

/// A read-only mapping of a whole file, unmapped when done: the index copies
/// what it keeps, so a file replaced on disk later cannot fault a reader.
class MappedFile {
  public:
    bool open(const std::string& path, std::string* error) {
        const platform::unique_fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
        if (!fd) return fail(error, "cannot open: " + std::string(std::strerror(errno)));
        struct stat info {};
        const bool regular = ::fstat(fd.get(), &info) == 0 && S_ISREG(info.st_mode);
        if (!regular || info.st_size < static_cast<off_t>(sizeof(ElfW(Ehdr))) ||
            info.st_size > kMaxFileSize) {
            return fail(error, "not a regular file of a plausible size");
        }
        size_ = static_cast<size_t>(info.st_size);
        // The mapping outlives the descriptor, which closes on return.
        void* mapped = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd.get(), 0);
        if (mapped == MAP_FAILED)
            return fail(error, "cannot map: " + std::string(std::strerror(errno)));
        data_ = static_cast<const unsigned char*>(mapped);
        return true;
    }
    ~MappedFile() {
        if (data_ != nullptr) ::munmap(const_cast<unsigned char*>(data_), size_);
    }
    /// `count` records of T at `offset`, or null when they do not lie inside.
    template <typename T>
    const T* at(uint64_t offset, uint64_t count = 1) const {
        if (offset > size_ || count > (size_ - offset) / sizeof(T)) return nullptr;
        if (offset % alignof(T) != 0) return nullptr;
        return reinterpret_cast<const T*>(data_ + offset);
    }
    size_t size() const { return size_; }
    const unsigned char* data() const { return data_; }

  private:
    static bool fail(std::string* error, std::string text) {
        if (error != nullptr) *error = std::move(text);
        return false;
    }
    const unsigned char* data_ = nullptr;
    size_t size_ = 0;
};

struct Candidate {
    uintptr_t start;
    uintptr_t size;
    uint32_t nameOffset;  // into the file's string table
    bool global;
};

std::mutex& indexMutex() {
    static platform::NoDestructor<std::mutex> mutex;
    return *mutex;
}

/// Images already indexed, or given up on, by runtime address and name.
std::set<std::pair<uintptr_t, std::string>>& seenImages() {
    static platform::NoDestructor<std::set<std::pair<uintptr_t, std::string>>> seen;
    return *seen;
}

}  // namespace

const SymbolIndex* buildSymbolIndex(const std::string& path, uintptr_t imageAddress,
                                    uintptr_t vmaddr, std::string* error) {
    MappedFile file;
    if (!file.open(path, error)) return nullptr;
    const auto* header = file.at<ElfW(Ehdr)>(0);
    if (header == nullptr || std::memcmp(header->e_ident, ELFMAG, SELFMAG) != 0 ||
        header->e_ident[EI_CLASS] != ELFCLASS64 || header->e_shentsize != sizeof(ElfW(Shdr))) {
        if (error != nullptr) *error = "not a 64-bit ELF file";
        return nullptr;
    }
    const auto* sections = file.at<ElfW(Shdr)>(header->e_shoff, header->e_shnum);
    if (sections == nullptr || header->e_shnum == 0) {
        if (error != nullptr) *error = "no section headers";
        return nullptr;
    }
    // The full table when the file has one, else the exported one.
    const ElfW(Shdr)* table = nullptr;
    for (int wanted : {SHT_SYMTAB, SHT_DYNSYM}) {
        for (uint16_t i = 0; i < header->e_shnum && table == nullptr; ++i) {
            if (sections[i].sh_type == static_cast<uint32_t>(wanted)) table = &sections[i];
        }
        if (table != nullptr) break;
    }
    if (table == nullptr || table->sh_link >= header->e_shnum ||
        table->sh_entsize != sizeof(ElfW(Sym))) {
        if (error != nullptr) *error = "no symbol table";
        return nullptr;
    }
    const ElfW(Shdr)& strings = sections[table->sh_link];
    const uint64_t symbolCount = table->sh_size / sizeof(ElfW(Sym));
    const auto* symbols = file.at<ElfW(Sym)>(table->sh_offset, symbolCount);
    const char* stringData = file.at<char>(strings.sh_offset, strings.sh_size);
    if (symbols == nullptr || stringData == nullptr || symbolCount > kMaxSymbols) {
        if (error != nullptr) *error = "symbol table out of the file's bounds";
        return nullptr;
    }

    const uintptr_t bias = imageAddress - vmaddr;
    std::vector<Candidate> candidates;
    for (uint64_t i = 0; i < symbolCount; ++i) {
        const ElfW(Sym)& symbol = symbols[i];
        const unsigned type = ELF64_ST_TYPE(symbol.st_info);
        if (type != STT_FUNC && type != STT_GNU_IFUNC) continue;
        if (symbol.st_shndx == SHN_UNDEF || symbol.st_shndx == SHN_ABS || symbol.st_value == 0) {
            continue;
        }
        if (symbol.st_name == 0 || symbol.st_name >= strings.sh_size) continue;
        // Names must end inside the table.
        if (std::memchr(stringData + symbol.st_name, '\0', strings.sh_size - symbol.st_name) ==
            nullptr) {
            continue;
        }
        candidates.push_back({bias + symbol.st_value, symbol.st_size, symbol.st_name,
                              ELF64_ST_BIND(symbol.st_info) == STB_GLOBAL});
    }
    // By address; of aliases at one address the global one, then the larger.
    std::sort(candidates.begin(), candidates.end(), [](const Candidate& a, const Candidate& b) {
        if (a.start != b.start) return a.start < b.start;
        if (a.global != b.global) return a.global;
        return a.size > b.size;
    });
    candidates.erase(
        std::unique(candidates.begin(), candidates.end(),
                    [](const Candidate& a, const Candidate& b) { return a.start == b.start; }),
        candidates.end());

    auto* owned = new OwnedIndex();
    size_t namesSize = 0;
    for (const auto& candidate : candidates)
        namesSize += std::strlen(stringData + candidate.nameOffset) + 1;
    owned->names.resize(namesSize);
    owned->symbols.reserve(candidates.size());
    size_t used = 0;
    for (const auto& candidate : candidates) {
        const char* name = stringData + candidate.nameOffset;
        const size_t length = std::strlen(name) + 1;
        std::memcpy(owned->names.data() + used, name, length);
        owned->symbols.push_back({candidate.start, candidate.size, owned->names.data() + used});
        used += length;
    }
    owned->index.imageAddress = imageAddress;
    owned->index.symbols = owned->symbols.data();
    owned->index.count = static_cast<uint32_t>(owned->symbols.size());
    return &owned->index;
}

size_t updateSymbolIndexes() {
    struct Pending {
        uintptr_t address;
        uintptr_t vmaddr;
        uintptr_t dynamicAddress;
        const char* name;
    };
    std::vector<Pending> pending;
    std::lock_guard guard(indexMutex());
    BinaryImageList::iterate([&pending](const BinaryImage& image) {
        // Images without a file (the vDSO) keep their exported names.
        if (image.name == nullptr || image.name[0] != '/') return;
        if (seenImages().count({image.address, image.name}) != 0) return;
        pending.push_back({image.address, image.vmaddr, image.dynamicAddress, image.name});
    });
    size_t indexed = 0;
    for (const auto& image : pending) {
        seenImages().emplace(image.address, image.name);
        std::string error;
        const SymbolIndex* built =
            buildSymbolIndex(image.name, image.address, image.vmaddr, &error);
        if (built == nullptr) {
            SKALD_LOG_DEBUG("No symbol index for %s: %s", image.name, error.c_str());
            continue;
        }
        // Completed here, where the image table's own values are known.
        auto* index = const_cast<SymbolIndex*>(built);
        index->dynamicAddress = image.dynamicAddress;
        index->imageName = image.name;
        if (publishSymbolIndex(index)) ++indexed;
    }
    return indexed;
}

}  // namespace skald::crash
