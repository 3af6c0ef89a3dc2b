// Async-signal-safe: stack walks over memory known to be mapped, and symbolication.
#include "crash/async_safe/stack_cursor.h"

#include "crash/async_safe/binary_images.h"
#include "crash/async_safe/symbol_lookup.h"

namespace skald::crash {

namespace {

constexpr uintptr_t kFrameRecordSize = 2 * sizeof(uintptr_t);

void clearEntry(StackEntry& entry) {
    entry = StackEntry{};
}

/// The next return address of a frame-pointer walk; false at its end.
bool nextFramePointerAddress(StackCursor* cursor, uintptr_t* address) {
    auto& walk = cursor->state.framePointer;
    if (!walk.firstTaken) {
        walk.firstTaken = true;
        if (walk.firstAddress != 0) {
            *address = walk.firstAddress;
            return true;
        }
    }
    const uintptr_t frame = walk.nextFramePointer;
    if (frame == 0 || frame % sizeof(uintptr_t) != 0 || frame < walk.stackLow ||
        walk.stackHigh < kFrameRecordSize || frame > walk.stackHigh - kFrameRecordSize) {
        return false;
    }
    const auto* record = reinterpret_cast<const uintptr_t*>(frame);
    const uintptr_t callerFrame = record[0];
    const uintptr_t returnAddress = record[1];
    if (returnAddress == 0) return false;
    // Callers' frames lie higher up; anything else is a broken chain.
    walk.nextFramePointer = callerFrame > frame ? callerFrame : 0;
    *address = returnAddress;
    return true;
}

bool advanceFramePointer(StackCursor* cursor) {
    auto& walk = cursor->state.framePointer;
    uintptr_t address = 0;
    for (; walk.skipLeft > 0; --walk.skipLeft) {
        if (!nextFramePointerAddress(cursor, &address)) return false;
    }
    if (!nextFramePointerAddress(cursor, &address)) return false;
    if (cursor->depth >= cursor->maxDepth) {
        cursor->hasGivenUp = true;
        return false;
    }
    clearEntry(cursor->stackEntry);
    cursor->stackEntry.address = address;
    ++cursor->depth;
    return true;
}

void resetFramePointer(StackCursor* cursor) {
    auto& walk = cursor->state.framePointer;
    walk.nextFramePointer = walk.framePointer;
    walk.firstTaken = false;
    walk.skipLeft = walk.skip;
    cursor->depth = 0;
    cursor->hasGivenUp = false;
    clearEntry(cursor->stackEntry);
}

bool advanceBacktrace(StackCursor* cursor) {
    auto& walk = cursor->state.backtrace;
    if (walk.index >= walk.count) {
        if (cursor->sourceTruncated) cursor->hasGivenUp = true;
        return false;
    }
    const uintptr_t address = walk.addresses[walk.index];
    if (address == 0 || address == 1) return false;
    if (cursor->depth >= cursor->maxDepth) {
        cursor->hasGivenUp = true;
        return false;
    }
    ++walk.index;
    clearEntry(cursor->stackEntry);
    cursor->stackEntry.address = address;
    ++cursor->depth;
    return true;
}

void resetBacktrace(StackCursor* cursor) {
    auto& walk = cursor->state.backtrace;
    walk.index = walk.skip < walk.count ? walk.skip : walk.count;
    cursor->depth = 0;
    cursor->hasGivenUp = false;
    clearEntry(cursor->stackEntry);
}

}  // namespace

void initFramePointerCursor(StackCursor* cursor, uintptr_t firstAddress, uintptr_t framePointer,
                            uintptr_t stackLow, uintptr_t stackHigh, int skipEntries,
                            int maxDepth) {
    *cursor = StackCursor{};
    cursor->maxDepth = maxDepth;
    cursor->advanceCursor = advanceFramePointer;
    cursor->resetCursor = resetFramePointer;
    cursor->symbolicate = symbolicateFromImages;
    auto& walk = cursor->state.framePointer;
    walk.firstAddress = firstAddress;
    walk.framePointer = framePointer;
    walk.stackLow = stackLow;
    walk.stackHigh = stackHigh;
    walk.skip = skipEntries > 0 ? skipEntries : 0;
    resetFramePointer(cursor);
}

void initBacktraceCursor(StackCursor* cursor, const uintptr_t* addresses, int count,
                         int skipEntries) {
    *cursor = StackCursor{};
    cursor->maxDepth = count > 0 ? count : 0;
    cursor->advanceCursor = advanceBacktrace;
    cursor->resetCursor = resetBacktrace;
    cursor->symbolicate = symbolicateFromImages;
    auto& walk = cursor->state.backtrace;
    walk.addresses = addresses;
    walk.count = count > 0 ? count : 0;
    walk.skip = skipEntries > 0 ? skipEntries : 0;
    resetBacktrace(cursor);
}

bool symbolicateFromImages(StackCursor* cursor) {
    StackEntry& entry = cursor->stackEntry;
    if (entry.address == kAsyncMarkerAddress) {
        entry.imageName = nullptr;
        entry.imageAddress = 0;
        entry.symbolName = kAsyncMarkerSymbol;
        entry.symbolAddress = 0;
        return true;
    }
    // A return address points after the call; look up the call itself.
    const uintptr_t lookup =
        cursor->firstEntryIsExact && cursor->depth == 1 ? entry.address : entry.address - 1;
    BinaryImage image;
    if (!findBinaryImage(lookup, &image)) return false;
    entry.imageName = image.name;
    entry.imageAddress = image.address;
    const char* symbolName = nullptr;
    uintptr_t symbolAddress = 0;
    if (lookupSymbol(image, lookup, &symbolName, &symbolAddress)) {
        entry.symbolName = symbolName;
        entry.symbolAddress = symbolAddress;
    }
    return true;
}

}  // namespace skald::crash
