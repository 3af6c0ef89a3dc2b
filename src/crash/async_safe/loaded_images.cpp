// Async-signal-safe: static storage, fault-free copies, no locks. The loader's
// list of loaded objects is the one it keeps for debuggers, which are meant
// to read it while the process is stopped; dl_iterate_phdr would take the
// loader's lock, which a stopped thread may hold.
#include "crash/async_safe/loaded_images.h"

#include <limits.h>
#include <link.h>

#include <atomic>
#include <cstring>

#include "crash/async_safe/binary_images.h"
#include "crash/async_safe/elf_image.h"
#include "crash/async_safe/memory.h"

namespace skald::crash::images {

namespace {

/// Steps along the list at most: it cannot be longer than the table, unless
/// it is broken (a loop).
constexpr size_t kMaxListWalk = kMaxBinaryImages * 2;
/// Names of objects described at crash time are kept here.
constexpr size_t kNamePoolSize = 64 * 1024;

char gNamePool[kNamePoolSize];
size_t gNamePoolUsed = 0;
char gExecutablePath[PATH_MAX];
std::atomic<bool> gHaveExecutablePath{false};
bool gListed[kMaxBinaryImages];

/// A copy of the loader's name for an object, which lives in the loader's
/// memory; null when it cannot be read or there is no room.
const char* copyName(const char* name) {
    if (name == nullptr) return nullptr;
    size_t room = kNamePoolSize - gNamePoolUsed;
    if (room > PATH_MAX) room = PATH_MAX;
    if (room < 2) return nullptr;
    char* out = gNamePool + gNamePoolUsed;
    const size_t copied = memory::copyMaxPossible(name, out, room - 1);
    const size_t length = strnlen(out, copied);
    out[length] = '\0';
    gNamePoolUsed += length + 1;
    return out;
}

/// Appends `image` unless the table is full. With `checkTables`, symbol
/// tables that cannot be read are dropped rather than read later; an object
/// that the loader lists is mapped whole and needs no such check.
void append(BinaryImageGeneration& table, const BinaryImage& image, bool checkTables) {
    if (table.count == kMaxBinaryImages) return;
    BinaryImage& added = table.images[table.count++];
    added = image;
    if (checkTables && !symbolTablesReadable(added)) {
        added.symbolTable = 0;
        added.symbolCount = 0;
    }
}

/// The prepared image with this dynamic section, or -1.
int preparedIndex(const BinaryImageReader& prepared, uintptr_t dynamic) {
    if (dynamic == 0) return -1;
    for (size_t i = 0; i < prepared.count(); ++i) {
        if (prepared[i].dynamicAddress == dynamic) return static_cast<int>(i);
    }
    return -1;
}

/// A prepared image that is not in the loader's main list (one of another
/// namespace, say) is kept if its headers are still in place.
bool stillLoaded(const BinaryImage& image) {
    ElfW(Phdr) headers[kMaxProgramHeaders];
    return readProgramHeaders(image.address - image.vmaddr, image.dynamicAddress, headers,
                              kMaxProgramHeaders) > 0;
}

}  // namespace

bool captureLoadedImages() {
    r_debug debug;
    if (!memory::copySafely(&_r_debug, &debug, sizeof debug) || debug.r_map == nullptr) {
        return false;
    }
    BinaryImageGeneration& table = crashTimeBinaryImages();
    table.count = 0;
    gNamePoolUsed = 0;
    {
        const BinaryImageReader prepared;
        table.adds = prepared.generation().adds;
        table.subs = prepared.generation().subs;
        for (size_t i = 0; i < prepared.count(); ++i) gListed[i] = false;

        const link_map* node = debug.r_map;
        for (size_t steps = 0; node != nullptr && steps < kMaxListWalk; ++steps) {
            link_map entry;
            if (!memory::copySafely(node, &entry, sizeof entry)) break;
            node = entry.l_next;
            const auto dynamic = reinterpret_cast<uintptr_t>(entry.l_ld);
            const int index = preparedIndex(prepared, dynamic);
            if (index >= 0) {
                if (!gListed[index]) append(table, prepared[static_cast<size_t>(index)], false);
                gListed[index] = true;
                continue;
            }
            // Loaded since the prepared table was last refreshed.
            ElfW(Phdr) headers[kMaxProgramHeaders];
            const int headerCount =
                readProgramHeaders(entry.l_addr, dynamic, headers, kMaxProgramHeaders);
            BinaryImage image{};
            if (headerCount == 0 || !describeElfImage(entry.l_addr, headers, headerCount, &image)) {
                continue;
            }
            image.name = copyName(entry.l_name);
            if ((image.name == nullptr || image.name[0] == '\0') && gHaveExecutablePath.load()) {
                image.name = gExecutablePath;
            }
            // Described from memory that the loader may be changing.
            append(table, image, true);
        }
        for (size_t i = 0; i < prepared.count(); ++i) {
            if (!gListed[i] && stillLoaded(prepared[i])) append(table, prepared[i], true);
        }
    }
    useCrashTimeBinaryImages(true);
    return true;
}

void releaseLoadedImages() {
    useCrashTimeBinaryImages(false);
}

void setExecutablePath(const char* path) {
    if (path == nullptr || gHaveExecutablePath.load()) return;
    const size_t length = strnlen(path, sizeof gExecutablePath - 1);
    std::memcpy(gExecutablePath, path, length);
    gExecutablePath[length] = '\0';
    gHaveExecutablePath.store(true);
}

}  // namespace skald::crash::images
