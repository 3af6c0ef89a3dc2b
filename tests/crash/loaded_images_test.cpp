// The crash-time table of loaded images, against the loader and the
// prepared table.
#include "crash/async_safe/loaded_images.h"

#include <dlfcn.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "crash/async_safe/binary_images.h"
#include "crash/async_safe/file_utils.h"
#include "crash/async_safe/stack_cursor.h"
#include "crash/async_safe/symbol_lookup.h"
#include "crash/recording/binary_image_list.h"

namespace skald::crash {
namespace {

using Listing = std::vector<std::pair<uintptr_t, std::string>>;

Listing listing() {
    Listing images;
    const BinaryImageReader reader;
    for (const BinaryImage& image : reader) images.emplace_back(image.address, image.name);
    return images;
}

bool isUnmapped(const void* address) {
    unsigned char state = 0;
    const auto page = reinterpret_cast<uintptr_t>(address) & ~uintptr_t{4095};
    return ::mincore(reinterpret_cast<void*>(page), 4096, &state) != 0 && errno == ENOMEM;
}

class LoadedImages : public ::testing::Test {
  protected:
    void TearDown() override {
        images::releaseLoadedImages();
        BinaryImageList::refresh();
    }
};

TEST_F(LoadedImages, WithNothingChangedTheyAreThePreparedTableInItsOrder) {
    BinaryImageList::refresh();
    const Listing prepared = listing();
    ASSERT_GT(prepared.size(), 3U);
    ASSERT_TRUE(images::captureLoadedImages());
    EXPECT_EQ(listing(), prepared);
    images::releaseLoadedImages();
    EXPECT_EQ(listing(), prepared);
}

TEST_F(LoadedImages, ALibraryLoadedSinceTheLastRefreshIsDescribedOnTheSpot) {
    BinaryImageList::refresh();
    void* plugin = ::dlopen(SKALD_VICTIM_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(plugin, nullptr) << ::dlerror();
    const auto function = reinterpret_cast<uintptr_t>(::dlsym(plugin, "pluginAnswer"));
    ASSERT_NE(function, 0U);
    BinaryImage image{};
    EXPECT_FALSE(findBinaryImage(function, &image)) << "the prepared table is not refreshed yet";

    ASSERT_TRUE(images::captureLoadedImages());
    ASSERT_TRUE(findBinaryImage(function, &image));
    EXPECT_STREQ(lastPathEntry(image.name), "libskald-victim-plugin.so");
    EXPECT_EQ(image.buildIdLength, 20U);
    const char* name = nullptr;
    uintptr_t symbolAddress = 0;
    ASSERT_TRUE(lookupSymbol(image, function + 2, &name, &symbolAddress));
    EXPECT_STREQ(name, "pluginAnswer");
    EXPECT_EQ(symbolAddress, function);
    images::releaseLoadedImages();

    // Described as the prepared table describes it after a refresh.
    BinaryImageList::refresh();
    BinaryImage prepared{};
    ASSERT_TRUE(findBinaryImage(function, &prepared));
    EXPECT_EQ(prepared.address, image.address);
    EXPECT_EQ(prepared.size, image.size);
    EXPECT_EQ(prepared.textAddress, image.textAddress);
    EXPECT_EQ(prepared.dynamicAddress, image.dynamicAddress);
    EXPECT_EQ(prepared.symbolTable, image.symbolTable);
    EXPECT_EQ(prepared.symbolCount, image.symbolCount);
    EXPECT_EQ(std::memcmp(prepared.buildId, image.buildId, image.buildIdLength), 0);
    ::dlclose(plugin);
}

TEST_F(LoadedImages, ALibraryUnloadedSinceTheLastRefreshIsLeftOut) {
    void* plugin = ::dlopen(SKALD_VICTIM_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(plugin, nullptr) << ::dlerror();
    BinaryImageList::refresh();
    const auto function = reinterpret_cast<uintptr_t>(::dlsym(plugin, "pluginCrash"));
    BinaryImage image{};
    ASSERT_TRUE(findBinaryImage(function, &image));
    ::dlclose(plugin);
    if (!isUnmapped(reinterpret_cast<const void*>(function))) GTEST_SKIP() << "still mapped";

    ASSERT_TRUE(images::captureLoadedImages());
    EXPECT_FALSE(findBinaryImage(function, &image));
    // A stack entry in its old range is left unnamed; its tables are not read.
    uintptr_t addresses[] = {function};
    StackCursor cursor;
    initBacktraceCursor(&cursor, addresses, 1, 0);
    ASSERT_TRUE(advanceCursor(&cursor));
    EXPECT_FALSE(symbolicateCursor(&cursor));
    // The rest is all there.
    BinaryImage own{};
    EXPECT_TRUE(findBinaryImage(reinterpret_cast<uintptr_t>(&listing), &own));
}

TEST_F(LoadedImages, ACrashBeforeTheFirstFillNamesTheProgramItself) {
    // Nothing is prepared yet: the list starts in the background at install.
    ASSERT_EQ(BinaryImageReader().count(), 0U);
    char path[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    ASSERT_GT(length, 0);
    path[length] = '\0';
    images::setExecutablePath(path);

    ASSERT_TRUE(images::captureLoadedImages());
    BinaryImage own{};
    ASSERT_TRUE(findBinaryImage(reinterpret_cast<uintptr_t>(&listing), &own));
    ASSERT_NE(own.name, nullptr);
    EXPECT_STREQ(own.name, path);
    EXPECT_GT(listing().size(), 3U) << "the libraries are described too";
}

}  // namespace
}  // namespace skald::crash
