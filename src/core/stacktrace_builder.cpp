#include "core/stacktrace_builder.h"

#include <dlfcn.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "crash/async_safe/binary_images.h"
#include "crash/recording/binary_image_list.h"
#include "crash/recording/self_thread_cursor.h"
#include "crash/reporting/frame_remover.h"

namespace skald {

namespace {

/// Fills the entry's image and symbol from the loader; false when no loaded
/// object holds the address.
bool symbolicateWithLoader(crash::StackEntry& entry) {
    // A return address points after the call; look up the call itself.
    const auto address = reinterpret_cast<void*>(entry.address - 1);
    Dl_info info{};
    if (::dladdr(address, &info) == 0) return false;
    entry.imageAddress = reinterpret_cast<uintptr_t>(info.dli_fbase);
    entry.imageName = info.dli_fname;
    // The loader names the main executable as it was started (a relative
    // path, often); the image table holds its full path.
    crash::BinaryImage image;
    if (crash::findBinaryImage(entry.address - 1, &image) && image.address == entry.imageAddress &&
        image.name != nullptr) {
        entry.imageName = image.name;
    }
    entry.symbolName = info.dli_sname;
    entry.symbolAddress = reinterpret_cast<uintptr_t>(info.dli_saddr);
    return true;
}

// The image table's full symbol tables name static functions too, which the
// loader does not know; the loader covers images the table has not seen.
bool symbolicateEntry(crash::StackCursor& cursor) {
    if (crash::symbolicateCursor(&cursor) && cursor.stackEntry.symbolName != nullptr) return true;
    crash::StackEntry& entry = cursor.stackEntry;
    const uintptr_t address = entry.address;
    entry = crash::StackEntry{};
    entry.address = address;
    return symbolicateWithLoader(entry);
}

// The SDK is linked statically into its host, so its frames carry the host's
// package; its own functions are recognised by their namespace instead.
bool isSdkSymbol(uintptr_t address) {
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(address - 1), &info) == 0 || info.dli_sname == nullptr)
        return false;
    return crash::FrameRemover::isSdkFunction(info.dli_sname);
}

}  // namespace

StacktraceBuilder::StacktraceBuilder(std::shared_ptr<crash::StackEntryMapper> stackEntryMapper)
    : stackEntryMapper_(std::move(stackEntryMapper)) {}

__attribute__((noinline)) std::shared_ptr<Stacktrace>
StacktraceBuilder::buildStacktraceForCurrentThread(int maxEntries) {
    // Images loaded since the last look must be known before frames are mapped.
    crash::BinaryImageList::refresh();
    crash::StackCursor cursor;
    // Skip the return address into this function: start at its caller.
    crash::initSelfThreadCursor(&cursor, 1, maxEntries);
    return buildStacktrace(cursor);
}

std::shared_ptr<Stacktrace> StacktraceBuilder::buildStacktraceForAddresses(
    const uintptr_t* addresses, int count, int maxEntries) {
    crash::StackCursor cursor;
    crash::initBacktraceCursor(&cursor, addresses, count < maxEntries ? count : maxEntries, 0);
    cursor.firstEntryIsExact = true;
    return buildStacktrace(cursor);
}

std::shared_ptr<Stacktrace> StacktraceBuilder::buildStacktrace(crash::StackCursor& cursor) {
    std::vector<std::shared_ptr<Frame>> frames;
    size_t leadingSdkFrames = 0;
    bool inLeadingSdkFrames = true;
    while (crash::advanceCursor(&cursor)) {
        crash::StackEntry& entry = cursor.stackEntry;
        if (entry.address == crash::kAsyncMarkerAddress) {
            if (!frames.empty()) frames.back()->stackStart = true;
            continue;
        }
        if (symbolicate && !symbolicateEntry(cursor)) continue;
        if (inLeadingSdkFrames) {
            inLeadingSdkFrames = isSdkSymbol(entry.address);
            if (inLeadingSdkFrames) ++leadingSdkFrames;
        }
        frames.push_back(stackEntryMapper_->mapStackEntryWithCursor(cursor));
    }
    if (leadingSdkFrames < frames.size())
        frames.erase(frames.begin(), frames.begin() + leadingSdkFrames);
    frames = crash::FrameRemover::removeNonSdkFrames(frames);
    std::reverse(frames.begin(), frames.end());
    return std::make_shared<Stacktrace>(std::move(frames), std::map<std::string, std::string>{});
}

}  // namespace skald
