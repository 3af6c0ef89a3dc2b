#include "skald/user.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace skald {
namespace {

std::shared_ptr<Geo> makeGeo() {
    auto geo = std::make_shared<Geo>();
    geo->city = "Oslo";
    geo->countryCode = "NO";
    geo->region = "Oslo";
    return geo;
}

User fullUser() {
    User user("42");
    user.setEmail("a@b.c");
    user.setUsername("ann");
    user.setIpAddress("{{auto}}");
    user.setSegment("beta");
    user.setName("Ann");
    user.setGeo(makeGeo());
    user.setData(Json{{"plan", "pro"}, {"__skald_x", 1}});
    user.setUnknown(Json{{"extra_key", true}});
    return user;
}

TEST(User, SerializesKnownKeysInOrderThenUnknown) {
    EXPECT_EQ(fullUser().serialize().dump(),
              R"({"id":"42","email":"a@b.c","username":"ann","ip_address":"{{auto}}",)"
              R"("segment":"beta","name":"Ann",)"
              R"("geo":{"city":"Oslo","country_code":"NO","region":"Oslo"},)"
              R"("data":{"plan":"pro"},"extra_key":true})");
    EXPECT_EQ(User().serialize(), Json::object());
    EXPECT_EQ(User("7").serialize().dump(), R"({"id":"7"})");
    EXPECT_EQ(Geo().serialize(), Json::object());
}

TEST(User, UnknownEntriesWinOverKnownKeys) {
    User user("1");
    user.setUnknown(Json{{"id", 2}});
    EXPECT_EQ(user.serialize().dump(), R"({"id":2})");
}

TEST(User, FromDictionaryKeepsNameAndGeoInUnknown) {
    const Json input = {
        {"id", "1"},      {"email", "e"},         {"username", "u"}, {"ip_address", "ip"},
        {"segment", "s"}, {"data", {{"k", "v"}}}, {"name", "Ann"},   {"geo", {{"city", "Oslo"}}}};
    const User user = User::fromDictionary(input);
    EXPECT_EQ(user.userId(), "1");
    EXPECT_EQ(user.email(), "e");
    EXPECT_EQ(user.username(), "u");
    EXPECT_EQ(user.ipAddress(), "ip");
    EXPECT_EQ(user.segment(), "s");
    EXPECT_EQ(user.data(), (Json{{"k", "v"}}));
    EXPECT_FALSE(user.name().has_value());
    EXPECT_EQ(user.geo(), nullptr);
    EXPECT_EQ(user.unknown(), (Json{{"name", "Ann"}, {"geo", {{"city", "Oslo"}}}}));
    // Written back unchanged.
    EXPECT_EQ(user.serialize(), input);
}

TEST(User, FromDictionaryPutsWrongTypesInUnknown) {
    const User user = User::fromDictionary(Json{{"id", 5}, {"data", {1, 2}}, {"email", nullptr}});
    EXPECT_FALSE(user.userId().has_value());
    EXPECT_FALSE(user.data().has_value());
    EXPECT_FALSE(user.email().has_value());
    EXPECT_EQ(user.unknown(), (Json{{"id", 5}, {"data", {1, 2}}, {"email", nullptr}}));
    EXPECT_FALSE(User::fromDictionary(Json{{"id", "x"}}).unknown().has_value());
    EXPECT_EQ(User::fromDictionary(Json("not an object")), User());
}

TEST(User, CopyIsDeepAndEqual) {
    const User original = fullUser();
    User copy = original;
    EXPECT_EQ(copy, original);
    ASSERT_NE(copy.geo(), nullptr);
    EXPECT_NE(copy.geo(), original.geo());  // a geo of its own
    copy.geo()->city = "Bergen";
    EXPECT_EQ(original.geo()->city, "Oslo");
    EXPECT_NE(copy, original);

    User assigned;
    assigned = original;
    EXPECT_EQ(assigned, original);
    assigned = assigned;  // self-assignment keeps the values
    EXPECT_EQ(assigned, original);
}

TEST(User, EqualityCoversEveryProperty) {
    const User base = fullUser();
    std::vector<std::function<void(User&)>> changes = {
        [](User& u) { u.setUserId("43"); },
        [](User& u) { u.setEmail(std::nullopt); },
        [](User& u) { u.setUsername("bob"); },
        [](User& u) { u.setIpAddress("1.2.3.4"); },
        [](User& u) { u.setSegment("alpha"); },
        [](User& u) { u.setName("Bob"); },
        [](User& u) { u.setGeo(nullptr); },
        [](User& u) { u.setData(Json{{"plan", "free"}}); },
        [](User& u) { u.setUnknown(std::nullopt); },
    };
    for (size_t i = 0; i < changes.size(); ++i) {
        User changed = base;
        changes[i](changed);
        EXPECT_NE(changed, base) << "change " << i;
    }
    User reordered = base;
    reordered.setData(Json{{"__skald_x", 1}, {"plan", "pro"}});
    EXPECT_EQ(reordered, base);
    EXPECT_EQ(base, base);
}

TEST(User, PropertiesAreSafeFromManyThreads) {
    auto user = std::make_shared<User>("start");
    std::atomic<bool> stop{false};
    std::atomic<size_t> reads{0};
    std::vector<std::thread> threads;
    for (int w = 0; w < 2; ++w) {
        threads.emplace_back([&, w] {
            for (int i = 0; i < 2000; ++i) {
                const std::string value =
                    std::string(64, static_cast<char>('a' + w)) + std::to_string(i);
                user->setUserId(value);
                user->setEmail(value);
                user->setData(Json{{"i", i}});
                user->setGeo(makeGeo());
            }
        });
    }
    for (int r = 0; r < 2; ++r) {
        threads.emplace_back([&] {
            for (int i = 0; !stop || i < 100; ++i) {
                const auto id = user->userId();
                const Json json = user->serialize();
                const User copy = *user;
                if (id && !id->empty() && json.contains("id")) ++reads;
                (void)(copy == *user);
            }
        });
    }
    for (int w = 0; w < 2; ++w) threads[w].join();
    stop = true;
    for (size_t i = 2; i < threads.size(); ++i) threads[i].join();
    EXPECT_GT(reads.load(), 0u);
    const std::string last = *user->userId();
    EXPECT_TRUE(last == std::string(64, 'a') + "1999" || last == std::string(64, 'b') + "1999");
}

}  // namespace
}  // namespace skald
