#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "crash/async_safe/binary_images.h"
#include "crash/recording/binary_image_cache.h"
#include "crash/recording/binary_image_list.h"
#include "support/log_capture.h"
#include "threads/image_test_support.h"

namespace skald::crash {
namespace {

using test::executablePath;
using test::imageNamed;

__attribute__((noinline)) int functionInExecutable(int value) {
    asm volatile("");
    return value * 3;
}

uintptr_t addressOfFunction() {
    return reinterpret_cast<uintptr_t>(&functionInExecutable);
}

TEST(BinaryImageListTest, HoldsTheExecutableWithItsBuildIdAndLibc) {
    const std::string path = executablePath();
    ASSERT_FALSE(path.empty());
    const auto executable = imageNamed(path);
    ASSERT_TRUE(executable) << "the main executable is listed under its full path";

    const auto expectedBuildId = test::buildIdFromReadelf(path);
    ASSERT_TRUE(expectedBuildId) << "the test program is linked with a build-id";
    EXPECT_EQ(test::hexBytes(executable->buildId, executable->buildIdLength), *expectedBuildId);

    // The whole image holds the executable segment, which holds the code.
    const uintptr_t code = addressOfFunction();
    EXPECT_GE(executable->textAddress, executable->address);
    EXPECT_LE(executable->textAddress + executable->textSize,
              executable->address + executable->size);
    EXPECT_GE(code, executable->textAddress);
    EXPECT_LT(code, executable->textAddress + executable->textSize);
    EXPECT_EQ(executable->vmaddr, 0u) << "a position-independent executable is linked at 0";

    Dl_info info{};
    ASSERT_NE(::dladdr(reinterpret_cast<void*>(&::getpid), &info), 0);
    const auto libc = imageNamed(info.dli_fname);
    ASSERT_TRUE(libc) << info.dli_fname;
    EXPECT_EQ(libc->address, reinterpret_cast<uintptr_t>(info.dli_fbase));
    EXPECT_EQ(test::hexBytes(libc->buildId, libc->buildIdLength),
              test::buildIdFromReadelf(info.dli_fname).value_or("none"));

    BinaryImage found{};
    ASSERT_TRUE(findBinaryImage(code, &found));
    EXPECT_STREQ(found.name, path.c_str());
    EXPECT_FALSE(findBinaryImage(0, &found));
}

TEST(BinaryImageListTest, RefreshFollowsTheLoaderAndTellsObservers) {
    BinaryImageList::start();
    BinaryImageList::refresh();
    EXPECT_FALSE(BinaryImageList::refresh()) << "nothing changed since the last fill";

    std::vector<std::string> added;
    std::vector<std::string> removed;
    size_t replayed = 0;
    const uint64_t token = BinaryImageList::addObserver(
        [&](const BinaryImage* image) { added.emplace_back(image->name ? image->name : ""); },
        [&](const BinaryImage* image) { removed.emplace_back(image->name ? image->name : ""); });
    replayed = added.size();
    EXPECT_GT(replayed, 2u) << "the images already loaded are replayed";
    added.clear();

    auto library = test::openUnloadedSystemLibrary();
    if (!library) {
        BinaryImageList::removeObserver(token);
        GTEST_SKIP() << "no unloaded system library to open";
    }
    EXPECT_TRUE(BinaryImageList::refresh());
    EXPECT_TRUE(imageNamed(library->path)) << library->path;
    EXPECT_NE(std::find(added.begin(), added.end(), library->path), added.end());
    EXPECT_TRUE(removed.empty());

    ASSERT_EQ(::dlclose(library->handle), 0);
    ASSERT_EQ(::dlopen(library->path.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr) << "unloaded";
    EXPECT_TRUE(BinaryImageList::refresh());
    EXPECT_FALSE(imageNamed(library->path));
    EXPECT_NE(std::find(removed.begin(), removed.end(), library->path), removed.end());

    BinaryImageList::removeObserver(token);
    added.clear();
    library = test::openUnloadedSystemLibrary();
    ASSERT_TRUE(library);
    BinaryImageList::refresh();
    EXPECT_TRUE(added.empty()) << "a removed observer hears nothing";
    ::dlclose(library->handle);
    BinaryImageList::refresh();
}

std::vector<std::pair<uintptr_t, std::string>> contentsOf(const BinaryImageReader& images) {
    std::vector<std::pair<uintptr_t, std::string>> contents;
    for (const BinaryImage& image : images) contents.emplace_back(image.address, image.name);
    return contents;
}

TEST(BinaryImageListTest, AHeldSnapshotIsNeverRewritten) {
    BinaryImageList::refresh();
    auto held = std::make_unique<BinaryImageReader>();
    const auto before = contentsOf(*held);

    // The first rebuild goes into the other snapshot.
    auto library = test::openUnloadedSystemLibrary();
    if (!library) GTEST_SKIP() << "no unloaded system library to open";
    EXPECT_TRUE(BinaryImageList::refresh());
    EXPECT_EQ(contentsOf(*held), before);
    EXPECT_EQ(BinaryImageReader().count(), before.size() + 1);

    // The next one needs the held snapshot back and waits for its reader.
    ::dlclose(library->handle);
    std::atomic<bool> refreshed{false};
    std::thread writer([&] {
        BinaryImageList::refresh();
        refreshed = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(refreshed.load());
    EXPECT_EQ(contentsOf(*held), before);
    held.reset();
    writer.join();
    EXPECT_TRUE(refreshed.load());
    EXPECT_EQ(contentsOf(BinaryImageReader()), before);
}

BinaryImage makeImage(const char* name, uintptr_t address, uintptr_t size) {
    BinaryImage image{};
    image.name = name;
    image.address = address;
    image.size = size;
    return image;
}

TEST(BinaryImageCacheTest, FindsImagesByAddressOnceStarted) {
    BinaryImageCache cache;
    const uintptr_t code = addressOfFunction();
    EXPECT_EQ(cache.indexOfImage(code), -1) << "not started";
    EXPECT_FALSE(cache.imageByAddress(code));

    cache.start();
    const auto image = cache.imageByAddress(code);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->name, executablePath());
    EXPECT_EQ(cache.indexOfImage(0), -1);
    EXPECT_FALSE(cache.imageByAddress(0));

    const auto images = cache.images();
    ASSERT_GT(images.size(), 2u);
    for (size_t i = 1; i < images.size(); ++i) {
        EXPECT_LE(images[i - 1].address, images[i].address) << "kept sorted by address";
    }
    const int64_t index = cache.indexOfImage(code);
    ASSERT_GE(index, 0);
    EXPECT_EQ(images[static_cast<size_t>(index)].name, executablePath());

    cache.stop();
    EXPECT_EQ(cache.indexOfImage(code), -1);
    EXPECT_TRUE(cache.images().empty());
}

TEST(BinaryImageCacheTest, BinarySearchBoundsAndRemoval) {
    BinaryImageCache cache;
    cache.start();
    // Low addresses that no real image occupies, added out of order.
    const BinaryImage second = makeImage("/opt/b.so", 0x3000, 0x1000);
    const BinaryImage first = makeImage("/opt/a.so", 0x1000, 0x800);
    cache.binaryImageAdded(&second);
    cache.binaryImageAdded(&first);

    EXPECT_EQ(cache.imageByAddress(0x1000)->name, "/opt/a.so") << "first byte";
    EXPECT_EQ(cache.imageByAddress(0x17ff)->name, "/opt/a.so") << "last byte";
    EXPECT_FALSE(cache.imageByAddress(0x1800)) << "one past the end";
    EXPECT_FALSE(cache.imageByAddress(0x2fff)) << "between images";
    EXPECT_EQ(cache.imageByAddress(0x3abc)->name, "/opt/b.so");
    EXPECT_EQ(cache.indexOfImage(0x3000), cache.indexOfImage(0x1000) + 1);

    cache.binaryImageRemoved(&first);
    EXPECT_FALSE(cache.imageByAddress(0x1000));
    EXPECT_TRUE(cache.imageByAddress(0x3000));
}

TEST(BinaryImageCacheTest, RejectsBrokenRecordsWithTheirMessages) {
    test::LogCapture log;
    BinaryImageCache cache;
    cache.start();
    const size_t before = cache.images().size();

    cache.binaryImageAdded(nullptr);
    EXPECT_TRUE(log.contains("The image is NULL. Can't add NULL to cache."));
    const BinaryImage unnamed = makeImage(nullptr, 0x1000, 0x10);
    cache.binaryImageAdded(&unnamed);
    EXPECT_TRUE(log.contains("The image name was NULL. Can't add image to cache."));
    const BinaryImage latin1 = makeImage("/opt/caf\xe9.so", 0x1000, 0x10);
    cache.binaryImageAdded(&latin1);
    EXPECT_TRUE(log.contains(
        "Couldn't convert the cString image name to an NSString. This could be due to a "
        "different encoding than NSUTF8StringEncoding of the cString.."));
    cache.binaryImageRemoved(nullptr);
    EXPECT_TRUE(log.contains("The image is NULL. Can't remove it from the cache."));
    EXPECT_EQ(cache.images().size(), before);

    const BinaryImage utf8 = makeImage("/opt/caf\xc3\xa9.so", 0x1000, 0x10);
    cache.binaryImageAdded(&utf8);
    EXPECT_EQ(cache.images().size(), before + 1);
}

TEST(BinaryImageCacheTest, PathForInAppIncludeMatchesTheFileNamePrefix) {
    BinaryImageCache cache;
    cache.start();
    const BinaryImage image = makeImage("/opt/Plugins/MyHostApp.so", 0x1000, 0x10);
    cache.binaryImageAdded(&image);
    EXPECT_EQ(cache.pathForInAppInclude("myhost"), "/opt/Plugins/MyHostApp.so");
    EXPECT_FALSE(cache.pathForInAppInclude("plugins")) << "directories do not count";
    EXPECT_EQ(cache.pathForInAppInclude("test_threads"), executablePath());
}

TEST(BinaryImageCacheTest, FollowsImagesOpenedAndClosedWhileStarted) {
    BinaryImageList::start();
    BinaryImageCache cache;
    cache.start();
    auto library = test::openUnloadedSystemLibrary();
    if (!library) GTEST_SKIP() << "no unloaded system library to open";
    const uintptr_t base = library->address;
    EXPECT_FALSE(cache.imageByAddress(base)) << "not refreshed yet";
    BinaryImageList::refresh();
    ASSERT_TRUE(cache.imageByAddress(base));
    EXPECT_EQ(cache.imageByAddress(base)->name, library->path);

    ::dlclose(library->handle);
    BinaryImageList::refresh();
    EXPECT_FALSE(cache.imageByAddress(base));
}

TEST(DefaultBinaryImageProviderTest, GivesTheTableByIndex) {
    auto library = test::openUnloadedSystemLibrary();
    DefaultBinaryImageProvider provider;
    const size_t count = provider.getImageCount();
    ASSERT_GT(count, 2u);
    std::vector<std::string> names;
    for (size_t i = 0; i < count; ++i) {
        const auto image = provider.getBinaryImage(i, false);
        ASSERT_TRUE(image);
        names.emplace_back(image->name ? image->name : "");
    }
    EXPECT_FALSE(provider.getBinaryImage(count, false));
    EXPECT_EQ(names.front(), executablePath()) << "the loader lists the executable first";
    if (library) {
        EXPECT_NE(std::find(names.begin(), names.end(), library->path), names.end())
            << "the count refreshes the table";
        ::dlclose(library->handle);
        EXPECT_LT(provider.getImageCount(), count);
    }
}

}  // namespace
}  // namespace skald::crash
