// The metrics entry of the hub: the "statsd" envelope, default tags, sets,
// timings, span summaries in transactions, disabled metrics and bad values.
#include <gtest/gtest.h>
#include <zlib.h>

#include <chrono>
#include <stdexcept>
#include <thread>

#include "core/tracing/tracer.h"
#include "sdk/sdk_fixture.h"
#include "skald/metrics.h"

namespace skald::test {
namespace {

using namespace std::chrono_literals;

class MetricsApiTest : public SdkFixture {
  protected:
    void SetUp() override {
        SdkFixture::SetUp();
        options->enableMetrics = true;
        options->environment = "staging";
        options->setTracesSampleRate(1.0);
        makeClient();
    }

    /// The statsd payloads sent so far.
    std::vector<std::string> statsdPayloads() {
        std::vector<std::string> payloads;
        for (const auto& envelope : transport->envelopes()) {
            for (const auto& item : envelope->items()) {
                if (item->header()->type() == "statsd") payloads.push_back(item->data());
            }
        }
        return payloads;
    }

    Json waitForTransaction() {
        const auto end = std::chrono::steady_clock::now() + 3s;
        do {
            for (const auto& envelope : transport->envelopes()) {
                Json item = itemJson(*envelope, "transaction");
                if (!item.is_null()) return item;
            }
            std::this_thread::sleep_for(5ms);
        } while (std::chrono::steady_clock::now() < end);
        return Json();
    }
};

TEST_F(MetricsApiTest, HubFlushSendsOneStatsdItemWithDefaultTags) {
    auto metrics = hub->metrics();
    metrics->increment("orders", 2, MeasurementUnit::none(), {{"region", "eu"}});
    metrics->increment("orders", 1, MeasurementUnit::none(), {{"region", "eu"}});
    hub->flush(1);

    const auto envelopes = transport->envelopes();
    ASSERT_EQ(envelopes.size(), 1u);
    EXPECT_TRUE(envelopes[0]->header()->eventId().has_value());
    ASSERT_EQ(envelopes[0]->items().size(), 1u);
    const auto& header = envelopes[0]->items()[0]->header();
    EXPECT_EQ(header->type(), "statsd");
    EXPECT_EQ(header->contentType(), "application/octet-stream");
    const std::string& data = envelopes[0]->items()[0]->data();
    EXPECT_EQ(header->length(), data.size());
    EXPECT_EQ(data.rfind("orders@:3.0|c|#environment:staging,region:eu,release:app@1.0|T", 0), 0u)
        << data;

    hub->flush(1);
    EXPECT_EQ(transport->envelopes().size(), 1u) << "nothing left: nothing sent";
}

TEST_F(MetricsApiTest, DefaultTagsOffLeavesOnlyTheCallersTags) {
    options->enableDefaultTagsForMetrics = false;
    makeClient();
    hub->metrics()->gauge("depth", 4, MeasurementUnit::Information::byte(), {{"q", "a"}});
    hub->flush(1);
    ASSERT_EQ(statsdPayloads().size(), 1u);
    EXPECT_EQ(statsdPayloads()[0].find("depth@byte:4.0:4.0:4.0:4.0:1|g|#q:a|T"), 0u);
}

TEST_F(MetricsApiTest, SetMembersAreTheCrc32OfTheUtf8Bytes) {
    options->enableDefaultTagsForMetrics = false;
    makeClient();
    auto metrics = hub->metrics();
    const std::string value = "user-\xC3\xA9";
    metrics->set("users", value);
    metrics->set("users", value);
    hub->flush(1);
    const auto crc = ::crc32(0L, reinterpret_cast<const Bytef*>(value.data()), value.size());
    ASSERT_EQ(statsdPayloads().size(), 1u);
    EXPECT_EQ(statsdPayloads()[0].substr(0, statsdPayloads()[0].find("|T")),
              "users@:" + std::to_string(crc) + "|s");
}

TEST_F(MetricsApiTest, NonFiniteValuesAreDropped) {
    auto metrics = hub->metrics();
    metrics->distribution("d", std::nan(""));
    metrics->gauge("g", INFINITY);
    metrics->increment("c", -INFINITY);
    hub->flush(1);
    EXPECT_TRUE(statsdPayloads().empty());
}

TEST_F(MetricsApiTest, DisabledMetricsRecordNothing) {
    options->enableMetrics = false;
    makeClient();
    hub->metrics()->increment("c");
    hub->flush(1);
    hub->close();
    EXPECT_TRUE(statsdPayloads().empty());
}

TEST_F(MetricsApiTest, CloseSendsWhatIsLeft) {
    hub->metrics()->distribution("d", 0.25);
    hub->close();
    ASSERT_EQ(statsdPayloads().size(), 1u);
    EXPECT_EQ(statsdPayloads()[0].rfind("d@:0.25|d|#", 0), 0u);
}

TEST_F(MetricsApiTest, TheEntryKeepsItsHubAlive) {
    auto metrics = hub->metrics();
    std::weak_ptr<Hub> weak = hub;
    hub.reset();
    EXPECT_FALSE(weak.expired());
    metrics->increment("after");  // asks the hub for its scope
    metrics->flush();
    EXPECT_EQ(statsdPayloads().size(), 1u);
}

TEST_F(MetricsApiTest, TimingWithoutABoundSpanRunsTheBlockAndRecordsNothing) {
    bool ran = false;
    hub->metrics()->timing("work", [&] { ran = true; });
    EXPECT_TRUE(ran);
    hub->flush(1);
    EXPECT_TRUE(statsdPayloads().empty());
}

TEST_F(MetricsApiTest, BoundTransactionCarriesTheSummaryAndTimingMakesAChildSpan) {
    auto transaction = hub->startTransaction("checkout", "ui.action", true);
    auto metrics = hub->metrics();
    metrics->increment("clicks", 1, MeasurementUnit::none(), {{"button", "buy"}});
    metrics->increment("clicks", 2, MeasurementUnit::none(), {{"button", "buy"}});
    metrics->timing("render", {{"screen", "cart"}}, [&] { clock->advance(0.25); });
    transaction->finish();

    const Json sent = waitForTransaction();
    ASSERT_TRUE(sent.is_object());
    // Moved from the trace context to the top level.
    EXPECT_FALSE(sent["contexts"]["trace"].contains("_metrics_summary"));
    const Json& clicks = sent["_metrics_summary"]["c:clicks"];
    ASSERT_EQ(clicks.size(), 1u);
    EXPECT_EQ(clicks[0]["count"], 2);
    EXPECT_EQ(clicks[0]["sum"], 3.0);
    EXPECT_EQ(clicks[0]["min"], 1.0);
    EXPECT_EQ(clicks[0]["max"], 2.0);
    EXPECT_EQ(clicks[0]["tags"],
              (Json{{"button", "buy"}, {"environment", "staging"}, {"release", "app@1.0"}}));

    ASSERT_EQ(sent["spans"].size(), 1u);
    const Json& timing = sent["spans"][0];
    EXPECT_EQ(timing["op"], "metric.timing");
    EXPECT_EQ(timing["description"], "render");
    EXPECT_EQ(timing["tags"]["screen"], "cart");
    EXPECT_EQ(timing["tags"]["environment"], "staging");
    const Json& duration = timing["_metrics_summary"]["d:render@second"];
    ASSERT_EQ(duration.size(), 1u);
    EXPECT_NEAR(duration[0]["sum"].get<double>(), 0.25, 1e-6);

    hub->flush(1);
    ASSERT_EQ(statsdPayloads().size(), 1u);
    EXPECT_NE(statsdPayloads()[0].find("render@second:0.25|d|#environment:staging,"
                                       "release:app@1.0,screen:cart|T"),
              std::string::npos)
        << statsdPayloads()[0];
}

TEST_F(MetricsApiTest, SpanSummariesCanBeSwitchedOff) {
    options->enableSpanLocalMetricAggregation = false;
    makeClient();
    auto transaction = hub->startTransaction("checkout", "ui.action", true);
    hub->metrics()->increment("clicks");
    transaction->finish();
    const Json sent = waitForTransaction();
    ASSERT_TRUE(sent.is_object());
    EXPECT_FALSE(sent.contains("_metrics_summary"));
}

TEST_F(MetricsApiTest, TimingPassesTheBlocksExceptionOnAndEndsTheSpanAsInternalError) {
    auto transaction = hub->startTransaction("checkout", "ui.action", true);
    EXPECT_THROW(hub->metrics()->timing("fails", [] { throw std::runtime_error("host"); }),
                 std::runtime_error);
    transaction->finish();
    const Json sent = waitForTransaction();
    ASSERT_EQ(sent["spans"].size(), 1u);
    EXPECT_EQ(sent["spans"][0]["status"], "internal_error");
    hub->flush(1);
    EXPECT_TRUE(statsdPayloads().empty()) << "a failed block records no duration";
}

TEST_F(MetricsApiTest, SdkInformationNamesTheMetricsFeature) {
    hub->captureMessage("hello");
    const Json event = itemJson(*transport->envelopes().back(), "event");
    const Json& features = event["sdk"]["features"];
    EXPECT_NE(std::find(features.begin(), features.end(), "metrics"), features.end());
}

}  // namespace
}  // namespace skald::test
