#include "core/stack_entry_mapper.h"

#include <cxxabi.h>

#include <cstdlib>
#include <string>
#include <utility>

#include "core/dependency_container.h"
#include "crash/recording/binary_image_cache.h"
#include "crash/reporting/hex_address.h"

namespace skald::crash {

namespace {

// Readable C++ names; anything that does not demangle is kept as it is.
std::string demangledName(const char* symbol) {
    int status = 0;
    char* readable = abi::__cxa_demangle(symbol, nullptr, nullptr, &status);
    std::string name = status == 0 && readable != nullptr ? readable : symbol;
    std::free(readable);
    return name;
}

}  // namespace

StackEntryMapper::StackEntryMapper(std::shared_ptr<InAppLogic> inAppLogic,
                                   std::shared_ptr<BinaryImageCache> binaryImageCache)
    : inAppLogic_(std::move(inAppLogic)), binaryImageCache_(std::move(binaryImageCache)) {}

std::shared_ptr<Frame> StackEntryMapper::skaldCrashStackEntryToSkaldFrame(
    const StackEntry& stackEntry) const {
    auto frame = std::make_shared<Frame>();
    if (stackEntry.symbolAddress != 0) frame->symbolAddress = hexAddress(stackEntry.symbolAddress);
    frame->instructionAddress = hexAddress(stackEntry.address);
    frame->instruction = stackEntry.address;
    if (stackEntry.symbolName != nullptr) frame->function = demangledName(stackEntry.symbolName);

    if (stackEntry.imageAddress != 0 || stackEntry.imageName != nullptr) {
        frame->imageAddress = hexAddress(stackEntry.imageAddress);
        if (stackEntry.imageName != nullptr) {
            frame->package = stackEntry.imageName;
            frame->inApp = inAppLogic_ && inAppLogic_->isInApp(frame->package);
        }
        return frame;
    }

    const auto cache = binaryImageCache_
                           ? binaryImageCache_
                           : DependencyContainer::sharedInstance()->binaryImageCache();
    if (!cache) return frame;
    if (const auto image = cache->imageByAddress(stackEntry.address)) {
        frame->imageAddress = hexAddress(image->address);
        frame->package = image->name;
        frame->inApp = inAppLogic_ && inAppLogic_->isInApp(image->name);
    }
    return frame;
}

std::shared_ptr<Frame> StackEntryMapper::mapStackEntryWithCursor(
    const StackCursor& stackCursor) const {
    return skaldCrashStackEntryToSkaldFrame(stackCursor.stackEntry);
}

}  // namespace skald::crash
