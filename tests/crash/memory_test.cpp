#include "crash/async_safe/memory.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace skald::crash::memory {
namespace {

/// Readable pages followed by one that cannot be read.
class GuardedPages : public ::testing::Test {
  protected:
    static constexpr size_t kReadablePages = 3;

    void SetUp() override {
        page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
        size = (kReadablePages + 1) * page;
        void* mapping =
            ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        ASSERT_NE(mapping, MAP_FAILED);
        base = static_cast<unsigned char*>(mapping);
        for (size_t i = 0; i < kReadablePages * page; ++i)
            base[i] = static_cast<unsigned char>(i * 7);
        guard = base + kReadablePages * page;
        ASSERT_EQ(::mprotect(guard, page, PROT_NONE), 0);
    }
    void TearDown() override { ::munmap(base, size); }

    size_t page = 0;
    size_t size = 0;
    unsigned char* base = nullptr;
    unsigned char* guard = nullptr;
};

TEST_F(GuardedPages, CopiesReadableMemoryAcrossPages) {
    std::vector<unsigned char> out(kReadablePages * page);
    ASSERT_TRUE(copySafely(base, out.data(), out.size()));
    EXPECT_EQ(std::memcmp(out.data(), base, out.size()), 0);
    EXPECT_TRUE(isReadable(base + 1, kReadablePages * page - 1));
}

TEST_F(GuardedPages, UnreadableMemoryFailsWithoutFaulting) {
    unsigned char out[64];
    std::memset(out, 0xAB, sizeof(out));
    EXPECT_FALSE(copySafely(guard, out, 8));
    // A range that only ends in the guard page fails as a whole.
    EXPECT_FALSE(copySafely(guard - 8, out, 16));
    EXPECT_FALSE(isReadable(guard - 8, 16));
    EXPECT_FALSE(isReadable(base, kReadablePages * page + 1));
    EXPECT_FALSE(isReadable(guard + page - 1, 1));
    EXPECT_FALSE(copySafely(nullptr, out, 8));
    EXPECT_FALSE(isReadable(nullptr, 1));
    // Memory that is no longer mapped at all.
    void* gone = ::mmap(nullptr, page, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(gone, MAP_FAILED);
    ::munmap(gone, page);
    EXPECT_FALSE(copySafely(gone, out, 8));
    EXPECT_FALSE(isReadable(gone, 1));
    EXPECT_TRUE(isReadable(guard, 0));
    EXPECT_TRUE(copySafely(guard, out, 0));
}

TEST(MemoryReadability, LongRangesAreCheckedOnEveryPage) {
    // More pages than one system call checks at once.
    const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    const size_t pages = 200;
    auto* base = static_cast<unsigned char*>(
        ::mmap(nullptr, pages * page, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(base, MAP_FAILED);
    EXPECT_TRUE(isReadable(base, pages * page));
    EXPECT_TRUE(isReadable(base + 17, pages * page - 17));
    // One hole far into the range, in a later batch.
    ASSERT_EQ(::mprotect(base + 150 * page, page, PROT_NONE), 0);
    EXPECT_FALSE(isReadable(base, pages * page));
    EXPECT_FALSE(isReadable(base + 149 * page + page - 1, 2));
    EXPECT_TRUE(isReadable(base, 150 * page));
    EXPECT_TRUE(isReadable(base + 151 * page, 49 * page));
    // A range that would wrap around the address space.
    EXPECT_FALSE(isReadable(base, SIZE_MAX));
    ::munmap(base, pages * page);
}

TEST_F(GuardedPages, FailedReadsKeepErrno) {
    unsigned char out[8];
    errno = 1234;
    EXPECT_FALSE(copySafely(guard, out, sizeof(out)));
    EXPECT_EQ(errno, 1234);
    EXPECT_TRUE(copySafely(base, out, sizeof(out)));
    EXPECT_EQ(errno, 1234);
}

TEST_F(GuardedPages, CopyMaxPossibleStopsAtTheBoundary) {
    std::vector<unsigned char> out(3 * page, 0xEE);
    // Starts mid-page, two pages before the guard.
    const unsigned char* start = guard - 2 * page + 100;
    const size_t expected = 2 * page - 100;
    ASSERT_EQ(copyMaxPossible(start, out.data(), out.size()), expected);
    EXPECT_EQ(std::memcmp(out.data(), start, expected), 0);
    // Nothing past what was readable was touched.
    EXPECT_EQ(out[expected], 0xEE);

    EXPECT_EQ(copyMaxPossible(guard - 1, out.data(), 2), 1u);
    EXPECT_EQ(out[0], guard[-1]);
    EXPECT_EQ(copyMaxPossible(guard, out.data(), 16), 0u);
    EXPECT_EQ(copyMaxPossible(base, out.data(), 0), 0u);
    // Fully readable: everything.
    EXPECT_EQ(copyMaxPossible(base + 3, out.data(), page), page);
    EXPECT_EQ(std::memcmp(out.data(), base + 3, page), 0);
}

}  // namespace
}  // namespace skald::crash::memory
