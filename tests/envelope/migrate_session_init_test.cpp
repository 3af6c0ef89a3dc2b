#include "envelope/migrate_session_init.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "core/dependency_container.h"
#include "skald/serialization.h"
#include "skald/envelope.h"
#include "skald/session.h"
#include "support/log_capture.h"
#include "support/temp_directory.h"

namespace skald {
namespace {

constexpr uint64_t kBound = 1 << 20;

class MigrateSessionInitTest : public ::testing::Test {
  protected:
    void TearDown() override { DependencyContainer::reset(); }

    std::string store(const std::string& name, const Envelope& envelope) {
        dir.write(name, *Serialization::dataWithEnvelope(envelope));
        return name;
    }

    std::shared_ptr<Envelope> load(const std::string& name) {
        return Serialization::envelopeWithData(test::TempDirectory::read(dir.file(name)));
    }

    static std::shared_ptr<EnvelopeItem> other(const std::string& type) {
        return std::make_shared<EnvelopeItem>(std::make_shared<EnvelopeItemHeader>(type, 2), "{}");
    }

    test::TempDirectory dir;
};

TEST_F(MigrateSessionInitTest, MovesTheInitFlagToTheNextEnvelopeOfTheSameSession) {
    Session session(std::string("1.0"), "install");
    const auto dropped = Envelope::forSession(session);  // carries "init"
    Session unrelated(std::string("1.0"), "install");
    unrelated.incrementErrors();
    session.incrementErrors();  // the later update has no "init"

    const auto header = std::make_shared<EnvelopeHeader>(Id());
    const auto unrelatedOnly = store("1", *Envelope::forSession(unrelated));
    const auto target = store(
        "2", Envelope(header, Envelope::Items{EnvelopeItem::forSession(session), other("event"),
                                              EnvelopeItem::forSession(unrelated)}));
    const auto later = store("3", *Envelope::forSession(session));
    const std::string laterBefore = test::TempDirectory::read(dir.file(later));

    EXPECT_TRUE(migrateSessionInit(*dropped, dir.path(), {unrelatedOnly, target, later}, kBound));

    const auto migrated = load(target);
    ASSERT_TRUE(migrated);
    EXPECT_EQ(migrated->header()->eventId(), header->eventId());
    ASSERT_EQ(migrated->items().size(), 3u);
    EXPECT_EQ(migrated->items()[0]->header()->type(), "event");
    const auto kept = Serialization::sessionWithData(migrated->items()[1]->data());
    EXPECT_EQ(kept->sessionId(), unrelated.sessionId());
    EXPECT_FALSE(kept->flagInit());
    const auto updated = Serialization::sessionWithData(migrated->items()[2]->data());
    ASSERT_TRUE(updated);
    EXPECT_EQ(updated->sessionId(), session.sessionId());
    EXPECT_EQ(updated->flagInit(), true);
    EXPECT_EQ(updated->errors(), 1u);

    // Only the first match changes.
    EXPECT_EQ(test::TempDirectory::read(dir.file(later)), laterBefore);
    EXPECT_FALSE(
        Serialization::sessionWithData(load(unrelatedOnly)->items()[0]->data())->flagInit());
}

TEST_F(MigrateSessionInitTest, NothingToMigrate) {
    Session session(std::string("1.0"), "install");
    Session other(std::string("1.0"), "install");
    store("garbage", Envelope(std::nullopt, Envelope::Items{}));  // header only: unreadable
    dir.write("broken", "not an envelope");
    const auto unrelated = store("1", *Envelope::forSession(other));

    EXPECT_FALSE(migrateSessionInit(*Envelope::forSession(session), dir.path(),
                                    {"missing", "garbage", "broken", unrelated}, kBound));

    // A dropped update without "init" has nothing to hand on.
    Session changed(std::string("1.0"), "install");
    changed.incrementErrors();
    const auto same = store("2", *Envelope::forSession(changed));
    EXPECT_FALSE(migrateSessionInit(*Envelope::forSession(changed), dir.path(), {same}, kBound));
    EXPECT_FALSE(migrateSessionInit(*Envelope::forSession(session), dir.path(), {}, kBound));
}

TEST_F(MigrateSessionInitTest, SkipsLinksAndOversizedFilesAndMovesTheFlagToARealEnvelope) {
    Session session(std::string("1.0"), "install");
    const auto dropped = Envelope::forSession(session);
    session.incrementErrors();
    // An envelope of the same session outside the folder, reachable by a link.
    test::TempDirectory elsewhere;
    const std::string outside = elsewhere.write(
        "outside", *Serialization::dataWithEnvelope(*Envelope::forSession(session)));
    const std::string outsideBefore = test::TempDirectory::read(outside);
    std::filesystem::create_symlink(outside, dir.file("1"));
    const auto big = store("2", *Envelope::forSession(session));
    const auto target = store("3", *Envelope::forSession(session));
    const uint64_t bound = std::filesystem::file_size(dir.file(target));
    dir.write(big, test::TempDirectory::read(dir.file(big)) + std::string(100, ' '));

    EXPECT_TRUE(migrateSessionInit(*dropped, dir.path(), {"1", big, target}, bound));
    EXPECT_EQ(load(target)->items().size(), 1u);
    EXPECT_EQ(Serialization::sessionWithData(load(target)->items()[0]->data())->flagInit(), true);
    EXPECT_FALSE(std::filesystem::exists(dir.file("1")));
    EXPECT_FALSE(std::filesystem::exists(dir.file(big)));
    EXPECT_EQ(test::TempDirectory::read(outside), outsideBefore);
}

TEST_F(MigrateSessionInitTest, FailedWriteIsLoggedAndLeavesTheFile) {
    test::LogCapture log;
    Session session(std::string("1.0"), "install");
    const auto dropped = Envelope::forSession(session);
    session.incrementErrors();
    // A name so long that no temporary file can be made beside it.
    const auto target = store(std::string(250, 'e'), *Envelope::forSession(session));
    const std::string before = test::TempDirectory::read(dir.file(target));

    EXPECT_FALSE(migrateSessionInit(*dropped, dir.path(), {target}, kBound));
    EXPECT_TRUE(log.contains(
        "Could not migrate session init, because storing the updated envelope failed: "));
    EXPECT_EQ(test::TempDirectory::read(dir.file(target)), before);
}

}  // namespace
}  // namespace skald
