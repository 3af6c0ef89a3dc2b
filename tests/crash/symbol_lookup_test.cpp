// Crash-time symbol lookup against the loader's own answers.
#include "crash/async_safe/symbol_lookup.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>

#include "crash/async_safe/stack_cursor.h"
#include "crash/recording/binary_image_list.h"
#include "crash/recording/self_thread_cursor.h"

extern "C" __attribute__((noinline)) int symbolLookupTestTarget(int value) {
    return value * 3 + 1;
}

/// Whether a walk of this thread from here names this very function.
extern "C" __attribute__((noinline)) bool symbolLookupWalkNamesItself() {
    skald::crash::StackCursor cursor;
    skald::crash::initSelfThreadCursor(&cursor, 0, 20);
    bool named = false;
    while (skald::crash::advanceCursor(&cursor)) {
        if (skald::crash::symbolicateCursor(&cursor) && cursor.stackEntry.symbolName != nullptr &&
            std::strcmp(cursor.stackEntry.symbolName, "symbolLookupWalkNamesItself") == 0) {
            named = true;
        }
    }
    return named;
}

namespace skald::crash {
namespace {

/// What our lookup says of `address`, next to what dladdr says.
void expectAgreesWithLoader(const void* pointer) {
    const auto address = reinterpret_cast<uintptr_t>(pointer);
    BinaryImageList::refresh();
    BinaryImage image;
    ASSERT_TRUE(findBinaryImage(address, &image));
    Dl_info info{};
    ASSERT_NE(::dladdr(pointer, &info), 0);
    const char* name = nullptr;
    uintptr_t symbolAddress = 0;
    const bool found = lookupSymbol(image, address, &name, &symbolAddress);
    ASSERT_EQ(found, info.dli_sname != nullptr) << (info.dli_sname ? info.dli_sname : "");
    if (found) {
        EXPECT_STREQ(name, info.dli_sname);
        EXPECT_EQ(symbolAddress, reinterpret_cast<uintptr_t>(info.dli_saddr));
    }
}

TEST(SymbolLookup, AgreesWithTheLoaderForTheProgramAndItsLibraries) {
    const auto* own = reinterpret_cast<const char*>(&symbolLookupTestTarget);
    expectAgreesWithLoader(own);
    expectAgreesWithLoader(own + 5);  // inside the function
    const auto* libc = reinterpret_cast<const char*>(&::write);
    expectAgreesWithLoader(libc + 3);
    const auto* libcString = reinterpret_cast<const char*>(&std::strlen);
    expectAgreesWithLoader(libcString + 1);
    EXPECT_EQ(symbolLookupTestTarget(1), 4);
}

TEST(SymbolLookup, ImagesWithoutTablesAndForeignAddressesGiveNothing) {
    BinaryImage empty{};
    empty.address = 0x1000;
    empty.size = 0x1000;
    const char* name = nullptr;
    uintptr_t symbolAddress = 0;
    EXPECT_FALSE(lookupSymbol(empty, 0x1800, &name, &symbolAddress));
    BinaryImage image;
    EXPECT_FALSE(findBinaryImage(16, &image));
}

TEST(SymbolLookup, CursorsNameTheCallersFrames) {
    BinaryImageList::refresh();
    EXPECT_TRUE(symbolLookupWalkNamesItself());
}

}  // namespace
}  // namespace skald::crash
