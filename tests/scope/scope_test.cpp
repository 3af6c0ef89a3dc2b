#include <gtest/gtest.h>

#include "skald/scope.h"
#include "scope/scope_test_doubles.h"
#include "skald/propagation_context.h"

namespace skald {
namespace {

using test::crumb;
using test::messagesOf;
using Tags = std::map<std::string, std::string>;

TEST(ScopeSerializeTest, EmptyScopeHasNoKeys) {
    EXPECT_EQ(Scope().serialize(), Json::object());
    Scope emptyValues;
    emptyValues.setTags({});
    emptyValues.setExtras(Json::object());
    emptyValues.setFingerprint({});
    emptyValues.setLevel(Level::None);
    emptyValues.setCurrentScreen("ignored");
    EXPECT_EQ(emptyValues.serialize(), Json::object());
}

TEST(ScopeSerializeTest, WritesEverySetValueInOrder) {
    Scope scope;
    scope.setTagValue("1", "a");
    scope.setExtraValue("v", "e");
    scope.setContextValue(Json{{"name", "Linux"}}, "os");
    scope.setUser(std::make_shared<User>("u1"));
    scope.setDist("14");
    scope.setEnvironment("prod");
    scope.setReplayId("r1");
    scope.setFingerprint({"f"});
    scope.setLevel(Level::Debug);
    auto first = crumb("one");
    auto second = crumb("two");
    scope.addBreadcrumb(first);
    scope.addBreadcrumb(second);

    const Json expected = {{"tags", {{"a", "1"}}},
                           {"extra", {{"e", "v"}}},
                           {"context", {{"os", {{"name", "Linux"}}}}},
                           {"user", {{"id", "u1"}}},
                           {"dist", "14"},
                           {"environment", "prod"},
                           {"replay_id", "r1"},
                           {"fingerprint", {"f"}},
                           {"level", "debug"},
                           {"breadcrumbs", {first->serialize(), second->serialize()}}};
    EXPECT_EQ(scope.serialize().dump(), expected.dump());
}

TEST(ScopeSerializeTest, NonObjectExtrasAreTreatedAsEmpty) {
    Scope scope;
    scope.setExtraValue(1, "a");
    scope.setExtras(Json::array({1, 2}));
    EXPECT_EQ(scope.extras(), Json::object());
    scope.setExtraValue(2, "b");
    EXPECT_EQ(scope.extras(), (Json{{"b", 2}}));
}

TEST(ScopeCopyTest, CopyCarriesTheValuesWithItsOwnUserAndTrace) {
    Scope original(4);
    auto user = std::make_shared<User>("u1");
    auto span = std::make_shared<test::TestSpan>();
    original.setTagValue("1", "a");
    original.setExtraValue("v", "e");
    original.setContextValue(Json{{"k", "v"}}, "c");
    original.setUser(user);
    original.setDist("d");
    original.setEnvironment("env");
    original.setFingerprint({"f"});
    original.setLevel(Level::Info);
    original.setReplayId("r");
    original.setSpan(span);
    original.addAttachment(Attachment::fromData("x", "x.txt"));
    original.addBreadcrumb(crumb("A"));

    Scope copy(original);
    EXPECT_EQ(copy.serialize(), original.serialize());
    EXPECT_EQ(copy.maxBreadcrumbs(), 4u);
    EXPECT_EQ(copy.span(), span);
    ASSERT_EQ(copy.attachments().size(), 1u);
    EXPECT_EQ(copy.attachments()[0].filename(), "x.txt");
    ASSERT_TRUE(copy.user());
    EXPECT_NE(copy.user(), user);
    EXPECT_EQ(*copy.user(), *user);
    EXPECT_NE(copy.propagationContext().traceId(), original.propagationContext().traceId());
    EXPECT_NE(copy.propagationContext().spanId(), original.propagationContext().spanId());
}

TEST(ScopeCopyTest, ChangingTheCopyLeavesTheOriginalUntouched) {
    Scope original(3);
    original.setTagValue("1", "a");
    original.setExtraValue(Json{{"deep", 1}}, "e");
    original.setContextValue(Json{{"k", "v"}}, "c");
    original.setUser(std::make_shared<User>("u1"));
    original.addBreadcrumb(crumb("A"));
    original.addAttachment(Attachment::fromData("x", "x.txt"));
    const Json before = original.serialize();

    Scope copy(original);
    copy.setTagValue("2", "b");
    copy.removeTagForKey("a");
    copy.setExtraValue(Json{{"deep", 2}}, "e");
    copy.setContextValue(Json{{"k", "changed"}}, "c");
    copy.user()->setUserId("changed");
    copy.setEnvironment("other");
    copy.addBreadcrumb(crumb("B"));
    copy.addAttachment(Attachment::fromData("y", "y.txt"));
    copy.setSpan(std::make_shared<test::TestSpan>());

    EXPECT_EQ(original.serialize(), before);
    EXPECT_EQ(original.attachments().size(), 1u);
    EXPECT_FALSE(original.span());
    EXPECT_EQ(copy.tags(), (Tags{{"b", "2"}}));
    EXPECT_EQ(messagesOf(copy.breadcrumbs()), (std::vector<std::string>{"A", "B"}));
}

TEST(ScopeAttachmentTest, ViewHierarchyFileBecomesAJsonViewHierarchy) {
    Scope scope;
    scope.addCrashReportAttachmentInPath("/tmp/reports/1/view-hierarchy.json");
    scope.addCrashReportAttachmentInPath("/tmp/reports/1/screenshot.png");
    scope.addCrashReportAttachmentInPath("/tmp/reports/1/not-view-hierarchy.json");
    const auto attachments = scope.attachments();
    ASSERT_EQ(attachments.size(), 3u);

    EXPECT_EQ(attachments[0].path(), "/tmp/reports/1/view-hierarchy.json");
    EXPECT_EQ(attachments[0].filename(), "view-hierarchy.json");
    EXPECT_EQ(attachments[0].contentType(), "application/json");
    EXPECT_EQ(attachments[0].attachmentType(), AttachmentType::ViewHierarchy);

    for (std::size_t i = 1; i < 3; ++i) {
        EXPECT_EQ(attachments[i].attachmentType(), AttachmentType::EventAttachment);
        EXPECT_FALSE(attachments[i].contentType());
    }
    EXPECT_EQ(attachments[1].filename(), "screenshot.png");
    EXPECT_EQ(attachments[2].filename(), "not-view-hierarchy.json");

    scope.clearAttachments();
    EXPECT_TRUE(scope.attachments().empty());
}

TEST(ScopeSpanTest, UseSpanRunsOutsideTheLock) {
    Scope scope;
    std::shared_ptr<Span> seen = std::make_shared<test::TestSpan>();
    scope.useSpan([&](std::shared_ptr<Span> span) { seen = span; });
    EXPECT_EQ(seen, nullptr);

    auto span = std::make_shared<test::TestSpan>();
    scope.setSpan(span);
    // The callback may change the scope's span without deadlocking.
    scope.useSpan([&](std::shared_ptr<Span> current) {
        seen = current;
        scope.setSpan(nullptr);
    });
    EXPECT_EQ(seen, span);
    EXPECT_FALSE(scope.span());
}

TEST(PropagationContextTest, RandomIdsAndTheirWireForms) {
    const PropagationContext first;
    const PropagationContext second;
    EXPECT_NE(first.traceId(), second.traceId());
    EXPECT_NE(first.spanId(), second.spanId());
    EXPECT_NE(first.traceId(), Id::empty());
    EXPECT_NE(first.spanId(), SpanId::empty());

    const PropagationContext fixed(Id::fromUuidString("12345678123456781234567812345678"),
                                   SpanId("abcdefabcdefabcd"));
    EXPECT_EQ(fixed.traceHeader(), "12345678123456781234567812345678-abcdefabcdefabcd-0");
    EXPECT_EQ(fixed.traceContextForEvent().dump(),
              R"({"span_id":"abcdefabcdefabcd","trace_id":"12345678123456781234567812345678"})");
}

}  // namespace
}  // namespace skald
