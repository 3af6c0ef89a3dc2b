// The full symbol tables behind crash-time names: static functions and
// anonymous namespaces get theirs, a lookup is a binary search, and files
// that are not what they claim are refused.
#include "crash/async_safe/symbol_index.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "crash/async_safe/symbol_lookup.h"
#include "crash/recording/binary_image_list.h"
#include "crash/recording/symbol_indexes.h"
#include "support/temp_directory.h"

static __attribute__((noinline)) int indexProbeStatic(int value) {
    return value * 7 + 3;
}

namespace {
__attribute__((noinline)) int indexProbeAnonymous(int value) {
    return value * 5 + 2;
}
}  // namespace

namespace skald::crash {
namespace {

BinaryImage imageHolding(const void* pointer) {
    BinaryImageList::refresh();
    BinaryImage image{};
    EXPECT_TRUE(findBinaryImage(reinterpret_cast<uintptr_t>(pointer), &image));
    return image;
}

std::string nameAt(const void* pointer, uintptr_t offset = 0) {
    const BinaryImage image = imageHolding(pointer);
    const char* name = nullptr;
    uintptr_t start = 0;
    if (!lookupSymbol(image, reinterpret_cast<uintptr_t>(pointer) + offset, &name, &start)) {
        return {};
    }
    EXPECT_EQ(start, reinterpret_cast<uintptr_t>(pointer));
    return name;
}

TEST(SymbolIndex, FunctionsThatAreNotExportedGetTheirNames) {
    volatile int keep = indexProbeStatic(1) + indexProbeAnonymous(1);
    (void)keep;
    // Before indexing, only exported names are known.
    EXPECT_EQ(nameAt(reinterpret_cast<const void*>(&indexProbeStatic)), "");
    EXPECT_GE(updateSymbolIndexes(), 1U);
    EXPECT_NE(symbolIndexFor(imageHolding(reinterpret_cast<const void*>(&indexProbeStatic))),
              nullptr);
    EXPECT_NE(nameAt(reinterpret_cast<const void*>(&indexProbeStatic), 2).find("indexProbeStatic"),
              std::string::npos);
    EXPECT_NE(
        nameAt(reinterpret_cast<const void*>(&indexProbeAnonymous), 1).find("indexProbeAnonymous"),
        std::string::npos);
    // A second pass has nothing new to index.
    EXPECT_EQ(updateSymbolIndexes(), 0U);
}

TEST(SymbolIndex, ExportedNamesStayAsTheLoaderGivesThem) {
    updateSymbolIndexes();
    EXPECT_EQ(nameAt(reinterpret_cast<const void*>(&::getpid)).empty(), false);
    EXPECT_NE(nameAt(reinterpret_cast<const void*>(&::getpid)).find("getpid"), std::string::npos);
}

TEST(SymbolIndex, LookupIsABinarySearchThatRespectsSizes) {
    const IndexedSymbol symbols[] = {{0x1000, 0x100, "first"},
                                     {0x1100, 0, "label"},
                                     {0x2000, 0x800, "outer"},
                                     {0x2100, 0x10, "inner"}};
    const SymbolIndex index{0x1000, 0, "/x", symbols, 4};
    const char* name = nullptr;
    uintptr_t start = 0;
    ASSERT_TRUE(lookupIndexedSymbol(index, 0x10ff, &name, &start));
    EXPECT_STREQ(name, "first");
    ASSERT_TRUE(lookupIndexedSymbol(index, 0x1100, &name, &start));
    EXPECT_STREQ(name, "label");
    EXPECT_FALSE(lookupIndexedSymbol(index, 0x1101, &name, &start)) << "unsized: only its start";
    EXPECT_FALSE(lookupIndexedSymbol(index, 0xfff, &name, &start));
    ASSERT_TRUE(lookupIndexedSymbol(index, 0x2108, &name, &start));
    EXPECT_STREQ(name, "inner");
    // Past the nested one, the enclosing function still holds the address.
    ASSERT_TRUE(lookupIndexedSymbol(index, 0x2200, &name, &start));
    EXPECT_STREQ(name, "outer");
    EXPECT_EQ(start, 0x2000U);
    EXPECT_FALSE(lookupIndexedSymbol(index, 0x2800, &name, &start));
    const SymbolIndex empty{0x1000, 0, "/x", nullptr, 0};
    EXPECT_FALSE(lookupIndexedSymbol(empty, 0x1000, &name, &start));
}

TEST(SymbolIndex, FilesThatAreNotElfAreRefused) {
    test::TempDirectory directory;
    const std::filesystem::path root = directory.path();
    std::string error;
    EXPECT_EQ(buildSymbolIndex((root / "missing").string(), 0, 0, &error), nullptr);
    EXPECT_NE(error.find("cannot open"), std::string::npos) << error;

    const auto text = root / "text";
    std::ofstream(text) << std::string(4096, 'x');
    EXPECT_EQ(buildSymbolIndex(text.string(), 0, 0, &error), nullptr);
    EXPECT_EQ(error, "not a 64-bit ELF file");

    // An ELF header that promises section headers far past the file's end.
    char self[4096];
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(length, 0);
    self[length] = '\0';
    std::ifstream original(self, std::ios::binary);
    std::string head(4096, '\0');
    original.read(head.data(), static_cast<std::streamsize>(head.size()));
    const auto truncated = root / "truncated";
    std::ofstream(truncated, std::ios::binary) << head;
    EXPECT_EQ(buildSymbolIndex(truncated.string(), 0, 0, &error), nullptr);
    EXPECT_EQ(error, "no section headers");

    // A FIFO is not opened for reading (it would block) or is refused.
    const auto fifo = root / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(buildSymbolIndex(fifo.string(), 0, 0, &error), nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(1));
    EXPECT_EQ(error, "not a regular file of a plausible size");
}

}  // namespace
}  // namespace skald::crash
