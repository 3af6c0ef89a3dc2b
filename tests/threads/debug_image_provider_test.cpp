#include "core/debug_image_provider.h"

#include <gtest/gtest.h>

#include <cstring>

#include "crash/reporting/hex_address.h"

namespace skald {
namespace {

class FixedImageProvider : public crash::BinaryImageProvider {
  public:
    std::vector<crash::BinaryImage> images;
    size_t countCalls = 0;

    size_t getImageCount() override {
        ++countCalls;
        return images.size();
    }
    std::optional<crash::BinaryImage> getBinaryImage(size_t index, bool) override {
        if (index >= images.size()) return std::nullopt;
        return images[index];
    }
};

crash::BinaryImage image(const char* name, uintptr_t address, std::vector<uint8_t> buildId = {}) {
    crash::BinaryImage result{};
    result.name = name;
    result.address = address;
    result.size = 0x1000;
    if (!buildId.empty()) std::memcpy(result.buildId, buildId.data(), buildId.size());
    result.buildIdLength = static_cast<uint8_t>(buildId.size());
    return result;
}

std::shared_ptr<Frame> frameAt(uintptr_t imageAddress) {
    auto frame = std::make_shared<Frame>();
    frame->imageAddress = crash::hexAddress(imageAddress);
    return frame;
}

std::shared_ptr<Thread> threadWith(std::vector<std::shared_ptr<Frame>> frames) {
    auto thread = std::make_shared<Thread>(0);
    thread->stacktrace =
        std::make_shared<Stacktrace>(std::move(frames), std::map<std::string, std::string>{});
    return thread;
}

TEST(DebugImageProviderTest, ImagesTouchedByFramesInProviderOrder) {
    auto provider = std::make_shared<FixedImageProvider>();
    provider->images = {image("/usr/bin/host", 0x1000), image("/lib/libc.so.6", 0x5000),
                        image("/lib/libm.so.6", 0x9000)};
    DebugImageProvider debugImages(provider);

    // Frames touch libm then the host, across two threads, one without a stack.
    const auto threads = std::vector<std::shared_ptr<Thread>>{
        threadWith({frameAt(0x9000), frameAt(0x9000)}), std::make_shared<Thread>(1),
        threadWith({frameAt(0x1000), frameAt(0x7777)})};
    const auto images = debugImages.getDebugImagesForThreads(threads, false);
    ASSERT_EQ(images.size(), 2u);
    EXPECT_EQ(images[0]->codeFile, "/usr/bin/host");
    EXPECT_EQ(images[1]->codeFile, "/lib/libm.so.6");

    const auto forFrames = debugImages.getDebugImagesForFrames({frameAt(0x5000)}, true);
    ASSERT_EQ(forFrames.size(), 1u);
    EXPECT_EQ(forFrames[0]->codeFile, "/lib/libc.so.6");

    provider->countCalls = 0;
    EXPECT_TRUE(debugImages.getDebugImagesForThreads({std::make_shared<Thread>(0)}, false).empty());
    EXPECT_EQ(provider->countCalls, 0u) << "no frame images: the loader is not asked";
}

TEST(DebugImageProviderTest, ElfImageFields) {
    auto elf = image("/usr/lib/libexample.so.1", 0x7f0012340000,
                     {0x1f, 0x95, 0xd5, 0x49, 0x8d, 0x28, 0x3b, 0x79, 0x50, 0x58,
                      0x61, 0x52, 0x3e, 0x20, 0xb3, 0xdb, 0x2a, 0xfd, 0xf5, 0x18});
    elf.size = 0x2a000;
    const auto meta = DebugImageProvider::debugMetaForImage(elf);
    EXPECT_EQ(meta->serialize(), Json({{"debug_id", "49d5951f-288d-793b-5058-61523e20b3db"},
                                       {"type", "elf"},
                                       {"image_addr", "0x00007f0012340000"},
                                       {"image_size", 0x2a000},
                                       {"code_file", "/usr/lib/libexample.so.1"}}));

    // A short build-id is padded with zeros; a fixed-address image has a vmaddr.
    auto fixed = image("/usr/bin/old", 0x400000, {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08});
    fixed.vmaddr = 0x400000;
    const auto oldMeta = DebugImageProvider::debugMetaForImage(fixed);
    EXPECT_EQ(oldMeta->debugID, "04030201-0605-0807-0000-000000000000");
    EXPECT_EQ(oldMeta->imageVmAddress, "0x0000000000400000");

    const auto noBuildId = DebugImageProvider::debugMetaForImage(image("/usr/bin/bare", 0x1000));
    EXPECT_FALSE(noBuildId->debugID);
    EXPECT_FALSE(noBuildId->uuid);
    EXPECT_FALSE(noBuildId->imageVmAddress);
}

}  // namespace
}  // namespace skald
