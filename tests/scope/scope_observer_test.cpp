#include <gtest/gtest.h>

#include "skald/scope.h"
#include "scope/scope_test_doubles.h"

namespace skald {
namespace {

using Calls = std::vector<std::string>;

class ScopeObserverTest : public ::testing::Test {
  protected:
    void SetUp() override { scope.addObserver(observer); }

    Scope scope{5};
    std::shared_ptr<test::RecordingObserver> observer = std::make_shared<test::RecordingObserver>();
};

TEST_F(ScopeObserverTest, DictionaryChangesArriveAsWholeValues) {
    scope.setTagValue("1", "a");
    scope.setTagValue("2", "b");
    scope.removeTagForKey("a");
    scope.setTags({});
    scope.setExtraValue(7, "n");
    scope.setExtras(Json{{"m", "x"}});
    scope.removeExtraForKey("m");
    scope.setContextValue(Json{{"name", "Linux"}}, "os");
    scope.setContextValue(Json{{"model", "PC"}}, "device");
    scope.removeContextForKey("os");
    EXPECT_EQ(observer->calls(),
              (Calls{
                  R"(setTags {"a":"1"})",
                  R"(setTags {"a":"1","b":"2"})",
                  R"(setTags {"b":"2"})",
                  R"(setTags {})",
                  R"(setExtras {"n":7})",
                  R"(setExtras {"m":"x"})",
                  R"(setExtras {})",
                  R"(setContext {"os":{"name":"Linux"}})",
                  R"(setContext {"os":{"name":"Linux"},"device":{"model":"PC"}})",
                  R"(setContext {"device":{"model":"PC"}})",
              }));
}

TEST_F(ScopeObserverTest, SingleValuesAndBreadcrumbsArriveInOrder) {
    scope.setUser(std::make_shared<User>("u1"));
    scope.setDist("14");
    scope.setEnvironment("prod");
    scope.setFingerprint({"f1", "f2"});
    scope.setLevel(Level::Warning);
    scope.addBreadcrumb(test::crumb("first"));
    scope.clearBreadcrumbs();
    scope.setUser(nullptr);
    scope.setEnvironment(std::nullopt);
    scope.setCurrentScreen("Main");
    EXPECT_EQ(observer->calls(), (Calls{
                                     R"(setUser {"id":"u1"})",
                                     R"(setDist "14")",
                                     R"(setEnvironment "prod")",
                                     R"(setFingerprint ["f1","f2"])",
                                     R"(setLevel "warning")",
                                     R"(addSerializedBreadcrumb "first")",
                                     "clearBreadcrumbs",
                                     "setUser",
                                     "setEnvironment",
                                     R"(setCurrentScreen "Main")",
                                 }));
    EXPECT_EQ(scope.currentScreen(), "Main");
}

TEST_F(ScopeObserverTest, BreadcrumbArrivesSerialised) {
    struct Capture : test::RecordingObserver {
        void addSerializedBreadcrumb(const Json& crumb) override { last = crumb; }
        Json last;
    };
    auto capture = std::make_shared<Capture>();
    scope.addObserver(capture);
    auto added = test::crumb("hello");
    added->type = "navigation";
    scope.addBreadcrumb(added);
    EXPECT_EQ(capture->last, added->serialize());
}

TEST_F(ScopeObserverTest, ClearEmptiesTheScopeAndTellsObserversOnce) {
    scope.setTagValue("1", "a");
    scope.setExtraValue(1, "e");
    scope.setContextValue(Json{{"k", "v"}}, "c");
    scope.setUser(std::make_shared<User>("u"));
    scope.setDist("d");
    scope.setEnvironment("env");
    scope.setFingerprint({"f"});
    scope.setLevel(Level::Error);
    scope.addBreadcrumb(test::crumb("b"));
    scope.addAttachment(Attachment::fromData("x", "x.txt"));
    scope.setSpan(std::make_shared<test::TestSpan>());
    const auto before = observer->calls().size();

    scope.clear();
    const auto calls = observer->calls();
    ASSERT_EQ(calls.size(), before + 1);
    EXPECT_EQ(calls.back(), "clear");
    EXPECT_EQ(scope.serialize(), Json::object());
    EXPECT_TRUE(scope.attachments().empty());
    EXPECT_FALSE(scope.span());
    EXPECT_FALSE(scope.user());

    // The scope keeps working, with its observers, after a clear.
    scope.addBreadcrumb(test::crumb("again"));
    EXPECT_EQ(scope.breadcrumbs().size(), 1u);
    EXPECT_EQ(observer->calls().back(), R"(addSerializedBreadcrumb "again")");
}

TEST_F(ScopeObserverTest, ObserverWithoutScreenSupportIgnoresIt) {
    struct Minimal : ScopeObserver {
        void setUser(const std::shared_ptr<User>&) override {}
        void setDist(const std::optional<std::string>&) override {}
        void setEnvironment(const std::optional<std::string>&) override {}
        void setContext(const Json&) override {}
        void setExtras(const Json&) override {}
        void setTags(const std::map<std::string, std::string>&) override {}
        void setFingerprint(const std::vector<std::string>&) override {}
        void setLevel(Level) override {}
        void addSerializedBreadcrumb(const Json&) override {}
        void clearBreadcrumbs() override {}
        void clear() override {}
    };
    scope.addObserver(std::make_shared<Minimal>());
    scope.setCurrentScreen("Settings");
    EXPECT_EQ(observer->calls(), (Calls{R"(setCurrentScreen "Settings")"}));
}

TEST_F(ScopeObserverTest, CopyHasNoObservers) {
    Scope copy(scope);
    copy.setTagValue("1", "a");
    copy.addBreadcrumb(test::crumb("b"));
    EXPECT_TRUE(observer->calls().empty());
}

}  // namespace
}  // namespace skald
