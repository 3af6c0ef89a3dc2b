#include "util/file_io.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>

#include "support/hostile_files.h"
#include "support/log_capture.h"
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

TEST(FileIoTest, ReadsWholeFilesAndRefusesOnesOverALimit) {
    test::TempDirectory dir;
    const std::string path = dir.write("data", std::string(5000, 'x'));
    EXPECT_EQ(readFileContents(path)->size(), 5000u);
    EXPECT_EQ(readFileContents(path, nullptr, 5000)->size(), 5000u);
    std::string error;
    EXPECT_FALSE(readFileContents(path, &error, 4999));
    EXPECT_NE(error.find("more than the 4999 allowed"), std::string::npos) << error;
    EXPECT_FALSE(readFileContents(dir.file("absent"), &error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(readFileContents(dir.path()));

    EXPECT_EQ(readRegularFile(dir.file("absent"), 10).status, FileReadStatus::Missing);
    EXPECT_EQ(readRegularFile(dir.file("data/below"), 10).status, FileReadStatus::Missing);
    const FileRead empty = readRegularFile(dir.write("empty", ""), 0);
    EXPECT_TRUE(empty.ok());
    EXPECT_TRUE(empty.contents.empty());
}

class HostileEntryTest : public ::testing::TestWithParam<test::Hostile> {
  protected:
    void SetUp() override {
        outside = elsewhere.write("secret", "outside contents");
        path = own.file("entry.json");
        test::plantHostile(GetParam(), path, outside);
    }
    void TearDown() override {
        // Whatever happened, nothing outside was touched.
        EXPECT_EQ(test::TempDirectory::read(outside), "outside contents");
    }

    test::TempDirectory own;
    test::TempDirectory elsewhere;
    std::string outside;
    std::string path;
};

TEST_P(HostileEntryTest, ReadingRefusesItPromptlyAndLeavesItAlone) {
    test::Watchdog watchdog(std::chrono::seconds(10), "reading a hostile entry");
    const auto started = std::chrono::steady_clock::now();
    const FileRead read = readRegularFile(path, 2'000'000);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
    EXPECT_FALSE(read.ok());
    EXPECT_TRUE(read.contents.empty());
    EXPECT_EQ(read.status, GetParam() == test::Hostile::HugeFile ? FileReadStatus::TooLarge
                                                                 : FileReadStatus::NotRegularFile)
        << read.errorText;
    EXPECT_FALSE(read.errorText.empty());
    EXPECT_TRUE(test::entryExists(path)) << "a plain read removes nothing";

    // Followed on purpose, a link to a regular file is read; nothing else is.
    const FileRead followed = readRegularFile(path, 2'000'000, Symlinks::Follow);
    EXPECT_EQ(followed.ok(), GetParam() == test::Hostile::SymlinkOutside) << followed.errorText;
    if (followed.ok()) EXPECT_EQ(followed.contents, "outside contents");
}

TEST_P(HostileEntryTest, AnOwnFileThatIsNotOursIsRemovedAndLogged) {
    test::LogCapture log(Level::Warning);
    test::Watchdog watchdog(std::chrono::seconds(10), "reading a hostile own file");
    EXPECT_FALSE(readOwnFile(path, 2'000'000));
    EXPECT_FALSE(test::entryExists(path));
    EXPECT_TRUE(log.contains("Removed " + path)) << ::testing::PrintToString(log.lines());
    EXPECT_TRUE(std::filesystem::exists("/dev/zero"));
    // The name is free again for a real file.
    own.write("entry.json", "ours");
    EXPECT_EQ(readOwnFile(path, 2'000'000), "ours");
}

INSTANTIATE_TEST_SUITE_P(Kinds, HostileEntryTest, ::testing::ValuesIn(test::allHostileKinds()),
                         test::hostileTestName);

TEST(FileIoTest, AMissingOwnFileIsQuietlyNothing) {
    test::TempDirectory dir;
    test::LogCapture log;
    EXPECT_FALSE(readOwnFile(dir.file("absent"), 10));
    EXPECT_TRUE(log.lines().empty());
}

}  // namespace
}  // namespace skald
