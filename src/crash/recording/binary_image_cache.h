#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "crash/async_safe/binary_images.h"

namespace skald::crash {

/// One image as the object-level cache keeps it.
struct BinaryImageInfo {
    std::string name;
    uint64_t address = 0;
    uint64_t size = 0;
};

/// The loaded images sorted by address, for lookups off the crash path. Fed by
/// the binary-image list while started.
class BinaryImageCache {
  public:
    BinaryImageCache() = default;
    ~BinaryImageCache();
    BinaryImageCache(const BinaryImageCache&) = delete;
    BinaryImageCache& operator=(const BinaryImageCache&) = delete;

    /// Starts from an empty cache and follows the binary-image list, which
    /// replays the images already loaded. The list's first fill reads every
    /// image and is left to a background thread (the crash core's) or to the
    /// first lookup, whichever comes first: not the host's thread at start.
    void start();
    /// Stops following the list and drops the images.
    void stop();

    void binaryImageAdded(const BinaryImage* image);
    void binaryImageRemoved(const BinaryImage* image);

    /// The image whose [address, address + size) holds `address`.
    std::optional<BinaryImageInfo> imageByAddress(uint64_t address) const;
    /// Its index in address order, or -1.
    int64_t indexOfImage(uint64_t address) const;
    /// The first image name that the in-app rules match for `inAppInclude`.
    std::optional<std::string> pathForInAppInclude(const std::string& inAppInclude) const;

    /// The images in address order.
    std::vector<BinaryImageInfo> images() const;

  private:
    int64_t indexOfImageLocked(uint64_t address) const;
    /// Before a lookup, without `lock_`: a list not started yet is started
    /// now, so that the cache has heard of every image.
    void ensureListStarted() const;

    // Taken before the list's lock, which is taken before `lock_`: the list
    // calls the observers with its lock held.
    std::mutex startLock_;
    std::optional<uint64_t> observerToken_;
    mutable std::mutex lock_;
    /// Empty while not started: images reported then are ignored.
    std::optional<std::vector<BinaryImageInfo>> cache_;
    mutable std::atomic<bool> listStarted_{false};
};

/// Gives the loaded images by index, in the loader's order.
class BinaryImageProvider {
  public:
    virtual ~BinaryImageProvider() = default;
    virtual size_t getImageCount() = 0;
    /// Empty for an index at or past the count.
    virtual std::optional<BinaryImage> getBinaryImage(size_t index, bool isCrash) = 0;
};

/// Reads the binary-image list's table, refreshed first when the loader's
/// image set changed. ELF images carry no crash-info messages, so `isCrash`
/// changes nothing here.
class DefaultBinaryImageProvider : public BinaryImageProvider {
  public:
    size_t getImageCount() override;
    std::optional<BinaryImage> getBinaryImage(size_t index, bool isCrash) override;
};

}  // namespace skald::crash
