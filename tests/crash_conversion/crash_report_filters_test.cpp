#include "crash/reporting/crash_report_filters.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>

namespace skald::test {
namespace {

using namespace skald::crash;

/// What a filter handed to its completion.
struct Outcome {
    int calls = 0;
    std::vector<Json> reports;
    bool completed = false;
    std::optional<Error> error;

    CrashReportFilterCompletion completion() {
        return [this](std::vector<Json> filtered, bool done, std::optional<Error> failure) {
            ++calls;
            reports = std::move(filtered);
            completed = done;
            error = std::move(failure);
        };
    }
};

Outcome run(CrashReportFilter& filter, std::vector<Json> reports) {
    Outcome outcome;
    filter.filterReports(std::move(reports), outcome.completion());
    EXPECT_EQ(outcome.calls, 1);
    return outcome;
}

/// Appends its tag to every report (an array) and counts its runs.
class TaggingFilter : public CrashReportFilter {
  public:
    explicit TaggingFilter(std::string tag) : tag(std::move(tag)) {}
    void filterReports(std::vector<Json> reports, CrashReportFilterCompletion done) override {
        ++runs;
        for (auto& report : reports) report.push_back(tag);
        done(std::move(reports), true, std::nullopt);
    }
    std::string tag;
    int runs = 0;
};

/// Fails every run with its own error.
class FailingFilter : public CrashReportFilter {
  public:
    void filterReports(std::vector<Json> reports, CrashReportFilterCompletion done) override {
        done(std::move(reports), false, Error("test", 9, "broken"));
    }
};

/// Completes only when the test says so, as a filter that uploads would.
class DeferredFilter : public CrashReportFilter {
  public:
    void filterReports(std::vector<Json> reports, CrashReportFilterCompletion done) override {
        pending = [reports = std::move(reports), done = std::move(done)] {
            done(reports, true, std::nullopt);
        };
    }
    std::function<void()> pending;
};

TEST(CrashReportFiltersTest, PipelineRunsFiltersInOrderOnThePreviousOutput) {
    auto first = std::make_shared<TaggingFilter>("first");
    auto second = std::make_shared<TaggingFilter>("second");
    CrashReportFilterPipeline pipeline({first});
    pipeline.addFilter(second);
    const auto outcome = run(pipeline, {Json::array(), Json::array({"x"})});
    EXPECT_TRUE(outcome.completed);
    EXPECT_EQ(outcome.reports, (std::vector<Json>{Json::array({"first", "second"}),
                                                  Json::array({"x", "first", "second"})}));

    CrashReportFilterPipeline empty;
    EXPECT_EQ(run(empty, {Json(1)}).reports, std::vector<Json>{Json(1)});
}

TEST(CrashReportFiltersTest, PipelineStopsAtAFailingFilter) {
    auto after = std::make_shared<TaggingFilter>("after");
    CrashReportFilterPipeline pipeline(
        {std::make_shared<TaggingFilter>("before"), std::make_shared<FailingFilter>(), after});
    const auto outcome = run(pipeline, {Json::array()});
    EXPECT_FALSE(outcome.completed);
    ASSERT_TRUE(outcome.error);
    EXPECT_EQ(outcome.error->localizedDescription, "broken");
    EXPECT_EQ(after->runs, 0);

    CrashReportFilterPipeline withHole({nullptr});
    EXPECT_FALSE(run(withHole, {Json(1)}).completed);
}

TEST(CrashReportFiltersTest, PipelineWaitsForAFilterThatCompletesLater) {
    auto deferred = std::make_shared<DeferredFilter>();
    auto tagging = std::make_shared<TaggingFilter>("late");
    Outcome outcome;
    {
        CrashReportFilterPipeline pipeline({deferred, tagging});
        pipeline.filterReports({Json::array()}, outcome.completion());
    }
    EXPECT_EQ(outcome.calls, 0);
    ASSERT_TRUE(deferred->pending);
    // Taken out of the filter: a held completion keeps the pipeline's run alive.
    std::exchange(deferred->pending, nullptr)();
    EXPECT_EQ(outcome.calls, 1);
    EXPECT_EQ(outcome.reports, std::vector<Json>{Json::array({"late"})});
}

TEST(CrashReportFiltersTest, CombinePutsEachFiltersOutputUnderItsKey) {
    CrashReportFilterCombine combine(
        {std::make_shared<TaggingFilter>("t"), std::make_shared<CrashReportFilterPassthrough>()},
        {"tagged", "plain"});
    const auto outcome = run(combine, {Json::array({1}), Json::array({2})});
    EXPECT_TRUE(outcome.completed);
    ASSERT_EQ(outcome.reports.size(), 2u);
    EXPECT_EQ(outcome.reports[0], (Json{{"tagged", {1, "t"}}, {"plain", {1}}}));
    EXPECT_EQ(outcome.reports[1], (Json{{"tagged", {2, "t"}}, {"plain", {2}}}));
}

TEST(CrashReportFiltersTest, CombineRefusesMismatchedKeysAndMissingFilters) {
    auto tagging = std::make_shared<TaggingFilter>("t");
    CrashReportFilterCombine mismatch({tagging, tagging}, {"only"});
    auto outcome = run(mismatch, {Json::array()});
    EXPECT_FALSE(outcome.completed);
    ASSERT_TRUE(outcome.error);
    EXPECT_EQ(outcome.error->localizedDescription, "Key/filter mismatch (1 keys, 2 filters");
    EXPECT_EQ(tagging->runs, 0);

    CrashReportFilterCombine hole({tagging, nullptr}, {"a", "b"});
    outcome = run(hole, {Json::array()});
    EXPECT_FALSE(outcome.completed);
    EXPECT_EQ(outcome.error->localizedDescription, "Not a filter: b");

    CrashReportFilterCombine failing({tagging, std::make_shared<FailingFilter>()}, {"a", "b"});
    outcome = run(failing, {Json::array()});
    EXPECT_FALSE(outcome.completed);
    EXPECT_EQ(outcome.error->localizedDescription, "broken");
}

TEST(CrashReportFiltersTest, ObjectForKeyFollowsKeyPaths) {
    const Json report = {{"crash", {{"error", {{"type", "signal"}}}}}};
    CrashReportFilterObjectForKey strict("crash/error/type", false);
    auto outcome = run(strict, {report});
    EXPECT_TRUE(outcome.completed);
    EXPECT_EQ(outcome.reports, std::vector<Json>{Json("signal")});

    CrashReportFilterObjectForKey missing("crash/threads", false);
    outcome = run(missing, {report});
    EXPECT_FALSE(outcome.completed);
    ASSERT_TRUE(outcome.error);
    EXPECT_EQ(outcome.error->localizedDescription, "Key not found: crash/threads");

    CrashReportFilterObjectForKey lenient("crash/threads", true);
    outcome = run(lenient, {report, Json{{"crash", {{"threads", Json::array({1})}}}}});
    EXPECT_TRUE(outcome.completed);
    EXPECT_EQ(outcome.reports, (std::vector<Json>{Json::object(), Json::array({1})}));
}

TEST(CrashReportFiltersTest, ConcatenateJoinsValuesWithTheNamedSeparator) {
    CrashReportFilterConcatenate concatenate("\n-- %@ --\n", {"title", "body/text", "count"});
    const auto outcome =
        run(concatenate, {Json{{"title", "Crash"}, {"body", {{"text", "details"}}}, {"count", 2}}});
    EXPECT_EQ(outcome.reports,
              std::vector<Json>{Json("Crash\n-- body/text --\ndetails\n-- count --\n2")});
}

TEST(CrashReportFiltersTest, SubsetKeepsOnlyTheNamedPaths) {
    const Json report = {{"report", {{"id", "x"}, {"timestamp", 5}}},
                         {"crash", {{"error", {{"type", "signal"}}}, {"threads", Json::array()}}},
                         {"user", {{"id", 1}}}};
    CrashReportFilterSubset subset({"report/id", "crash/error", "missing/key"});
    const auto outcome = run(subset, {report});
    const Json expected = {{"report", {{"id", "x"}}}, {"crash", {{"error", {{"type", "signal"}}}}}};
    EXPECT_EQ(outcome.reports, std::vector<Json>{expected});
}

TEST(CrashReportFiltersTest, TextAndDataConvertBothWays) {
    CrashReportFilterStringToData toData;
    CrashReportFilterDataToString toString;
    auto data = run(toData, {Json("crash ✓")});
    ASSERT_TRUE(data.completed);
    ASSERT_TRUE(data.reports[0].is_binary());
    EXPECT_EQ(data.reports[0].get_binary().size(), std::string("crash ✓").size());
    EXPECT_EQ(run(toString, data.reports).reports, std::vector<Json>{Json("crash ✓")});

    EXPECT_FALSE(run(toData, {Json(3)}).completed);
    EXPECT_FALSE(run(toString, {Json("already text")}).completed);
    const auto invalid = run(toString, {Json::binary({0xff, 0xfe})});
    EXPECT_FALSE(invalid.completed);
    ASSERT_TRUE(invalid.error);
}

}  // namespace
}  // namespace skald::test
