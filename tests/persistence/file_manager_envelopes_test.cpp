#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "persistence/file_manager.h"
#include "skald/app_state.h"
#include "skald/envelope.h"
#include "skald/event.h"
#include "skald/serialization.h"
#include "skald/session.h"
#include "support/file_manager_fixture.h"
#include "support/log_capture.h"

namespace skald {
namespace {

namespace fs = std::filesystem;

class RecordingDelegate : public FileManagerDelegate {
  public:
    void envelopeItemDeleted(const std::shared_ptr<const EnvelopeItem>& item,
                             DataCategory category) override {
        deleted.emplace_back(item->header()->type(), category);
    }
    std::vector<std::pair<std::string, DataCategory>> deleted;
};

class FileManagerEnvelopesTest : public test::FileManagerFixture {
  protected:
    std::shared_ptr<Envelope> eventEnvelope(const std::string& message) {
        Event event(Level::Error);
        event.logger = message;
        return Envelope::forEvent(event);
    }
    std::shared_ptr<Envelope> eventAndSession(const Session& session) {
        Event event(Level::Error);
        return std::make_shared<Envelope>(
            event.eventId,
            Envelope::Items{EnvelopeItem::forEvent(event), EnvelopeItem::forSession(session)});
    }
    size_t fileCount() {
        return static_cast<size_t>(std::distance(fs::directory_iterator(manager->envelopesPath()),
                                                 fs::directory_iterator()));
    }
};

TEST_F(FileManagerEnvelopesTest, StoredEnvelopesComeBackOldestFirstAndPrivate) {
    const std::string first = manager->storeEnvelope(*eventEnvelope("first"));
    const std::string second = manager->storeEnvelope(*eventEnvelope("second"));
    ASSERT_FALSE(first.empty());
    struct stat info {};
    ASSERT_EQ(::stat(first.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    const auto oldest = manager->getOldestEnvelope();
    ASSERT_TRUE(oldest);
    EXPECT_EQ(oldest->path, first);
    const auto parsed = Serialization::envelopeWithData(oldest->contents);
    ASSERT_TRUE(parsed);
    EXPECT_NE(parsed->items()[0]->data().find("\"first\""), std::string::npos);

    const auto all = manager->getAllEnvelopes();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[1].path, second);
    manager->removeFileAtPath(first);
    EXPECT_EQ(manager->getOldestEnvelope()->path, second);
}

TEST_F(FileManagerEnvelopesTest, LimitRemovesTheOldestAndReportsEachItem) {
    auto delegate = std::make_shared<RecordingDelegate>();
    manager->setDelegate(delegate);
    Session session("1.0", "did");
    session.incrementErrors();  // no init flag: nothing to migrate
    const std::string oldest = manager->storeEnvelope(*eventAndSession(session));
    for (int i = 0; i < 29; ++i) manager->storeEnvelope(*eventEnvelope("e"));
    EXPECT_EQ(fileCount(), 30u);
    EXPECT_TRUE(delegate->deleted.empty());

    manager->storeEnvelope(*eventEnvelope("31st"));
    EXPECT_EQ(fileCount(), 30u);
    EXPECT_FALSE(fs::exists(oldest));
    ASSERT_EQ(delegate->deleted.size(), 2u);
    EXPECT_EQ(delegate->deleted[0], std::make_pair(std::string("event"), DataCategory::Error));
    EXPECT_EQ(delegate->deleted[1], std::make_pair(std::string("session"), DataCategory::Session));
}

TEST_F(FileManagerEnvelopesTest, MigratedSessionInitIsNotReportedAsLost) {
    auto delegate = std::make_shared<RecordingDelegate>();
    manager->setDelegate(delegate);
    manager->setMaxEnvelopes(2);
    Session session("1.0", "did");
    ASSERT_EQ(session.flagInit(), true);
    manager->storeEnvelope(*eventAndSession(session));
    Session update(session);
    update.incrementErrors();
    const std::string later = manager->storeEnvelope(*Envelope::forSession(update));
    manager->storeEnvelope(*eventEnvelope("third"));

    ASSERT_EQ(delegate->deleted.size(), 1u) << "only the event item counts as lost";
    EXPECT_EQ(delegate->deleted[0].first, "event");
    std::ifstream file(later, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(file)), {});
    const auto rewritten = Serialization::envelopeWithData(bytes);
    ASSERT_TRUE(rewritten);
    const auto moved = Serialization::sessionWithData(rewritten->items().back()->data());
    ASSERT_TRUE(moved);
    EXPECT_EQ(moved->flagInit(), true);
    EXPECT_EQ(moved->sessionId(), session.sessionId());
}

TEST_F(FileManagerEnvelopesTest, GarbageFilesDoNotStopTheLimitOrTheReading) {
    auto delegate = std::make_shared<RecordingDelegate>();
    manager->setDelegate(delegate);
    manager->setMaxEnvelopes(1);
    // Sorts before every generated name.
    std::ofstream(manager->envelopesPath() + "/0000-garbage.json") << "\x01\x02 not an envelope";
    std::ofstream(manager->envelopesPath() + "/0001-empty.json");
    test::LogCapture log;
    const std::string kept = manager->storeEnvelope(*eventEnvelope("kept"));
    EXPECT_EQ(fileCount(), 1u);
    EXPECT_TRUE(fs::exists(kept));
    EXPECT_TRUE(delegate->deleted.empty());
}

TEST_F(FileManagerEnvelopesTest, EnvelopesOfAnotherWriterAreTrimmedByTheTimeOurOwnReachTheLimit) {
    manager->setMaxEnvelopes(5);
    for (int i = 0; i < 3; ++i) manager->storeEnvelope(*eventEnvelope("own"));
    EXPECT_EQ(fileCount(), 3u);
    // Another process with the same folder; it sorts first, so it goes first.
    for (int i = 0; i < 10; ++i) {
        std::ofstream(manager->envelopesPath() + "/0000-other-" + std::to_string(i) + ".json")
            << Serialization::dataWithEnvelope(*eventEnvelope("other")).value();
    }
    // This process counts its own stores: the limit holds again at the
    // latest once they alone would reach it.
    for (int i = 0; i < 3; ++i) manager->storeEnvelope(*eventEnvelope("own"));
    EXPECT_EQ(fileCount(), 5u);

    // Removals behind its back only make it list sooner.
    manager->deleteAllEnvelopes();
    for (int i = 0; i < 7; ++i) manager->storeEnvelope(*eventEnvelope("again"));
    EXPECT_EQ(fileCount(), 5u);
}

TEST_F(FileManagerEnvelopesTest, SessionsRoundTripAndRecreateADeletedCacheFolder) {
    EXPECT_FALSE(manager->readCurrentSession());
    Session session("1.0", "did");
    fs::remove_all(manager->skaldPath());
    manager->storeCurrentSession(session);
    EXPECT_TRUE(fs::exists(manager->currentSessionFilePath()));
    const auto read = manager->readCurrentSession();
    ASSERT_TRUE(read);
    EXPECT_EQ(read->sessionId(), session.sessionId());
    EXPECT_FALSE(manager->readCrashedSession());

    manager->storeCrashedSession(session);
    EXPECT_TRUE(manager->readCrashedSession());
    manager->deleteCurrentSession();
    manager->deleteCrashedSession();
    EXPECT_FALSE(manager->readCurrentSession());
    EXPECT_FALSE(manager->readCrashedSession());

    std::ofstream(manager->currentSessionFilePath()) << "{not json";
    test::LogCapture log;
    EXPECT_FALSE(manager->readCurrentSession());
    EXPECT_TRUE(log.contains("was not parsed as session"));
}

TEST_F(FileManagerEnvelopesTest, AppStateMovesToThePreviousLaunch) {
    EXPECT_FALSE(manager->readAppState());
    AppState state("app@1.0+1", "6.1.0", "vendor", false,
                   dateWithTimeIntervalSince1970(1714558830));
    state.isActive = true;
    manager->storeAppState(state);
    const auto read = manager->readAppState();
    ASSERT_TRUE(read);
    EXPECT_TRUE(read->isActive);
    EXPECT_EQ(read->releaseName, "app@1.0+1");

    manager->moveAppStateToPreviousAppState();
    EXPECT_FALSE(manager->readAppState());
    ASSERT_TRUE(manager->readPreviousAppState());
    EXPECT_EQ(manager->readPreviousAppState()->vendorId, "vendor");
    manager->deleteAppState();
    EXPECT_FALSE(manager->readPreviousAppState());
}

TEST_F(FileManagerEnvelopesTest, OldEnvelopeDeletionRunsOnTheQueue) {
    manager->storeEnvelope(*eventEnvelope("x"));
    clock->setDate(clock->date() + std::chrono::hours(24 * 91));
    const int before = queue->asyncCount;
    manager->deleteOldEnvelopeItems();
    EXPECT_EQ(queue->asyncCount, before + 1);
    EXPECT_EQ(fileCount(), 0u);
}

}  // namespace
}  // namespace skald
