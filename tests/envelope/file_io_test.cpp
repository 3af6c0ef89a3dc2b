#include "util/file_io.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "support/temp_directory.h"

namespace skald {
namespace {

size_t entryCount(const std::string& directory) {
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(directory),
                                             std::filesystem::directory_iterator()));
}

TEST(FileIoTest, AtomicWriteReplacesContentsWithPrivateModeAndNoLeftovers) {
    test::TempDirectory dir;
    const std::string path = dir.write("envelope", "old contents that are longer");
    ASSERT_TRUE(writeFileAtomically(path, "new"));
    EXPECT_EQ(test::TempDirectory::read(path), "new");
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(entryCount(dir.path()), 1u);
}

TEST(FileIoTest, FailedAtomicWriteLeavesOldFileAndReportsWhy) {
    test::TempDirectory dir;
    std::string error;
    EXPECT_FALSE(writeFileAtomically(dir.file("missing/x"), "data", 0600, &error));
    EXPECT_NE(error.find("temporary"), std::string::npos);

    // Renaming over a directory fails after the temporary file was written.
    std::filesystem::create_directory(dir.file("target"));
    EXPECT_FALSE(writeFileAtomically(dir.file("target"), "data", 0600, &error));
    EXPECT_TRUE(std::filesystem::is_directory(dir.file("target")));
    EXPECT_EQ(entryCount(dir.path()), 1u);
}

TEST(FileIoTest, TemporaryNamesAreRecognisable) {
    EXPECT_TRUE(isAtomicWriteTemporaryName(".123.envelope.tmp-abcDEF"));
    EXPECT_FALSE(isAtomicWriteTemporaryName("123.envelope"));
}

TEST(FileIoTest, ReadsWholeFilesAndStopsOneBytePastALimit) {
    test::TempDirectory dir;
    const std::string path = dir.write("data", std::string(5000, 'x'));
    EXPECT_EQ(readFileContents(path)->size(), 5000u);
    EXPECT_EQ(readFileContents(path, nullptr, 100)->size(), 101u);
    std::string error;
    EXPECT_FALSE(readFileContents(dir.file("absent"), &error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(readFileContents(dir.path()));
}

}  // namespace
}  // namespace skald
