#include "crash/recording/binary_image_list.h"

#include <elf.h>
#include <link.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "core/log.h"

namespace skald::crash {

namespace {

#if defined(__x86_64__)
constexpr int32_t kMachine = EM_X86_64;
#elif defined(__aarch64__)
constexpr int32_t kMachine = EM_AARCH64;
#else
constexpr int32_t kMachine = EM_NONE;
#endif

struct Observer {
    uint64_t token;
    BinaryImageList::Callback added;
    BinaryImageList::Callback removed;
};

struct ListState {
    std::mutex lock;
    bool started = false;
    bool filled = false;
    uint64_t nextToken = 1;
    std::vector<Observer> observers;
    // Image names live for the process: crash-time readers keep pointers to
    // them. Interned, so an image loaded again does not add a copy.
    std::unordered_set<std::string> names;
    const char* executableName = nullptr;
    bool executableNameRead = false;
};

// Never destroyed: crash handlers may run while static destructors do.
ListState& listState() {
    static auto* state = new ListState;
    return *state;
}

const char* intern(ListState& state, const char* name) {
    return state.names.emplace(name).first->c_str();
}

// The main executable has no name in the loader's list.
const char* executableName(ListState& state) {
    if (!state.executableNameRead) {
        state.executableNameRead = true;
        char path[PATH_MAX];
        const ssize_t length = ::readlink("/proc/self/exe", path, sizeof(path) - 1);
        if (length > 0) {
            path[length] = '\0';
            state.executableName = intern(state, path);
        }
    }
    return state.executableName;
}

size_t alignUp(size_t value, size_t alignment) {
    return (value + alignment - 1) & ~(alignment - 1);
}

/// Looks for the GNU build-id note in one PT_NOTE segment.
bool readBuildId(const unsigned char* notes, size_t size, size_t alignment, BinaryImage& image) {
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
            std::memcpy(image.buildId, notes + descOffset, length);
            image.buildIdLength = static_cast<uint8_t>(length);
            return true;
        }
        offset = descOffset + alignUp(header.n_descsz, alignment);
        if (offset >= size) return false;
    }
    return false;
}

/// A pointer from the dynamic section: the loader has relocated most of them
/// already, but not those of the vDSO, which are link-time values.
uintptr_t dynamicPointer(const dl_phdr_info& info, uintptr_t value) {
    return value < info.dlpi_addr ? value + info.dlpi_addr : value;
}

/// The number of symbols in a GNU hash table: the highest symbol index the
/// chains reach, plus one.
uint32_t gnuHashSymbolCount(const uint32_t* table) {
    const uint32_t bucketCount = table[0];
    const uint32_t symbolOffset = table[1];
    const uint32_t bloomSize = table[2];
    const auto* buckets = reinterpret_cast<const uint32_t*>(
        reinterpret_cast<const ElfW(Addr)*>(table + 4) + bloomSize);
    const uint32_t* chains = buckets + bucketCount;
    uint32_t highest = 0;
    for (uint32_t i = 0; i < bucketCount; ++i) highest = std::max(highest, buckets[i]);
    if (highest < symbolOffset) return symbolOffset;
    while ((chains[highest - symbolOffset] & 1U) == 0) ++highest;
    return highest + 1;
}

/// Finds the dynamic symbol and string tables, so that crash-time code can
/// name addresses without asking the loader.
void describeSymbols(const dl_phdr_info& info, BinaryImage& image) {
    const ElfW(Dyn)* dynamic = nullptr;
    for (int i = 0; i < info.dlpi_phnum; ++i) {
        if (info.dlpi_phdr[i].p_type == PT_DYNAMIC) {
            dynamic =
                reinterpret_cast<const ElfW(Dyn)*>(info.dlpi_addr + info.dlpi_phdr[i].p_vaddr);
        }
    }
    if (dynamic == nullptr) return;
    uintptr_t symbols = 0, strings = 0, stringsSize = 0, hash = 0, gnuHash = 0;
    uintptr_t entrySize = sizeof(ElfW(Sym));
    for (const ElfW(Dyn)* entry = dynamic; entry->d_tag != DT_NULL; ++entry) {
        switch (entry->d_tag) {
            case DT_SYMTAB:
                symbols = dynamicPointer(info, entry->d_un.d_ptr);
                break;
            case DT_STRTAB:
                strings = dynamicPointer(info, entry->d_un.d_ptr);
                break;
            case DT_STRSZ:
                stringsSize = entry->d_un.d_val;
                break;
            case DT_HASH:
                hash = dynamicPointer(info, entry->d_un.d_ptr);
                break;
            case DT_GNU_HASH:
                gnuHash = dynamicPointer(info, entry->d_un.d_ptr);
                break;
            case DT_SYMENT:
                entrySize = entry->d_un.d_val;
                break;
            default:
                break;
        }
    }
    const auto inside = [&](uintptr_t address, uintptr_t length) {
        return address >= image.address && length <= image.size &&
               address - image.address <= image.size - length;
    };
    if (entrySize != sizeof(ElfW(Sym)) || !inside(symbols, 1) || !inside(strings, stringsSize)) {
        return;
    }
    uint32_t count = 0;
    if (hash != 0 && inside(hash, 8)) {
        count = reinterpret_cast<const uint32_t*>(hash)[1];
    } else if (gnuHash != 0 && inside(gnuHash, 16)) {
        count = gnuHashSymbolCount(reinterpret_cast<const uint32_t*>(gnuHash));
    }
    if (count == 0 || !inside(symbols, static_cast<uintptr_t>(count) * sizeof(ElfW(Sym)))) return;
    image.symbolTable = symbols;
    image.symbolCount = count;
    image.stringTable = strings;
    image.stringTableSize = stringsSize;
}

/// Fills everything but the name from the program headers; false for an
/// object with nothing loaded.
bool describeImage(const dl_phdr_info& info, BinaryImage& image) {
    static const uintptr_t pageMask = ~(static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE)) - 1);
    uintptr_t low = UINTPTR_MAX;
    uintptr_t high = 0;
    for (int i = 0; i < info.dlpi_phnum; ++i) {
        const ElfW(Phdr)& segment = info.dlpi_phdr[i];
        if (segment.p_type != PT_LOAD) continue;
        low = std::min<uintptr_t>(low, segment.p_vaddr & pageMask);
        high = std::max<uintptr_t>(high, segment.p_vaddr + segment.p_memsz);
        if ((segment.p_flags & PF_X) != 0 && image.textSize == 0) {
            image.textAddress = info.dlpi_addr + segment.p_vaddr;
            image.textSize = segment.p_memsz;
        }
    }
    if (high <= low) return false;
    image.address = info.dlpi_addr + low;
    image.vmaddr = low;
    image.size = high - low;
    image.cpuType = kMachine;
    image.cpuSubtype = 0;

    // Only notes that lie inside a loaded segment are mapped and readable.
    for (int i = 0; i < info.dlpi_phnum && image.buildIdLength == 0; ++i) {
        const ElfW(Phdr)& note = info.dlpi_phdr[i];
        if (note.p_type != PT_NOTE) continue;
        bool mapped = false;
        for (int j = 0; j < info.dlpi_phnum && !mapped; ++j) {
            const ElfW(Phdr)& load = info.dlpi_phdr[j];
            mapped = load.p_type == PT_LOAD && note.p_vaddr >= load.p_vaddr &&
                     note.p_vaddr + note.p_memsz <= load.p_vaddr + load.p_memsz;
        }
        if (!mapped) continue;
        readBuildId(reinterpret_cast<const unsigned char*>(info.dlpi_addr + note.p_vaddr),
                    note.p_memsz, note.p_align, image);
    }
    describeSymbols(info, image);
    return true;
}

struct Fill {
    ListState* state;
    BinaryImageGeneration* generation;
    bool first = true;
    size_t dropped = 0;
};

int addImage(dl_phdr_info* info, size_t /*size*/, void* data) {
    auto& fill = *static_cast<Fill*>(data);
    BinaryImageGeneration& generation = *fill.generation;
    if (fill.first) {
        // The loader's lock is held for the whole walk: these counters match
        // exactly the images listed.
        fill.first = false;
        generation.adds = info->dlpi_adds;
        generation.subs = info->dlpi_subs;
    }
    if (generation.count == kMaxBinaryImages) {
        ++fill.dropped;
        return 0;
    }
    BinaryImage image{};
    if (!describeImage(*info, image)) return 0;
    image.name = info->dlpi_name != nullptr && info->dlpi_name[0] != '\0'
                     ? intern(*fill.state, info->dlpi_name)
                     : executableName(*fill.state);
    generation.images[generation.count++] = image;
    return 0;
}

struct Counters {
    unsigned long long adds = 0;
    unsigned long long subs = 0;
};

int readCounters(dl_phdr_info* info, size_t /*size*/, void* data) {
    auto& counters = *static_cast<Counters*>(data);
    counters.adds = info->dlpi_adds;
    counters.subs = info->dlpi_subs;
    return 1;  // the first object carries them; stop there
}

using ImageKey = std::pair<uintptr_t, const char*>;

std::set<ImageKey> keysOf(const BinaryImageReader& images) {
    std::set<ImageKey> keys;
    for (const BinaryImage& image : images) keys.emplace(image.address, image.name);
    return keys;
}

void tell(const ListState& state, const BinaryImage& image, bool added) {
    for (const Observer& observer : state.observers) {
        const auto& callback = added ? observer.added : observer.removed;
        if (callback) callback(&image);
    }
}

void tellAll(const ListState& state, bool added) {
    const BinaryImageReader images;
    for (const BinaryImage& image : images) tell(state, image, added);
}

/// Caller holds the lock. `notify`: report what changed to the observers.
bool refreshLocked(ListState& state, bool notify) {
    // Holds the current snapshot: the rebuild goes into the other one, and
    // removed images stay readable while the observers hear of them.
    const BinaryImageReader previous;
    if (state.filled) {
        Counters now;
        ::dl_iterate_phdr(readCounters, &now);
        if (now.adds == previous.generation().adds && now.subs == previous.generation().subs) {
            return false;
        }
    }

    Fill fill{&state, &beginBinaryImageWrite()};
    fill.generation->count = 0;
    ::dl_iterate_phdr(addImage, &fill);
    publishBinaryImageWrite();
    state.filled = true;
    if (fill.dropped > 0) {
        SKALD_LOG_WARNING("%zu loaded images are left out of the image table (room for %zu).",
                          fill.dropped, kMaxBinaryImages);
    }
    if (!notify || state.observers.empty()) return true;

    // Before the first fill `previous` is the empty initial snapshot.
    const BinaryImageReader current;
    const std::set<ImageKey> before = keysOf(previous);
    const std::set<ImageKey> after = keysOf(current);
    for (const BinaryImage& image : previous) {
        if (after.count({image.address, image.name}) == 0) tell(state, image, false);
    }
    for (const BinaryImage& image : current) {
        if (before.count({image.address, image.name}) == 0) tell(state, image, true);
    }
    return true;
}

}  // namespace

void BinaryImageList::start() {
    auto& state = listState();
    std::lock_guard guard(state.lock);
    if (state.started) return;
    refreshLocked(state, false);
    state.started = true;
    tellAll(state, true);
}

void BinaryImageList::stop() {
    auto& state = listState();
    std::lock_guard guard(state.lock);
    if (!state.started) return;
    state.started = false;
    tellAll(state, false);
}

bool BinaryImageList::isStarted() {
    auto& state = listState();
    std::lock_guard guard(state.lock);
    return state.started;
}

bool BinaryImageList::refresh() {
    auto& state = listState();
    std::lock_guard guard(state.lock);
    return refreshLocked(state, state.started);
}

void BinaryImageList::iterate(const std::function<void(const BinaryImage& image)>& visit) {
    const BinaryImageReader images;
    for (const BinaryImage& image : images) visit(image);
}

uint64_t BinaryImageList::addObserver(Callback added, Callback removed) {
    auto& state = listState();
    std::lock_guard guard(state.lock);
    const uint64_t token = state.nextToken++;
    state.observers.push_back({token, std::move(added), std::move(removed)});
    if (state.started && state.observers.back().added) {
        const BinaryImageReader images;
        for (const BinaryImage& image : images) state.observers.back().added(&image);
    }
    return token;
}

void BinaryImageList::removeObserver(uint64_t token) {
    auto& state = listState();
    std::lock_guard guard(state.lock);
    std::erase_if(state.observers,
                  [token](const Observer& observer) { return observer.token == token; });
}

}  // namespace skald::crash
