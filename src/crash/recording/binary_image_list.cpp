#include "crash/recording/binary_image_list.h"

#include <link.h>
#include <unistd.h>

#include <climits>
#include <mutex>
#include <set>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "crash/async_safe/elf_image.h"
#include "util/log.h"

namespace skald::crash {

namespace {

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
    if (!describeElfImage(info->dlpi_addr, info->dlpi_phdr, info->dlpi_phnum, &image)) return 0;
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
