#include "crash/recording/binary_image_cache.h"

#include <algorithm>

#include "crash/recording/binary_image_list.h"
#include "model/in_app_logic.h"
#include "platform/base/utf8.h"
#include "skald/json.h"
#include "util/log.h"

namespace skald::crash {

BinaryImageCache::~BinaryImageCache() {
    stop();
}

void BinaryImageCache::start() {
    std::lock_guard startGuard(startLock_);
    if (observerToken_) BinaryImageList::removeObserver(*observerToken_);
    {
        std::lock_guard guard(lock_);
        cache_.emplace();
    }
    observerToken_ = BinaryImageList::addObserver(
        [this](const BinaryImage* image) { binaryImageAdded(image); },
        [this](const BinaryImage* image) { binaryImageRemoved(image); });
}

void BinaryImageCache::stop() {
    std::lock_guard startGuard(startLock_);
    if (observerToken_) BinaryImageList::removeObserver(*observerToken_);
    observerToken_.reset();
    std::lock_guard guard(lock_);
    cache_.reset();
}

void BinaryImageCache::binaryImageAdded(const BinaryImage* image) {
    if (image == nullptr) {
        SKALD_LOG_WARNING("The image is NULL. Can't add NULL to cache.");
        return;
    }
    if (image->name == nullptr) {
        SKALD_LOG_WARNING("The image name was NULL. Can't add image to cache.");
        return;
    }
    if (!platform::isValidUtf8(image->name)) {
        SKALD_LOG_WARNING(
            "Couldn't convert the cString image name to an NSString. This could be due to a "
            "different encoding than NSUTF8StringEncoding of the cString..");
        return;
    }
    BinaryImageInfo info{image->name, image->address, image->size};
    std::lock_guard guard(lock_);
    if (!cache_) return;
    const auto position = std::upper_bound(
        cache_->begin(), cache_->end(), info.address,
        [](uint64_t address, const BinaryImageInfo& entry) { return address < entry.address; });
    cache_->insert(position, std::move(info));
}

void BinaryImageCache::binaryImageRemoved(const BinaryImage* image) {
    if (image == nullptr) {
        SKALD_LOG_WARNING("The image is NULL. Can't remove it from the cache.");
        return;
    }
    std::lock_guard guard(lock_);
    const int64_t index = indexOfImageLocked(image->address);
    if (index >= 0) cache_->erase(cache_->begin() + index);
}

void BinaryImageCache::ensureListStarted() const {
    if (listStarted_.load(std::memory_order_acquire)) return;
    BinaryImageList::start();
    listStarted_.store(true, std::memory_order_release);
}

std::optional<BinaryImageInfo> BinaryImageCache::imageByAddress(uint64_t address) const {
    ensureListStarted();
    std::lock_guard guard(lock_);
    const int64_t index = indexOfImageLocked(address);
    if (index < 0) return std::nullopt;
    return (*cache_)[static_cast<size_t>(index)];
}

int64_t BinaryImageCache::indexOfImage(uint64_t address) const {
    ensureListStarted();
    std::lock_guard guard(lock_);
    return indexOfImageLocked(address);
}

int64_t BinaryImageCache::indexOfImageLocked(uint64_t address) const {
    if (!cache_) return -1;
    // The last image starting at or below the address is the only candidate.
    const auto after = std::upper_bound(
        cache_->begin(), cache_->end(), address,
        [](uint64_t value, const BinaryImageInfo& entry) { return value < entry.address; });
    if (after == cache_->begin()) return -1;
    const auto candidate = after - 1;
    if (address - candidate->address >= candidate->size) return -1;
    return candidate - cache_->begin();
}

std::optional<std::string> BinaryImageCache::pathForInAppInclude(
    const std::string& inAppInclude) const {
    ensureListStarted();
    std::lock_guard guard(lock_);
    if (!cache_) return std::nullopt;
    for (const auto& image : *cache_) {
        if (InAppLogic::isImageNameInApp(image.name, inAppInclude)) return image.name;
    }
    return std::nullopt;
}

std::vector<BinaryImageInfo> BinaryImageCache::images() const {
    ensureListStarted();
    std::lock_guard guard(lock_);
    return cache_ ? *cache_ : std::vector<BinaryImageInfo>{};
}

size_t DefaultBinaryImageProvider::getImageCount() {
    BinaryImageList::refresh();
    const BinaryImageReader images;
    return images.count();
}

std::optional<BinaryImage> DefaultBinaryImageProvider::getBinaryImage(size_t index,
                                                                      bool /*isCrash*/) {
    const BinaryImageReader images;
    if (index >= images.count()) return std::nullopt;
    return images[index];
}

}  // namespace skald::crash
