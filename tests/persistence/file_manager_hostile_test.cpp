// What the file manager does with entries it did not write: FIFOs, symlinks,
// folders and huge files under the names of envelopes and state files.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>

#include "skald/serialization.h"
#include "persistence/file_manager.h"
#include "skald/app_state.h"
#include "skald/envelope.h"
#include "skald/event.h"
#include "skald/session.h"
#include "support/file_manager_fixture.h"
#include "support/hostile_files.h"
#include "support/log_capture.h"
#include "support/temp_directory.h"
#include "util/iso8601.h"

namespace skald {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::Hostile;

std::string envelopeBytes(const std::string& logger) {
    Event event(Level::Error);
    event.logger = logger;
    return *Serialization::dataWithEnvelope(*Envelope::forEvent(event));
}

std::shared_ptr<Envelope> errorEnvelope() {
    Event event(Level::Error);
    return Envelope::forEvent(event);
}

class FileManagerHostileTest : public test::FileManagerFixture,
                               public ::testing::WithParamInterface<Hostile> {
  protected:
    /// Plants the entry at `path`; a symlink outside leads to a file holding
    /// `outsideContents`, valid data for the reader under test, so that a
    /// reader that follows it would give something back.
    void plant(const std::string& path, const std::string& outsideContents) {
        outsidePath = elsewhere.write("outside", outsideContents);
        outsideBefore = outsideContents;
        test::plantHostile(GetParam(), path, outsidePath);
    }
    void TearDown() override {
        if (!outsidePath.empty()) {
            EXPECT_EQ(test::TempDirectory::read(outsidePath), outsideBefore)
                << "the file outside is neither changed nor removed";
        }
        FileManagerFixture::TearDown();
    }
    size_t envelopeFolderEntries() {
        return static_cast<size_t>(std::distance(fs::directory_iterator(manager->envelopesPath()),
                                                 fs::directory_iterator()));
    }

    test::TempDirectory elsewhere;
    std::string outsidePath;
    std::string outsideBefore;
};

TEST_P(FileManagerHostileTest, AnEntryFirstInTheEnvelopeFolderNeitherBlocksNorStopsTheOthers) {
    const std::string first = manager->storeEnvelope(*errorEnvelope());
    const std::string second = manager->storeEnvelope(*errorEnvelope());
    ASSERT_FALSE(first.empty());
    // Planted after the last store, so that the read is the first to meet it.
    const std::string planted = manager->envelopesPath() + "/0000-planted.json";
    plant(planted, envelopeBytes("outside"));
    test::LogCapture log(Level::Warning);

    {
        test::Watchdog watchdog(10s, "reading the oldest envelope");
        const auto started = std::chrono::steady_clock::now();
        const auto oldest = manager->getOldestEnvelope();
        EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
        ASSERT_TRUE(oldest);
        EXPECT_EQ(oldest->path, first);
        EXPECT_EQ(oldest->contents.find("outside"), std::string::npos);
    }
    EXPECT_FALSE(test::entryExists(planted));
    EXPECT_TRUE(log.contains("Removed " + planted)) << ::testing::PrintToString(log.lines());

    const auto all = manager->getAllEnvelopes();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].path, first);
    EXPECT_EQ(all[1].path, second);
}

TEST_P(FileManagerHostileTest, AnEntryThatIsNoEnvelopeDoesNotCountTowardsTheLimit) {
    manager->setMaxEnvelopes(2);
    plant(manager->envelopesPath() + "/0000-planted.json", envelopeBytes("outside"));
    const std::string first = manager->storeEnvelope(*errorEnvelope());
    const std::string second = manager->storeEnvelope(*errorEnvelope());
    EXPECT_TRUE(fs::exists(first)) << "the planted entry made room, not the oldest envelope";
    EXPECT_TRUE(fs::exists(second));
    EXPECT_EQ(envelopeFolderEntries(), 2u);
}

TEST_P(FileManagerHostileTest, AHostileOldestEnvelopeIsSkippedWhenTheOthersAreSentOneByOne) {
    plant(manager->envelopesPath() + "/0000-planted.json", envelopeBytes("outside"));
    for (int i = 0; i < 3; ++i) manager->storeEnvelope(*errorEnvelope());
    // What the transport does: send the oldest, delete it, go on.
    size_t sent = 0;
    test::Watchdog watchdog(10s, "draining the envelope folder");
    while (auto oldest = manager->getOldestEnvelope()) {
        ASSERT_TRUE(Serialization::envelopeWithData(oldest->contents)) << oldest->path;
        manager->removeFileAtPath(oldest->path);
        ASSERT_LE(++sent, 3u);
    }
    EXPECT_EQ(sent, 3u);
    EXPECT_EQ(envelopeFolderEntries(), 0u);
}

/// A state file of the manager: how to name it, what valid contents look
/// like, and whether reading it gives something.
struct StateFile {
    const char* name;
    std::function<std::string(FileManager&)> path;
    std::function<std::string()> validContents;
    std::function<bool(FileManager&)> readGivesSomething;
};

const std::vector<StateFile>& stateFiles() {
    static const std::vector<StateFile> files = {
        {"current session", [](FileManager& m) { return m.currentSessionFilePath(); },
         [] { return *Serialization::dataWithSession(Session("1.0", "did")); },
         [](FileManager& m) { return m.readCurrentSession() != nullptr; }},
        {"crashed session", [](FileManager& m) { return m.crashedSessionFilePath(); },
         [] { return *Serialization::dataWithSession(Session("1.0", "did")); },
         [](FileManager& m) { return m.readCrashedSession() != nullptr; }},
        {"app state", [](FileManager& m) { return m.appStateFilePath(); },
         [] {
             return *Serialization::dataWithJSONObject(
                 AppState("1.0", "os", "vendor", false, std::chrono::system_clock::now())
                     .serialize());
         },
         [](FileManager& m) { return m.readAppState() != nullptr; }},
        {"previous app state", [](FileManager& m) { return m.previousAppStateFilePath(); },
         [] {
             return *Serialization::dataWithJSONObject(
                 AppState("1.0", "os", "vendor", false, std::chrono::system_clock::now())
                     .serialize());
         },
         [](FileManager& m) { return m.readPreviousAppState() != nullptr; }},
        {"last in foreground", [](FileManager& m) { return m.lastInForegroundFilePath(); },
         [] { return formatIso8601Timestamp(std::chrono::system_clock::now()); },
         [](FileManager& m) { return m.readTimestampLastInForeground().has_value(); }},
        {"time zone offset", [](FileManager& m) { return m.timezoneOffsetFilePath(); },
         [] { return std::string("3600"); },
         [](FileManager& m) { return m.readTimezoneOffset().has_value(); }},
        {"previous breadcrumbs", [](FileManager& m) { return m.previousBreadcrumbsFilePathOne(); },
         [] { return std::string("{\"message\":\"outside\"}\n"); },
         [](FileManager& m) { return !m.readPreviousBreadcrumbs().empty(); }},
    };
    return files;
}

TEST_P(FileManagerHostileTest, StateFilesThatAreNotOursReadAsNothingAndAreRemoved) {
    for (const auto& file : stateFiles()) {
        SCOPED_TRACE(file.name);
        const std::string path = file.path(*manager);
        // The reader works on a real file.
        std::ofstream(path, std::ios::binary | std::ios::trunc) << file.validContents();
        ASSERT_TRUE(file.readGivesSomething(*manager));
        fs::remove(path);

        plant(path, file.validContents());
        {
            test::Watchdog watchdog(10s, std::string("reading the ") + file.name);
            const auto started = std::chrono::steady_clock::now();
            EXPECT_FALSE(file.readGivesSomething(*manager));
            EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
        }
        EXPECT_FALSE(test::entryExists(path));
        EXPECT_EQ(test::TempDirectory::read(outsidePath), outsideBefore);
    }
}

TEST_P(FileManagerHostileTest, TheOtherBreadcrumbFileIsStillRead) {
    plant(manager->previousBreadcrumbsFilePathOne(), "{\"message\":\"outside\"}\n");
    std::ofstream(manager->previousBreadcrumbsFilePathTwo()) << "{\"message\":\"kept\"}\n";
    const auto crumbs = manager->readPreviousBreadcrumbs();
    ASSERT_EQ(crumbs.size(), 1u);
    EXPECT_EQ(crumbs[0]["message"], "kept");
}

INSTANTIATE_TEST_SUITE_P(Kinds, FileManagerHostileTest,
                         ::testing::ValuesIn(test::allHostileKinds()), test::hostileTestName);

class CountingDelegate : public FileManagerDelegate {
  public:
    void envelopeItemDeleted(const std::shared_ptr<const EnvelopeItem>& item,
                             DataCategory) override {
        types.push_back(item->header()->type());
    }
    std::vector<std::string> types;
};

using FileManagerBoundTest = test::FileManagerFixture;

TEST_F(FileManagerBoundTest, EnvelopesOverTheBoundAreNeitherStoredNorReadBack) {
    EXPECT_GE(manager->maxEnvelopeFileBytes(), options->maxAttachmentSize);
    auto delegate = std::make_shared<CountingDelegate>();
    manager->setDelegate(delegate);
    const std::string small = manager->storeEnvelope(*errorEnvelope());
    const uint64_t bound = fs::file_size(small) + 100;
    manager->setMaxEnvelopeFileBytes(bound);

    // Too large to store: dropped at once, and its items count as lost.
    Event big(Level::Error);
    big.logger = std::string(bound, 'x');
    EXPECT_TRUE(manager->storeEnvelope(*Envelope::forEvent(big)).empty());
    EXPECT_EQ(delegate->types, std::vector<std::string>{"event"});

    // A file that grew past the bound on disk is removed when read.
    const std::string grown = manager->storeEnvelope(*errorEnvelope());
    std::ofstream(grown, std::ios::app) << std::string(200, ' ');
    const auto all = manager->getAllEnvelopes();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].path, small);
    EXPECT_FALSE(fs::exists(grown));
}

using FileManagerPurgeTest = test::FileManagerFixture;

TEST_F(FileManagerPurgeTest, TheAgePurgeNeverFollowsASymlinkOutOfTheCache) {
    test::TempDirectory elsewhere;
    // A folder elsewhere with an "envelopes" folder of old files, linked from
    // the base path as if it were the folder of another DSN, and linked as
    // the envelope folder of a real one.
    const std::string outsideOld = elsewhere.write("linked/envelopes/old.json", "old");
    const std::string outsideOther = elsewhere.write("other/old.json", "old");
    fs::create_symlink(elsewhere.file("linked"), manager->basePath() + "/linked-dsn");
    fs::create_directories(manager->basePath() + "/real-dsn");
    fs::create_symlink(elsewhere.file("other"), manager->basePath() + "/real-dsn/envelopes");
    clock->setDate(std::chrono::system_clock::now() + 24h * 91);

    manager->deleteOldEnvelopesFromAllSkaldPaths();
    EXPECT_EQ(test::TempDirectory::read(outsideOld), "old");
    EXPECT_EQ(test::TempDirectory::read(outsideOther), "old");
}

}  // namespace
}  // namespace skald
