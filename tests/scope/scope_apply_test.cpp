#include <gtest/gtest.h>

#include "skald/scope.h"
#include "scope/scope_test_doubles.h"
#include "util/dictionary.h"

namespace skald {
namespace {

using test::crumb;
using test::messagesOf;
using Tags = std::map<std::string, std::string>;

TEST(ScopeApplyTest, ChangesAndReturnsTheSameEventAndPassesNullOn) {
    Scope scope;
    scope.setTagValue("1", "a");
    EXPECT_EQ(scope.applyToEvent(nullptr, 10), nullptr);
    auto event = std::make_shared<Event>();
    EXPECT_EQ(scope.applyToEvent(event, 10).get(), event.get());
    EXPECT_EQ(event->tags, (Tags{{"a", "1"}}));
}

TEST(ScopeApplyTest, EventTagsAndExtrasWinOverTheScopes) {
    Scope scope;
    scope.setTags({{"a", "2"}, {"b", "3"}});
    scope.setExtraValue(Json{{"nested", 1}}, "x");
    scope.setExtraValue("scope", "y");

    auto event = std::make_shared<Event>();
    event->tags = Tags{{"a", "1"}};
    event->extra = Json{{"x", "event"}, {"z", true}};
    scope.applyToEvent(event, 10);
    EXPECT_EQ(*event->tags, (Tags{{"a", "1"}, {"b", "3"}}));
    EXPECT_TRUE(jsonEquals(*event->extra, Json{{"x", "event"}, {"y", "scope"}, {"z", true}}));

    // An event without its own gets the scope's; the scope is unchanged.
    auto plain = scope.applyToEvent(std::make_shared<Event>(), 10);
    EXPECT_EQ(*plain->tags, (Tags{{"a", "2"}, {"b", "3"}}));
    EXPECT_TRUE(jsonEquals(*plain->extra, Json{{"x", {{"nested", 1}}}, {"y", "scope"}}));
    EXPECT_EQ(scope.tags(), (Tags{{"a", "2"}, {"b", "3"}}));
}

TEST(ScopeApplyTest, ScopeUserReplacesTheEventsUserByACopy) {
    Scope scope;
    auto event = std::make_shared<Event>();
    event->user = std::make_shared<User>("event-user");
    scope.applyToEvent(event, 10);
    EXPECT_EQ(event->user->userId(), "event-user");

    auto user = std::make_shared<User>("scope-user");
    scope.setUser(user);
    scope.applyToEvent(event, 10);
    ASSERT_TRUE(event->user);
    EXPECT_EQ(event->user->userId(), "scope-user");
    EXPECT_NE(event->user.get(), user.get());
    user->setEmail("later@example.com");
    EXPECT_FALSE(event->user->email());
}

TEST(ScopeApplyTest, DistAndEnvironmentFillOnlyWhatIsMissing) {
    Scope scope;
    scope.setDist("scope-dist");
    scope.setEnvironment("scope-env");

    auto own = std::make_shared<Event>();
    own->dist = "event-dist";
    own->environment = "production";
    scope.applyToEvent(own, 10);
    EXPECT_EQ(own->dist, "event-dist");
    EXPECT_EQ(own->environment, "production");

    auto bare = scope.applyToEvent(std::make_shared<Event>(), 10);
    EXPECT_EQ(bare->dist, "scope-dist");
    EXPECT_EQ(bare->environment, "scope-env");
}

TEST(ScopeApplyTest, LevelReplacesOnlyWhenSet) {
    Scope scope;
    auto event = std::make_shared<Event>(Level::Warning);
    scope.applyToEvent(event, 10);
    EXPECT_EQ(event->level, Level::Warning);
    scope.setLevel(Level::Fatal);
    scope.applyToEvent(event, 10);
    EXPECT_EQ(event->level, Level::Fatal);
}

TEST(ScopeApplyTest, FingerprintOnlyForEventsWithoutOne) {
    Scope scope;
    auto untouched = scope.applyToEvent(std::make_shared<Event>(), 10);
    EXPECT_FALSE(untouched->fingerprint);

    scope.setFingerprint({"scope", "fp"});
    auto own = std::make_shared<Event>();
    own->fingerprint = std::vector<std::string>{"event"};
    scope.applyToEvent(own, 10);
    EXPECT_EQ(*own->fingerprint, std::vector<std::string>{"event"});

    auto bare = scope.applyToEvent(std::make_shared<Event>(), 10);
    EXPECT_EQ(*bare->fingerprint, (std::vector<std::string>{"scope", "fp"}));
}

TEST(ScopeApplyTest, EventsOwnBreadcrumbsAreKept) {
    Scope scope;
    scope.addBreadcrumb(crumb("scope"));
    auto own = std::make_shared<Event>();
    own->breadcrumbs.push_back(crumb("event"));
    scope.applyToEvent(own, 10);
    EXPECT_EQ(messagesOf(own->breadcrumbs), std::vector<std::string>{"event"});

    // Breadcrumbs restored from a crash report belong to that run, not this one.
    auto restored = std::make_shared<Event>();
    restored->serializedBreadcrumbs.push_back(Json{{"message", "crashed run"}});
    scope.applyToEvent(restored, 10);
    EXPECT_TRUE(restored->breadcrumbs.empty());

    auto none = scope.applyToEvent(std::make_shared<Event>(), 0);
    EXPECT_TRUE(none->breadcrumbs.empty());
}

TEST(ScopeApplyTest, ContextsMergeDeeplyWithTheEventWinning) {
    Scope scope;
    scope.setContextValue(Json{{"name", "macOS"}, {"build", {{"major", 14}, {"minor", 2}}}}, "os");
    scope.setContextValue(Json{{"model", "Mac"}}, "device");

    auto event = std::make_shared<Event>();
    event->context = Json{{"os", {{"name", "Linux"}, {"build", {{"minor", 5}}}}},
                          {"app", {{"app_name", "installer"}}}};
    scope.applyToEvent(event, 10);

    const Json& context = *event->context;
    EXPECT_TRUE(jsonEquals(context["os"],
                           Json{{"name", "Linux"}, {"build", {{"major", 14}, {"minor", 5}}}}));
    EXPECT_TRUE(jsonEquals(context["device"], Json{{"model", "Mac"}}));
    EXPECT_TRUE(jsonEquals(context["app"], Json{{"app_name", "installer"}}));
    // Merging does not leak into the scope.
    EXPECT_EQ(scope.context()["os"]["name"], "macOS");
    EXPECT_FALSE(scope.context().contains("app"));
}

TEST(ScopeApplyTest, TraceComesFromThePropagationContextWithoutASpan) {
    Scope scope;
    auto event = scope.applyToEvent(std::make_shared<Event>(), 10);
    const auto& propagation = scope.propagationContext();
    EXPECT_EQ((*event->context)["trace"],
              (Json{{"span_id", propagation.spanId().skaldSpanIdString()},
                    {"trace_id", propagation.traceId().skaldIdString()}}));

    // An event that brings its own trace keeps it.
    auto own = std::make_shared<Event>();
    own->context = Json{{"trace", {{"trace_id", "mine"}}}};
    scope.applyToEvent(own, 10);
    EXPECT_EQ((*own->context)["trace"], (Json{{"trace_id", "mine"}}));
}

TEST(ScopeApplyTest, SpanSerialisationBecomesTheTrace) {
    Scope scope;
    auto span = std::make_shared<test::TestSpan>();
    scope.setSpan(span);
    auto event = std::make_shared<Event>();
    event->transaction = "kept";
    event->context = Json{{"trace", {{"trace_id", "replaced"}}}};
    scope.applyToEvent(event, 10);
    EXPECT_EQ((*event->context)["trace"], span->serialize());
    // A plain span does not name the transaction.
    EXPECT_EQ(event->transaction, "kept");
}

TEST(ScopeApplyTest, TracerNamesTheTransactionExceptOfTransactions) {
    Scope scope;
    auto tracer = std::make_shared<test::TestSpan>("checkout");
    scope.setSpan(tracer);

    auto error = scope.applyToEvent(std::make_shared<Event>(Level::Error), 10);
    EXPECT_EQ(error->transaction, "checkout");
    EXPECT_EQ((*error->context)["trace"], tracer->serialize());

    auto transaction = std::make_shared<Event>();
    transaction->type = "transaction";
    transaction->transaction = "own name";
    scope.applyToEvent(transaction, 10);
    EXPECT_EQ(transaction->transaction, "own name");
    EXPECT_EQ((*transaction->context)["trace"], tracer->serialize());
}

TEST(ScopeApplyTest, SessionGetsACopyOfTheUserAndTheEnvironmentWhenSet) {
    Scope scope;
    Session untouched("did");
    untouched.setEnvironment("own");
    scope.applyToSession(untouched);
    EXPECT_EQ(untouched.environment(), "own");
    EXPECT_FALSE(untouched.user());

    auto user = std::make_shared<User>("u1");
    scope.setUser(user);
    scope.setEnvironment("staging");
    Session session("did");
    scope.applyToSession(session);
    EXPECT_EQ(session.environment(), "staging");
    ASSERT_TRUE(session.user());
    EXPECT_EQ(session.user()->userId(), "u1");
    user->setUserId("changed");
    EXPECT_EQ(session.user()->userId(), "u1");
}

}  // namespace
}  // namespace skald
