// The scope's attachments as the crash handler writes them next to a report:
// what is published is what gets written, and files that could hang, escape
// the directory or be partial are left out.
#include "crash/async_safe/crash_attachments.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "crash/recording/crash_attachment_table.h"
#include "support/temp_directory.h"

namespace skald::crash {
namespace {

namespace fs = std::filesystem;

std::string contents(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(file)), {});
}

std::set<std::string> names(const fs::path& directory) {
    std::set<std::string> found;
    for (const auto& entry : fs::directory_iterator(directory))
        found.insert(entry.path().filename().string());
    return found;
}

class CrashAttachments : public ::testing::Test {
  protected:
    void TearDown() override { clearCrashAttachments(); }

    test::TempDirectory source;
    test::TempDirectory target;
};

TEST_F(CrashAttachments, BytesAndFilesAreWrittenUnderTheirNames) {
    std::ofstream(source.file("app.log")) << "log line";
    setCrashAttachments({Attachment::fromData("in memory", "notes.txt"),
                         Attachment::fromPath(source.file("app.log")),
                         Attachment::fromPath(source.file("app.log"), "renamed.log"),
                         Attachment::fromData("", "empty.bin")},
                        1024);
    writeCrashAttachments(target.path().c_str());
    EXPECT_EQ(names(target.path()),
              (std::set<std::string>{"notes.txt", "app.log", "renamed.log", "empty.bin"}));
    EXPECT_EQ(contents(target.file("notes.txt")), "in memory");
    EXPECT_EQ(contents(target.file("app.log")), "log line");
    EXPECT_EQ(contents(target.file("renamed.log")), "log line");
    EXPECT_EQ(contents(target.file("empty.bin")), "");
}

TEST_F(CrashAttachments, TheLatestPublishedListIsTheOneWritten) {
    setCrashAttachments({Attachment::fromData("old", "old.txt")}, 1024);
    setCrashAttachments({Attachment::fromData("new", "new.txt")}, 1024);
    writeCrashAttachments(target.path().c_str());
    EXPECT_EQ(names(target.path()), std::set<std::string>{"new.txt"});

    clearCrashAttachments();
    test::TempDirectory other;
    writeCrashAttachments(other.path().c_str());
    EXPECT_TRUE(names(other.path()).empty());
    writeCrashAttachments(nullptr);
}

TEST_F(CrashAttachments, NamesThatLeaveTheDirectoryAreSkipped) {
    setCrashAttachments(
        {Attachment::fromData("x", "../escaped.txt"), Attachment::fromData("x", "sub/inner.txt"),
         Attachment::fromData("x", ".."), Attachment::fromData("x", ""),
         Attachment::fromData("kept", "kept.txt")},
        1024);
    writeCrashAttachments(target.path().c_str());
    EXPECT_EQ(names(target.path()), std::set<std::string>{"kept.txt"});
    EXPECT_FALSE(fs::exists(fs::path(target.path()).parent_path() / "escaped.txt"));
}

TEST_F(CrashAttachments, ExistingFilesAndLinksAreNeverReplacedOrFollowed) {
    std::ofstream(source.file("precious")) << "precious";
    fs::create_symlink(source.file("precious"), target.file("link.txt"));
    std::ofstream(target.file("taken.txt")) << "first";
    setCrashAttachments(
        {Attachment::fromData("overwritten", "link.txt"),
         Attachment::fromData("second", "taken.txt"), Attachment::fromData("a", "twice.txt"),
         Attachment::fromData("b", "twice.txt")},
        1024);
    writeCrashAttachments(target.path().c_str());
    EXPECT_EQ(contents(source.file("precious")), "precious");
    EXPECT_EQ(contents(target.file("taken.txt")), "first");
    EXPECT_EQ(contents(target.file("twice.txt")), "a");
}

TEST_F(CrashAttachments, FilesThatAreNotPlainOrTooLargeOrMissingAreLeftOut) {
    ASSERT_EQ(::mkfifo(source.file("fifo").c_str(), 0600), 0);
    fs::create_directory(source.file("folder"));
    std::ofstream(source.file("large.bin")) << std::string(2048, 'x');
    std::ofstream(source.file("small.bin")) << std::string(1024, 'y');
    setCrashAttachments(
        {Attachment::fromPath(source.file("fifo")), Attachment::fromPath(source.file("folder")),
         Attachment::fromPath(source.file("large.bin")),
         Attachment::fromPath(source.file("missing")),
         Attachment::fromData(std::string(1025, 'z'), "large-data.bin"),
         Attachment::fromPath(source.file("small.bin"))},
        1024);
    const auto started = std::chrono::steady_clock::now();
    writeCrashAttachments(target.path().c_str());
    // A FIFO without a writer must not hold the crashing process.
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
    // Nothing partial stays behind: only the file within the limit.
    EXPECT_EQ(names(target.path()), std::set<std::string>{"small.bin"});
    EXPECT_EQ(contents(target.file("small.bin")).size(), 1024u);
}

TEST_F(CrashAttachments, ADirectoryThatCannotTakeFilesLosesNothingElse) {
    setCrashAttachments({Attachment::fromData("x", "a.txt")}, 1024);
    writeCrashAttachments(target.file("does-not-exist").c_str());
    const std::string longDirectory(2000, 'd');
    writeCrashAttachments(longDirectory.c_str());
    EXPECT_TRUE(names(target.path()).empty());
}

}  // namespace
}  // namespace skald::crash
