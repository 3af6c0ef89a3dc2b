#include "core/installation.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <set>
#include <thread>
#include <vector>

#include "core/dependency_container.h"
#include "support/hostile_files.h"
#include "support/log_capture.h"
#include "support/temp_directory.h"
#include "support/test_dispatch_queue_wrapper.h"

namespace skald {
namespace {

using test::TempDirectory;

const std::regex kUpperUuid("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");

TEST(InstallationTest, NewIdIsStoredAndStable) {
    TempDirectory dir;
    const std::string cache = dir.file("nested/cache");  // made when missing
    const std::string id = Installation::id(cache);
    EXPECT_TRUE(std::regex_match(id, kUpperUuid)) << id;
    EXPECT_EQ(TempDirectory::read(cache + "/INSTALLATION"), id);
    EXPECT_EQ(Installation::id(cache), id);

    // Cached for the process: a later change of the file is not seen.
    dir.write("nested/cache/INSTALLATION", "changed");
    EXPECT_EQ(Installation::id(cache), id);

    TempDirectory other;
    EXPECT_NE(Installation::id(other.path()), id) << "one id per cache directory";
}

TEST(InstallationTest, ExistingFileIsReadAsIs) {
    TempDirectory dir;
    dir.write("INSTALLATION", " from-an-earlier-run\n");
    EXPECT_EQ(Installation::id(dir.path()), " from-an-earlier-run\n") << "nothing is trimmed";
}

TEST(InstallationTest, UnusableFilesAreReplaced) {
    for (const std::string& contents :
         {std::string(), std::string("\xff\xfe not text"), std::string(5000, 'x')}) {
        TempDirectory dir;
        dir.write("INSTALLATION", contents);
        const std::string id = Installation::id(dir.path());
        EXPECT_TRUE(std::regex_match(id, kUpperUuid)) << contents.size();
        EXPECT_EQ(TempDirectory::read(dir.file("INSTALLATION")), id);
    }
    TempDirectory dir;
    std::filesystem::create_directory(dir.file("INSTALLATION"));
    EXPECT_TRUE(std::regex_match(Installation::id(dir.path()), kUpperUuid))
        << "a folder under the name is not an id";
}

class InstallationHostileTest : public ::testing::TestWithParam<test::Hostile> {};

TEST_P(InstallationHostileTest, WhatIsNoFileOfOursIsReplacedByANewId) {
    TempDirectory dir;
    TempDirectory elsewhere;
    const std::string outside = elsewhere.write("id", "outside-id");
    test::plantHostile(GetParam(), dir.file("INSTALLATION"), outside);
    std::string id;
    {
        test::Watchdog watchdog(std::chrono::seconds(10), "reading the installation id");
        id = Installation::id(dir.path());
    }
    EXPECT_TRUE(std::regex_match(id, kUpperUuid)) << id.substr(0, 100);
    EXPECT_TRUE(std::filesystem::is_regular_file(
        std::filesystem::symlink_status(dir.file("INSTALLATION"))));
    EXPECT_EQ(TempDirectory::read(dir.file("INSTALLATION")), id);
    EXPECT_EQ(TempDirectory::read(outside), "outside-id");
}

INSTANTIATE_TEST_SUITE_P(Kinds, InstallationHostileTest,
                         ::testing::ValuesIn(test::allHostileKinds()), test::hostileTestName);

TEST(InstallationTest, UnwritableDirectoryStillGivesOneIdAndLogs) {
    TempDirectory dir;
    // A file where a folder should be: nothing can be made below it, even as root.
    dir.write("blocker", "file");
    const std::string cache = dir.file("blocker/cache");
    test::LogCapture log(Level::Error);
    const std::string id = Installation::id(cache);
    EXPECT_TRUE(std::regex_match(id, kUpperUuid));
    EXPECT_TRUE(
        log.contains("Failed to store installationID file at path " + cache + "/INSTALLATION"));
    EXPECT_EQ(Installation::id(cache), id) << "the same id for the rest of the process";
    EXPECT_EQ(log.count("Failed to store installationID"), 1u);
}

TEST(InstallationTest, ConcurrentFirstCallsAgreeOnOneId) {
    TempDirectory dir;
    std::vector<std::string> ids(8);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < ids.size(); ++i) {
        threads.emplace_back([&, i] { ids[i] = Installation::id(dir.path()); });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(std::set<std::string>(ids.begin(), ids.end()).size(), 1u);
    EXPECT_EQ(TempDirectory::read(dir.file("INSTALLATION")), ids[0]);
}

TEST(InstallationTest, CacheIdAsyncRunsOnTheSharedBackgroundQueue) {
    DependencyContainer::reset();
    auto queue = std::make_shared<test::TestDispatchQueueWrapper>();
    DependencyContainer::sharedInstance()->setDispatchQueueWrapper(queue);
    TempDirectory dir;
    Installation::cacheIdAsync(dir.path());
    EXPECT_EQ(queue->asyncCount, 1);
    const std::string stored = TempDirectory::read(dir.file("INSTALLATION"));
    EXPECT_TRUE(std::regex_match(stored, kUpperUuid));
    EXPECT_EQ(Installation::id(dir.path()), stored);
    DependencyContainer::reset();
}

}  // namespace
}  // namespace skald
