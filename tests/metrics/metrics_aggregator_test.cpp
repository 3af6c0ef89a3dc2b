// The bucket aggregator: bucket keys and timestamps, the timer's cutoff, the
// weight limit, beforeEmitMetric, span summaries, and values recorded from
// many threads at once.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>

#include "core/metrics/local_metrics_aggregator.h"
#include "core/metrics/metric_tag_list.h"
#include "core/metrics/metrics_aggregator.h"
#include "core/metrics/statsd_client.h"
#include "skald/platform/timer.h"
#include "support/test_current_date_provider.h"
#include "support/test_dispatch_queue_wrapper.h"
#include "sdk/sdk_fixture.h"

namespace skald::test {
namespace {

/// Keeps what would be sent.
class RecordingStatsdClient : public StatsdClient {
  public:
    RecordingStatsdClient() : StatsdClient(nullptr) {}
    void captureStatsdEncodedData(std::string data) override {
        std::lock_guard guard(mutex);
        sent.push_back(std::move(data));
    }
    std::vector<std::string> takeSent() {
        std::lock_guard guard(mutex);
        return std::exchange(sent, {});
    }
    std::mutex mutex;
    std::vector<std::string> sent;
};

class ManualTimer : public platform::Timer {
  public:
    void invalidate() override { valid = false; }
    bool isValid() const override { return valid; }
    std::atomic<bool> valid{true};
};

/// Runs blocks inline and keeps the timer for the test to fire.
class TimerQueue : public TestDispatchQueueWrapper {
  public:
    std::shared_ptr<platform::Timer> scheduleTimer(double seconds, bool repeats,
                                                   Block block) override {
        interval = seconds;
        repeating = repeats;
        tick = std::move(block);
        timer = std::make_shared<ManualTimer>();
        return timer;
    }
    void fire() {
        if (timer && timer->valid) tick();
    }
    double interval = 0;
    bool repeating = false;
    Block tick;
    std::shared_ptr<ManualTimer> timer;
};

class AggregatorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // 1714558830.123: 0.123 s into the window that starts at 1714558830.
        clock = std::make_shared<TestCurrentDateProvider>();
        make(0.3);
    }

    void make(double random, uint64_t maxWeight = BucketMetricsAggregator::kTotalMaxWeight,
              BeforeEmitMetricCallback before = {}) {
        FixedRandom fixed(random);
        aggregator = BucketMetricsAggregator::make(statsd, clock, queue, fixed, std::move(before),
                                                   maxWeight);
    }

    void add(MetricType type, const std::string& key, double value, const MetricTags& tags = {},
             const std::string& unit = "", LocalMetricsAggregator* local = nullptr) {
        const MetricTagList list(tags, defaults);
        aggregator->add(type, key, value, MeasurementUnit(unit), list, local);
    }

    std::string sentText() {
        std::string all;
        for (const auto& data : statsd->takeSent()) all += data;
        return all;
    }

    std::shared_ptr<TestCurrentDateProvider> clock;
    std::shared_ptr<RecordingStatsdClient> statsd = std::make_shared<RecordingStatsdClient>();
    std::shared_ptr<TimerQueue> queue = std::make_shared<TimerQueue>();
    std::shared_ptr<BucketMetricsAggregator> aggregator;
    MetricTags defaults;
};

TEST_F(AggregatorTest, TwoIncrementsInOneWindowGiveOneLine) {
    add(MetricType::Counter, "clicks", 1);
    clock->advance(5);
    add(MetricType::Counter, "clicks", 1);
    aggregator->flush(true);
    EXPECT_EQ(sentText(), "clicks@:2.0|c|T1714558830\n");
}

TEST_F(AggregatorTest, SeriesDifferByTypeNameUnitAndEveryTag) {
    add(MetricType::Counter, "a", 1, {{"x", "1"}, {"y", "2"}});
    add(MetricType::Counter, "a", 1, {{"y", "2"}, {"x", "1"}});  // same tags
    add(MetricType::Counter, "a", 1, {{"x", "1"}});
    add(MetricType::Counter, "a", 1, {{"x", "1"}, {"y", "2"}}, "byte");
    add(MetricType::Distribution, "a", 1, {{"x", "1"}, {"y", "2"}});
    add(MetricType::Counter, "b", 1, {{"x", "1"}, {"y", "2"}});
    // Keys and values that would run together in a plain concatenation.
    add(MetricType::Counter, "c", 1, {{"k", "v=k2=v2"}});
    add(MetricType::Counter, "c", 1, {{"k", "v"}, {"k2", "v2"}});
    EXPECT_EQ(aggregator->bucketCount(), 1u);
    EXPECT_EQ(aggregator->totalBucketsWeight(), 7u);
    aggregator->flush(true);
    const std::string text = sentText();
    EXPECT_NE(text.find("a@:2.0|c|#x:1,y:2|T"), std::string::npos) << text;
    EXPECT_NE(text.find("a@:1.0|c|#x:1|T"), std::string::npos) << text;
    EXPECT_NE(text.find("a@byte:1.0|c|#x:1,y:2|T"), std::string::npos) << text;
    EXPECT_NE(text.find("a@:1.0|d|#x:1,y:2|T"), std::string::npos) << text;
    EXPECT_NE(text.find("c@:1.0|c|#k:v=k2=v2|T"), std::string::npos) << text;
    EXPECT_NE(text.find("c@:1.0|c|#k:v,k2:v2|T"), std::string::npos) << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 7);
}

TEST_F(AggregatorTest, CallerTagsWinOverDefaultTags) {
    defaults = {{"environment", "production"}, {"release", "app@1"}};
    add(MetricType::Counter, "a", 1, {{"release", "mine"}, {"z", "1"}});
    aggregator->flush(true);
    EXPECT_EQ(sentText(), "a@:1.0|c|#environment:production,release:mine,z:1|T1714558830\n");
}

TEST_F(AggregatorTest, WindowsAreTenSecondsOnTheWallClock) {
    add(MetricType::Counter, "a", 1);
    clock->advance(9.8);  // 1714558839.923: still the first window
    add(MetricType::Counter, "a", 1);
    clock->advance(0.1);  // 1714558840.023: the next one
    add(MetricType::Counter, "a", 1);
    EXPECT_EQ(aggregator->bucketCount(), 2u);
    aggregator->flush(true);
    EXPECT_EQ(sentText(), "a@:2.0|c|T1714558830\na@:1.0|c|T1714558840\n");
}

TEST_F(AggregatorTest, TimerSendsABucketOnlyTenSecondsPlusTheShiftAfterItsStart) {
    EXPECT_EQ(queue->interval, 10);
    EXPECT_TRUE(queue->repeating);
    EXPECT_DOUBLE_EQ(aggregator->flushShift(), 3.0);
    clock->setDate(dateWithTimeIntervalSince1970(1714558839.0));  // 9 s into T = ...830
    add(MetricType::Distribution, "d", 1.5);

    clock->setDate(dateWithTimeIntervalSince1970(1714558842.9));  // T + 10 + 2.9
    queue->fire();
    EXPECT_EQ(sentText(), "");
    EXPECT_EQ(aggregator->totalBucketsWeight(), 1u);

    clock->setDate(dateWithTimeIntervalSince1970(1714558843.0));  // T + 10 + 3
    add(MetricType::Distribution, "d", 2.5);                      // a later window stays
    queue->fire();
    EXPECT_EQ(sentText(), "d@:1.5|d|T1714558830\n");
    EXPECT_EQ(aggregator->bucketCount(), 1u);
    EXPECT_EQ(aggregator->totalBucketsWeight(), 1u);

    queue->fire();
    EXPECT_EQ(sentText(), "") << "nothing closed: nothing sent";
}

TEST_F(AggregatorTest, ReachingTheWeightLimitFlushesEveryBucketAtOnce) {
    // One bucket (1) plus 998 values (998) is 999: under the limit.
    for (int i = 0; i < 998; ++i) add(MetricType::Distribution, "d", i);
    EXPECT_EQ(aggregator->totalBucketsWeight(), 998u);
    EXPECT_EQ(queue->asyncCount, 0);
    // Counters and gauges weigh once, however often they are recorded.
    clock->advance(10);
    add(MetricType::Counter, "c", 1);  // a second bucket: 2 + 999 = 1001
    EXPECT_EQ(queue->asyncCount, 1);
    const std::string text = sentText();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2);
    EXPECT_NE(text.find("c@:1.0|c|T1714558840\n"), std::string::npos);
    EXPECT_EQ(aggregator->totalBucketsWeight(), 0u);
    EXPECT_EQ(aggregator->bucketCount(), 0u);
}

TEST_F(AggregatorTest, RepeatedCountersGaugesAndSetMembersAddNoWeight) {
    for (int i = 0; i < 2000; ++i) {
        add(MetricType::Counter, "c", 1);
        add(MetricType::Gauge, "g", i);
        add(MetricType::Set, "s", 42);
    }
    EXPECT_EQ(aggregator->totalBucketsWeight(), 1u + 5u + 1u);
    EXPECT_EQ(queue->asyncCount, 0);
    aggregator->flush(true);
    const std::string text = sentText();
    EXPECT_NE(text.find("c@:2000.0|c|T"), std::string::npos);
    EXPECT_NE(text.find("g@:1999.0:0.0:1999.0:1999000.0:2000|g|T"), std::string::npos);
    EXPECT_NE(text.find("s@:42|s|T"), std::string::npos);
}

TEST_F(AggregatorTest, BeforeEmitMetricSeesMergedTagsAndCanDrop) {
    std::vector<MetricTags> seen;
    make(0.3, BucketMetricsAggregator::kTotalMaxWeight,
         [&](const std::string& key, const MetricTags& tags) {
             seen.push_back(tags);
             return key != "secret";
         });
    defaults = {{"release", "app@1"}};
    add(MetricType::Counter, "secret", 1, {{"a", "b"}});
    add(MetricType::Counter, "kept", 1);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], (MetricTags{{"a", "b"}, {"release", "app@1"}}));
    EXPECT_EQ(aggregator->totalBucketsWeight(), 1u) << "the dropped value weighs nothing";
    aggregator->flush(true);
    EXPECT_EQ(sentText(), "kept@:1.0|c|#release:app@1|T1714558830\n");
}

TEST_F(AggregatorTest, EmptyFlushSendsNothing) {
    aggregator->flush(true);
    aggregator->flush(false);
    EXPECT_TRUE(statsd->takeSent().empty());
}

TEST_F(AggregatorTest, CloseSendsEverythingStopsTheTimerAndDropsLaterValues) {
    add(MetricType::Gauge, "g", 2, {}, "byte");
    aggregator->close();
    EXPECT_EQ(sentText(), "g@byte:2.0:2.0:2.0:2.0:1|g|T1714558830\n");
    EXPECT_FALSE(queue->timer->isValid());
    add(MetricType::Gauge, "g", 3);
    aggregator->flush(true);
    EXPECT_EQ(sentText(), "");
}

TEST_F(AggregatorTest, TheTimerDoesNotKeepTheAggregatorAlive) {
    std::weak_ptr<BucketMetricsAggregator> weak = aggregator;
    aggregator.reset();
    EXPECT_TRUE(weak.expired());
    EXPECT_FALSE(queue->timer->isValid());
    queue->tick();  // a tick already on its way finds nothing to do
}

TEST_F(AggregatorTest, LocalSummaryPerSeriesWithSetsCountingNewMembers) {
    LocalMetricsAggregator local;
    add(MetricType::Distribution, "load", 3, {{"screen", "main"}}, "millisecond", &local);
    add(MetricType::Distribution, "load", 1, {{"screen", "main"}}, "millisecond", &local);
    add(MetricType::Distribution, "load", 8, {{"screen", "other"}}, "millisecond", &local);
    add(MetricType::Counter, "clicks", 2, {}, "", &local);
    add(MetricType::Set, "users", 5, {}, "", &local);
    add(MetricType::Set, "users", 5, {}, "", &local);
    add(MetricType::Set, "users", 6, {}, "", &local);

    const Json summary = local.serialize();
    const Json& load = summary["d:load@millisecond"];
    ASSERT_EQ(load.size(), 2u);
    for (const auto& entry : load) {
        if (entry["tags"]["screen"] == "main") {
            EXPECT_EQ(entry["min"], 1.0);
            EXPECT_EQ(entry["max"], 3.0);
            EXPECT_EQ(entry["count"], 2);
            EXPECT_EQ(entry["sum"], 4.0);
        } else {
            EXPECT_EQ(entry["tags"]["screen"], "other");
            EXPECT_EQ(entry["count"], 1);
        }
    }
    const Json& clicks = summary["c:clicks"];
    ASSERT_EQ(clicks.size(), 1u);
    EXPECT_FALSE(clicks[0].contains("tags"));
    EXPECT_EQ(clicks[0]["sum"], 2.0);
    // Sets record the weight each value added: 1, 0, 1.
    const Json& users = summary["s:users"][0];
    EXPECT_EQ(users["count"], 3);
    EXPECT_EQ(users["sum"], 2.0);
    EXPECT_EQ(users["min"], 0.0);
}

TEST_F(AggregatorTest, ValuesFromManyThreadsAddUpExactly) {
    constexpr int kThreads = 8;
    constexpr int kPerThread = 2000;
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            while (!go.load()) std::this_thread::yield();
            for (int i = 0; i < kPerThread; ++i) {
                add(MetricType::Counter, "c", 1, {{"k", "v"}});
                add(MetricType::Gauge, "g", t * kPerThread + i);
                if (i % 100 == 0) add(MetricType::Distribution, "d", t);
                add(MetricType::Set, "s", i % 50);
            }
        });
    }
    go = true;
    for (auto& thread : threads) thread.join();
    // One bucket: counter 1, gauge 5, 8 × 20 distribution values, 50 members.
    EXPECT_EQ(aggregator->totalBucketsWeight(), 1u + 5u + 160u + 50u);
    aggregator->flush(true);
    const std::string text = sentText();
    EXPECT_NE(text.find("c@:16000.0|c|#k:v|T"), std::string::npos) << text.substr(0, 300);
    const auto g = text.find("g@:");
    ASSERT_NE(g, std::string::npos);
    // min 0, max 15999, sum 0..15999, count 16000 (last depends on timing).
    EXPECT_NE(text.find(":0.0:15999.0:127992000.0:16000|g|T", g), std::string::npos);
    const auto d = text.find("d@:");
    ASSERT_NE(d, std::string::npos);
    const std::string dline = text.substr(d, text.find('\n', d) - d);
    EXPECT_EQ(std::count(dline.begin(), dline.end(), ':'), 160);
    const auto s = text.find("s@:");
    const std::string sline = text.substr(s, text.find('\n', s) - s);
    EXPECT_EQ(std::count(sline.begin(), sline.end(), ':'), 50);
    EXPECT_EQ(aggregator->totalBucketsWeight(), 0u);
}

TEST_F(AggregatorTest, ValuesOfAThreadThatEndedAreStillSent) {
    std::thread([&] { add(MetricType::Counter, "gone", 3); }).join();
    aggregator->flush(true);
    EXPECT_EQ(sentText(), "gone@:3.0|c|T1714558830\n");
    std::thread([&] { add(MetricType::Counter, "gone", 1); }).join();
    aggregator->flush(true);
    EXPECT_EQ(sentText(), "gone@:1.0|c|T1714558830\n");
}

}  // namespace
}  // namespace skald::test
