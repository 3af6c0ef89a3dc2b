#include "core/debug_image_provider.h"

#include <utility>

#include "crash/reporting/hex_address.h"
#include "model/debug_id.h"

namespace skald {

namespace {

void addImageAddresses(const std::vector<std::shared_ptr<Frame>>& frames,
                       std::set<std::string>& addresses) {
    for (const auto& frame : frames) {
        if (frame && frame->imageAddress) addresses.insert(*frame->imageAddress);
    }
}

}  // namespace

DebugImageProvider::DebugImageProvider()
    : DebugImageProvider(std::make_shared<crash::DefaultBinaryImageProvider>()) {}

DebugImageProvider::DebugImageProvider(
    std::shared_ptr<crash::BinaryImageProvider> binaryImageProvider)
    : binaryImageProvider_(std::move(binaryImageProvider)) {}

std::vector<std::shared_ptr<DebugMeta>> DebugImageProvider::getDebugImagesForThreads(
    const std::vector<std::shared_ptr<Thread>>& threads, bool isCrash) {
    std::set<std::string> addresses;
    for (const auto& thread : threads) {
        if (thread && thread->stacktrace) addImageAddresses(thread->stacktrace->frames, addresses);
    }
    return getDebugImagesForImageAddresses(addresses, isCrash);
}

std::vector<std::shared_ptr<DebugMeta>> DebugImageProvider::getDebugImagesForFrames(
    const std::vector<std::shared_ptr<Frame>>& frames, bool isCrash) {
    std::set<std::string> addresses;
    addImageAddresses(frames, addresses);
    return getDebugImagesForImageAddresses(addresses, isCrash);
}

std::vector<std::shared_ptr<DebugMeta>> DebugImageProvider::getDebugImagesForImageAddresses(
    const std::set<std::string>& imageAddresses, bool isCrash) {
    std::vector<std::shared_ptr<DebugMeta>> images;
    if (imageAddresses.empty()) return images;
    const size_t count = binaryImageProvider_->getImageCount();
    for (size_t index = 0; index < count; ++index) {
        const auto image = binaryImageProvider_->getBinaryImage(index, isCrash);
        if (image && imageAddresses.count(crash::hexAddress(image->address)) != 0) {
            images.push_back(debugMetaForImage(*image));
        }
    }
    return images;
}

std::vector<std::shared_ptr<DebugMeta>> DebugImageProvider::getDebugImages(bool isCrash) {
    std::vector<std::shared_ptr<DebugMeta>> images;
    const size_t count = binaryImageProvider_->getImageCount();
    for (size_t index = 0; index < count; ++index) {
        if (const auto image = binaryImageProvider_->getBinaryImage(index, isCrash))
            images.push_back(debugMetaForImage(*image));
    }
    return images;
}

std::shared_ptr<DebugMeta> DebugImageProvider::debugMetaForImage(const crash::BinaryImage& image) {
    auto meta = std::make_shared<DebugMeta>();
    meta->type = "elf";
    if (image.buildIdLength > 0)
        meta->debugID = debugIdFromBuildId(image.buildId, image.buildIdLength);
    meta->imageAddress = crash::hexAddress(image.address);
    meta->imageSize = image.size;
    if (image.vmaddr > 0) meta->imageVmAddress = crash::hexAddress(image.vmaddr);
    if (image.name != nullptr) meta->codeFile = image.name;
    return meta;
}

}  // namespace skald
