#pragma once

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "crash/async_safe/binary_images.h"
#include "crash/recording/binary_image_cache.h"
#include "skald/debug_meta.h"
#include "skald/frame.h"
#include "skald/thread.h"

namespace skald {

/// The debug images ("debug_meta") that let the service symbolicate frames.
class DebugImageProvider {
  public:
    /// Over the loader's images.
    DebugImageProvider();
    explicit DebugImageProvider(std::shared_ptr<crash::BinaryImageProvider> binaryImageProvider);

    /// The images that frames of the threads' stack traces point into, in
    /// the provider's order.
    std::vector<std::shared_ptr<DebugMeta>> getDebugImagesForThreads(
        const std::vector<std::shared_ptr<Thread>>& threads, bool isCrash);
    std::vector<std::shared_ptr<DebugMeta>> getDebugImagesForFrames(
        const std::vector<std::shared_ptr<Frame>>& frames, bool isCrash);
    /// Every loaded image, in the provider's order.
    std::vector<std::shared_ptr<DebugMeta>> getDebugImages(bool isCrash);
    /// The images whose address, written "0x%016llx", is in `imageAddresses`.
    std::vector<std::shared_ptr<DebugMeta>> getDebugImagesForImageAddresses(
        const std::set<std::string>& imageAddresses, bool isCrash);

    /// An ELF image as a debug image: type "elf"; the debug id is the GUID
    /// form of the build-id's first 16 bytes; the code file is the full path.
    static std::shared_ptr<DebugMeta> debugMetaForImage(const crash::BinaryImage& image);

  private:
    std::shared_ptr<crash::BinaryImageProvider> binaryImageProvider_;
};

}  // namespace skald
