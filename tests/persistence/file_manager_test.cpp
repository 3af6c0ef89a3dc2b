#include "persistence/file_manager.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "core/dependency_container.h"
#include "skald/app_state.h"
#include "skald/dsn.h"
#include "skald/envelope.h"
#include "skald/event.h"
#include "skald/options.h"
#include "skald/session.h"
#include "support/file_manager_fixture.h"
#include "support/log_capture.h"
#include "util/iso8601.h"

namespace skald {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

using FileManagerTest = test::FileManagerFixture;

mode_t modeOf(const std::string& path) {
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
    return info.st_mode & 0777;
}

void writeText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

TEST_F(FileManagerTest, CreatesPrivateFoldersPerDsnAndDropsTheOldEventsFolder) {
    EXPECT_EQ(manager->basePath(), (cacheDir / "io.skald").string());
    EXPECT_EQ(fs::path(manager->skaldPath()).filename().string(), options->parsedDsn->getHash());
    EXPECT_TRUE(fs::is_directory(manager->envelopesPath()));
    EXPECT_TRUE(fs::is_directory(manager->applicationSupportPath()));
    EXPECT_EQ(modeOf(manager->skaldPath()), 0700u);
    EXPECT_EQ(modeOf(manager->envelopesPath()), 0700u);

    fs::create_directories(fs::path(manager->skaldPath()) / "events");
    writeText(manager->skaldPath() + "/events/old", "x");
    auto again = FileManager::make(*options, queue);
    ASSERT_TRUE(again);
    EXPECT_FALSE(fs::exists(manager->skaldPath() + "/events"));
}

TEST_F(FileManagerTest, CreationFailsWhenTheCacheFolderCannotBeMade) {
    Options blocked = *options;
    writeText((cacheDir / "a-file").string(), "not a folder");
    blocked.cacheDirectoryPath = (cacheDir / "a-file").string();
    Error error;
    EXPECT_FALSE(FileManager::make(blocked, queue, &error));
    EXPECT_EQ(error.domain, "SkaldErrorDomain");
    EXPECT_EQ(error.code, 108);
    EXPECT_EQ(error.localizedDescription, "Failed to create the directory at path " +
                                              (cacheDir / "a-file").string() + "/io.skald/" +
                                              options->parsedDsn->getHash() + ".");
}

TEST_F(FileManagerTest, NamesCreatedInTheSameInstantStillSortByCounter) {
    std::vector<std::string> names;
    for (int i = 0; i < 12; ++i) names.push_back(manager->uniqueAscendingJsonName());
    auto sorted = names;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted, names);
    EXPECT_NE(names[0].find("-00000-"), std::string::npos);
    EXPECT_NE(names[11].find("-00011-"), std::string::npos);
    EXPECT_TRUE(names[0].ends_with(".json"));
}

TEST_F(FileManagerTest, ReadingTheOldestEnvelopeOfAnEmptyOrMissingFolderGivesNothing) {
    EXPECT_FALSE(manager->getOldestEnvelope());
    fs::remove_all(manager->envelopesPath());
    EXPECT_FALSE(manager->getOldestEnvelope());
    EXPECT_TRUE(manager->getAllEnvelopes().empty());
}

TEST_F(FileManagerTest, HalfWrittenFilesAreNeverListed) {
    writeText(manager->envelopesPath() + "/.1.json.tmp-abc123", "partial");
    EXPECT_FALSE(manager->getOldestEnvelope());
}

TEST_F(FileManagerTest, PurgesEnvelopesOlderThanNinetyDaysInEveryDsnFolder) {
    const std::string other = manager->basePath() + "/other-dsn/envelopes";
    fs::create_directories(other);
    writeText(manager->envelopesPath() + "/a.json", "a");
    writeText(other + "/b.json", "b");
    writeText(manager->basePath() + "/.DS_Store", "finder");
    writeText(manager->basePath() + "/stray-file", "not a folder");

    test::LogCapture log;
    // File times are real; the clock moves instead.
    clock->setDate(std::chrono::system_clock::now() + 24h * 89);
    manager->deleteOldEnvelopesFromAllSkaldPaths();
    EXPECT_TRUE(fs::exists(manager->envelopesPath() + "/a.json"));
    EXPECT_TRUE(fs::exists(other + "/b.json"));

    clock->setDate(std::chrono::system_clock::now() + 24h * 91);
    manager->deleteOldEnvelopesFromAllSkaldPaths();
    EXPECT_FALSE(fs::exists(manager->envelopesPath() + "/a.json"));
    EXPECT_FALSE(fs::exists(other + "/b.json"));
    EXPECT_TRUE(fs::exists(manager->basePath() + "/.DS_Store"));
    EXPECT_TRUE(log.contains("Ignoring .DS_Store file"));
    EXPECT_TRUE(log.contains("Ignoring non directory"));
    EXPECT_TRUE(log.contains("because it was older than 90 days"));
}

TEST_F(FileManagerTest, PreviousBreadcrumbsComeOldestFileFirst) {
    auto lines = [](int count, const char* tag) {
        std::string text;
        for (int i = 0; i < count; ++i) {
            text += "{\"message\":\"" + std::string(tag) + std::to_string(i) + "\"}\n";
        }
        return text;
    };
    EXPECT_TRUE(manager->readPreviousBreadcrumbs().empty());

    writeText(manager->breadcrumbsFilePathOne(), lines(200, "one-"));
    writeText(manager->breadcrumbsFilePathTwo(), lines(10, "two-"));
    manager->moveBreadcrumbsToPreviousBreadcrumbs();
    EXPECT_FALSE(fs::exists(manager->breadcrumbsFilePathOne()));

    test::LogCapture log;
    auto crumbs = manager->readPreviousBreadcrumbs();
    ASSERT_EQ(crumbs.size(), 210u);
    EXPECT_EQ(crumbs.front()["message"], "one-0");
    EXPECT_EQ(crumbs[199]["message"], "one-199");
    EXPECT_EQ(crumbs[200]["message"], "two-0");
    // The empty line after each file's last newline is reported, not kept.
    EXPECT_EQ(log.count("Error deserializing breadcrumb"), 2u);

    writeText(manager->previousBreadcrumbsFilePathOne(), lines(3, "one-"));
    writeText(manager->previousBreadcrumbsFilePathTwo(),
              "{\"message\":\"two-0\"}\n{broken\n{\"message\":\"two-2\"}\n");
    crumbs = manager->readPreviousBreadcrumbs();
    ASSERT_EQ(crumbs.size(), 5u) << "a broken line is skipped, the rest kept";
    EXPECT_EQ(crumbs.front()["message"], "two-0") << "equal line counts: file two first";
}

TEST_F(FileManagerTest, TimezoneOffsetAndForegroundTimeRoundTrip) {
    EXPECT_FALSE(manager->readTimezoneOffset());
    manager->storeTimezoneOffset(-18000);
    EXPECT_EQ(manager->readTimezoneOffset(), -18000);
    writeText(manager->timezoneOffsetFilePath(), "12abc");
    EXPECT_FALSE(manager->readTimezoneOffset());
    manager->deleteTimezoneOffset();
    EXPECT_FALSE(fs::exists(manager->timezoneOffsetFilePath()));

    EXPECT_FALSE(manager->readTimestampLastInForeground());
    const Date when = dateWithTimeIntervalSince1970(1714558830.123);
    manager->storeTimestampLastInForeground(when);
    EXPECT_EQ(modeOf(manager->lastInForegroundFilePath()), 0600u);
    EXPECT_EQ(manager->readTimestampLastInForeground(), when);
    writeText(manager->lastInForegroundFilePath(), "yesterday");
    EXPECT_FALSE(manager->readTimestampLastInForeground());
    manager->deleteTimestampLastInForeground();
    EXPECT_FALSE(fs::exists(manager->lastInForegroundFilePath()));
}

TEST_F(FileManagerTest, ClearDiskStateRemovesEverything) {
    writeText(manager->envelopesPath() + "/a.json", "a");
    manager->deleteAllEnvelopes();
    EXPECT_TRUE(fs::is_directory(manager->envelopesPath()));
    EXPECT_TRUE(fs::is_empty(manager->envelopesPath()));
    manager->clearDiskState();
    EXPECT_FALSE(fs::exists(manager->basePath()));
    EXPECT_FALSE(fs::exists(manager->applicationSupportPath()));
}

}  // namespace
}  // namespace skald
