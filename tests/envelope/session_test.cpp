#include "skald/session.h"

#include <gtest/gtest.h>

#include "support/test_clock_fixture.h"

#include <thread>
#include <vector>

#include "core/dependency_container.h"
#include "support/test_current_date_provider.h"

namespace skald {
namespace {

class SessionTest : public test::TestClockFixture {
  protected:
    Json validJson() const {
        // In the order the session writes its keys.
        return {{"sid", "A1B2C3D4-0000-4000-8000-000000000001"},
                {"errors", 2},
                {"started", "2024-05-01T10:20:30.123Z"},
                {"init", true},
                {"status", "exited"},
                {"timestamp", "2024-05-01T10:21:30.123Z"},
                {"duration", 60},
                {"seq", 4},
                {"attrs", {{"release", "1.0"}, {"environment", "prod"}}},
                {"did", "install"}};
    }
};

TEST_F(SessionTest, NewSessionSerializesAsTheFirstUpdate) {
    Session session(std::string("1.0"), "install");
    session.setEnvironment("prod");
    const Json json = session.serialize();
    std::vector<std::string> keys;
    for (const auto& [key, value] : json.items()) keys.push_back(key);
    EXPECT_EQ(keys, (std::vector<std::string>{"sid", "errors", "started", "init", "status",
                                              "timestamp", "seq", "attrs", "did"}));
    EXPECT_EQ(json["sid"], session.sessionId().uuidString());
    EXPECT_EQ(json["sid"].get<std::string>().size(), 36u);
    EXPECT_EQ(json["sid"], session.sessionId().uuidString());
    EXPECT_EQ(json["init"], true);
    EXPECT_EQ(json["seq"], 1);
    EXPECT_EQ(json["status"], "ok");
    EXPECT_EQ(json["errors"], 0);
    EXPECT_EQ(json["started"], "2024-05-01T10:20:30.123Z");
    EXPECT_EQ(json["timestamp"], "2024-05-01T10:20:30.123Z");
    EXPECT_EQ(json["attrs"], Json({{"release", "1.0"}, {"environment", "prod"}}));
    EXPECT_EQ(json["did"], "install");
}

TEST_F(SessionTest, SidIsUpperCaseUuidText) {
    const Id id = Id::fromUuidString("a1b2c3d4e5f60718293a4b5c6d7e8f90");
    EXPECT_EQ(id.uuidString(), "A1B2C3D4-E5F6-0718-293A-4B5C6D7E8F90");
    EXPECT_EQ(id.skaldIdString(), "a1b2c3d4e5f60718293a4b5c6d7e8f90");
    EXPECT_EQ(Id::parse(id.uuidString()), id);
    EXPECT_EQ(Id::parse("00000000-0000-0000-0000-000000000000"), Id(Id::Uuid{}));
    EXPECT_FALSE(Id::parse("A1B2C3D4-E5F6-0718-293A-4B5C6D7E8F9"));
    EXPECT_FALSE(Id::parse("G1B2C3D4E5F60718293A4B5C6D7E8F90"));
}

TEST_F(SessionTest, IncrementErrorsIsAChange) {
    Session session(std::string("1.0"), "install");
    clock->advance(5);
    session.incrementErrors();
    const Json json = session.serialize();
    EXPECT_FALSE(json.contains("init"));
    EXPECT_EQ(json["seq"], 2);
    EXPECT_EQ(json["errors"], 1);
    // Not ended: the current time, and no duration yet.
    EXPECT_EQ(json["timestamp"], "2024-05-01T10:20:35.123Z");
    EXPECT_EQ(json["duration"], 0.0);
}

TEST_F(SessionTest, EndingSetsStatusTimestampAndDuration) {
    struct Case {
        void (Session::*end)(Date);
        const char* status;
    };
    for (const Case& c :
         {Case{&Session::endSessionExited, "exited"}, Case{&Session::endSessionCrashed, "crashed"},
          Case{&Session::endSessionAbnormal, "abnormal"}}) {
        Session session(std::string("1.0"), "install");
        (session.*c.end)(clock->date() + std::chrono::milliseconds(12500));
        const Json json = session.serialize();
        EXPECT_EQ(json["status"], c.status);
        EXPECT_EQ(json["seq"], 2);
        EXPECT_FALSE(json.contains("init"));
        EXPECT_EQ(json["timestamp"], "2024-05-01T10:20:42.623Z");
        EXPECT_DOUBLE_EQ(json["duration"].get<double>(), 12.5);
    }

    // Ending as abnormal at the start time gives a duration of 0.
    Session session(std::string("1.0"), "install");
    session.endSessionAbnormal(session.started());
    EXPECT_EQ(session.serialize()["duration"], 0.0);
}

TEST_F(SessionTest, InitFlagAndDefaultSession) {
    Session session("install");
    EXPECT_FALSE(session.flagInit());
    EXPECT_FALSE(session.releaseName());
    const Json json = session.serialize();
    EXPECT_FALSE(json.contains("init"));
    EXPECT_FALSE(json.contains("attrs"));
    EXPECT_EQ(json["duration"], 0.0);
    session.setFlagInit();
    EXPECT_EQ(session.serialize()["init"], true);
    EXPECT_FALSE(session.serialize().contains("duration"));
    EXPECT_EQ(session.sequence(), 1u);
}

TEST_F(SessionTest, SettingTheUserIsAChangeAndCopiesIt) {
    Session session(std::string("1.0"), "install");
    auto user = std::make_shared<User>("u1");
    session.setUser(user);
    user->setUserId("changed");
    EXPECT_EQ(session.user()->userId(), "u1");
    EXPECT_FALSE(session.flagInit());
    EXPECT_EQ(session.sequence(), 2u);
}

TEST_F(SessionTest, CopyKeepsEveryField) {
    Session session(std::string("1.0"), "install");
    session.setEnvironment("prod");
    session.setUser(std::make_shared<User>("u1"));
    session.setFlagInit();
    session.incrementErrors();
    session.setFlagInit();
    const Session copy(session);
    EXPECT_EQ(copy.serialize(), session.serialize());
    EXPECT_EQ(copy.flagInit(), true);
    EXPECT_EQ(copy.user()->userId(), "u1");
    session.incrementErrors();
    EXPECT_EQ(copy.errors(), 1u);
}

TEST_F(SessionTest, ReadsItsJsonBack) {
    const auto session = Session::fromJson(validJson());
    ASSERT_TRUE(session);
    EXPECT_EQ(session->sessionId().uuidString(), "A1B2C3D4-0000-4000-8000-000000000001");
    EXPECT_EQ(session->errors(), 2u);
    EXPECT_EQ(session->status(), SessionStatus::Exited);
    EXPECT_EQ(session->sequence(), 4u);
    EXPECT_EQ(session->flagInit(), true);
    EXPECT_EQ(session->releaseName(), "1.0");
    EXPECT_EQ(session->environment(), "prod");
    EXPECT_EQ(session->duration(), 60.0);
    EXPECT_EQ(session->serialize(), validJson());

    Session original(std::string("2.0"), "install");
    original.endSessionCrashed(clock->date() + std::chrono::seconds(3));
    EXPECT_EQ(Session::fromJson(original.serialize())->serialize(), original.serialize());
}

TEST_F(SessionTest, RejectsMissingOrMistypedRequiredKeys) {
    for (const char* key : {"sid", "started", "status", "seq", "errors", "did"}) {
        Json json = validJson();
        json.erase(key);
        EXPECT_FALSE(Session::fromJson(json)) << key;
    }
    const std::vector<std::pair<const char*, Json>> wrong = {
        {"sid", "not-a-uuid"}, {"sid", 5},      {"started", "yesterday"},
        {"status", "paused"},  {"status", 1},   {"seq", "4"},
        {"seq", -1},           {"errors", 1.5}, {"did", nullptr}};
    for (const auto& [key, value] : wrong) {
        Json json = validJson();
        json[key] = value;
        EXPECT_FALSE(Session::fromJson(json)) << key << " = " << value.dump();
    }
    EXPECT_FALSE(Session::fromJson(Json::array()));
}

TEST_F(SessionTest, OptionalKeysOfTheWrongTypeAreIgnored) {
    Json json = validJson();
    json["init"] = "yes";
    json["attrs"] = {{"release", 1}};
    json["timestamp"] = "soon";
    json["duration"] = "long";
    const auto session = Session::fromJson(json);
    ASSERT_TRUE(session);
    EXPECT_FALSE(session->flagInit());
    EXPECT_FALSE(session->releaseName());
    EXPECT_FALSE(session->timestamp());
    EXPECT_FALSE(session->duration());
}

TEST_F(SessionTest, ConcurrentChangesAreNotLost) {
    Session session(std::string("1.0"), "install");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 1000; ++i) {
                session.incrementErrors();
                (void)session.serialize();
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(session.errors(), 4000u);
    EXPECT_EQ(session.sequence(), 4001u);
}

}  // namespace
}  // namespace skald
