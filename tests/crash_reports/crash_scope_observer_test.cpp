// The crash-time copy of the scope, as the scope observer keeps it.
#include "crash/recording/crash_scope_observer.h"

#include <gtest/gtest.h>

#include <limits>
#include <nlohmann/json.hpp>

#include "crash/recording/crash_snapshot_setters.h"
#include "skald/user.h"

namespace skald::crash {
namespace {

std::optional<nlohmann::json> slot(scope::Field field) {
    const char* text = scope::field(field);
    if (text == nullptr) return std::nullopt;
    return nlohmann::json::parse(text);
}

std::vector<std::string> crumbMessages() {
    std::vector<std::string> messages;
    const int capacity = scope::breadcrumbCapacity();
    for (int i = 0; i < capacity; ++i) {
        const char* crumb = scope::breadcrumbAt((scope::breadcrumbNextIndex() + i) % capacity);
        if (crumb != nullptr) messages.push_back(nlohmann::json::parse(crumb)["message"]);
    }
    return messages;
}

TEST(CrashScopeObserver, ValuesAreStoredAsSortedJsonAndEmptyOnesClearTheSlot) {
    CrashScopeObserver observer(10);
    observer.setTags({{"b", "2"}, {"a", "1"}});
    EXPECT_STREQ(scope::field(scope::Field::Tags), R"({"a":"1","b":"2"})");
    observer.setTags({});
    EXPECT_EQ(scope::field(scope::Field::Tags), nullptr);

    Json extras = Json::object();
    extras["zeta"] = 1;
    extras["alpha"] = Json::array({1, 2});
    observer.setExtras(extras);
    EXPECT_STREQ(scope::field(scope::Field::Extra), R"({"alpha":[1,2],"zeta":1})");

    observer.setLevel(Level::Warning);
    EXPECT_EQ(slot(scope::Field::Level), "warning");
    observer.setLevel(Level::None);
    EXPECT_EQ(scope::field(scope::Field::Level), nullptr);

    observer.setDist(std::string("42"));
    EXPECT_EQ(slot(scope::Field::Dist), "42");
    observer.setDist(std::nullopt);
    EXPECT_EQ(scope::field(scope::Field::Dist), nullptr);

    auto user = std::make_shared<User>("u-1");
    observer.setUser(user);
    EXPECT_EQ((*slot(scope::Field::User))["id"], "u-1");
    observer.setUser(nullptr);
    EXPECT_EQ(scope::field(scope::Field::User), nullptr);
}

TEST(CrashScopeObserver, AValueThatCannotBeWrittenKeepsThePreviousOne) {
    CrashScopeObserver observer(10);
    Json good = Json::object();
    good["ok"] = true;
    observer.setContext(good);
    Json bad = Json::object();
    bad["ratio"] = std::numeric_limits<double>::quiet_NaN();
    observer.setContext(bad);
    EXPECT_STREQ(scope::field(scope::Field::Context), R"({"ok":true})");
}

TEST(CrashScopeObserver, TextThatIsNotUtf8IsKeptWithReplacementCharacters) {
    CrashScopeObserver observer(10);
    observer.setTags({{"screen", "main\xff\xfe"}});
    EXPECT_STREQ(scope::field(scope::Field::Tags), "{\"screen\":\"main\xEF\xBF\xBD\xEF\xBF\xBD\"}");
    Json crumb = Json::object();
    crumb["message"] = "tapped \xc0\xaf";
    observer.addSerializedBreadcrumb(crumb);
    ASSERT_EQ(crumbMessages().size(), 1u);
    EXPECT_EQ(crumbMessages()[0].rfind("tapped ", 0), 0u);
}

TEST(CrashScopeObserver, TheRingKeepsTheNewestBreadcrumbsOldestFirst) {
    CrashScopeObserver observer(2);
    for (const char* message : {"first", "second", "third"}) {
        Json crumb = Json::object();
        crumb["message"] = message;
        observer.addSerializedBreadcrumb(crumb);
    }
    EXPECT_EQ(crumbMessages(), (std::vector<std::string>{"second", "third"}));
    observer.clearBreadcrumbs();
    EXPECT_TRUE(crumbMessages().empty());
}

TEST(CrashScopeObserver, ClearEmptiesEverything) {
    CrashScopeObserver observer(3);
    observer.setEnvironment(std::string("production"));
    observer.setFingerprint({"a", "b"});
    Json crumb = Json::object();
    crumb["message"] = "m";
    observer.addSerializedBreadcrumb(crumb);
    observer.clear();
    EXPECT_EQ(scope::field(scope::Field::Environment), nullptr);
    EXPECT_EQ(scope::field(scope::Field::Fingerprint), nullptr);
    EXPECT_TRUE(crumbMessages().empty());
}

}  // namespace
}  // namespace skald::crash
