// The profilers as the tracer and the SDK drive them: sampled transactions
// carry profiles, profilers are shared and never outlive their tracers, the
// timeout bounds a profile, continuous chunks, and the launch profile.
#include <gtest/gtest.h>
#include <pthread.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "core/tracing/tracer.h"
#include "profiling/continuous_profiler.h"
#include "profiling/launch_profile.h"
#include "profiling/metric_profiler.h"
#include "profiling/profiler.h"
#include "profiling/profiling_hooks_impl.h"
#include "profiling/sampling_profiler.h"
#include "profiling/trace_profiler.h"
#include "sdk/sdk_fixture.h"
#include "skald/private_sdk_only.h"
#include "support/eventually.h"
#include "support/temp_directory.h"
#include "util/current_date_provider.h"
#include "util/file_io.h"

namespace skald::profiling {
namespace {

using namespace std::chrono_literals;

/// A named thread that keeps a core busy until it is destroyed.
class Spinner {
  public:
    explicit Spinner(const char* name) {
        thread_ = std::thread([this, name] {
            ::pthread_setname_np(::pthread_self(), name);
            double value = 1;
            while (!stop_) value = value * 1.0000001 + 1e-9;
            sink_ = value;
        });
    }
    ~Spinner() {
        stop_ = true;
        thread_.join();
    }

  private:
    std::atomic<bool> stop_{false};
    std::atomic<double> sink_{0};
    std::thread thread_;
};

class ProfilersTest : public test::CurrentHubFixture {
  protected:
    void SetUp() override {
        CurrentHubFixture::SetUp();
        // Samples and transactions on the real clock, so that windows mean something.
        DependencyContainer::sharedInstance()->setDateProvider(
            std::make_shared<DefaultCurrentDateProvider>());
        options->setTracesSampleRate(1.0);
        options->setProfilesSampleRate(1.0);
        installProfilingHooks();
    }
    void TearDown() override {
        TraceProfiler::reset();
        TraceProfiler::setTimeoutForTesting(0);
        ContinuousProfiler::stopTimerAndCleanup();
        ContinuousProfiler::setChunkPeriodForTesting(0);
        CurrentHubFixture::TearDown();
    }

    /// The first envelope sent with an item of `type`, waiting briefly for
    /// the hub's queue.
    std::shared_ptr<Envelope> envelopeWith(const std::string& type) {
        std::shared_ptr<Envelope> found;
        test::eventually(
            [&] {
                for (const auto& envelope : transport->envelopes()) {
                    for (const auto& item : envelope->items()) {
                        if (item->header()->type() == type) found = envelope;
                    }
                    if (found) return true;
                }
                return false;
            },
            3s);
        return found;
    }
};

TEST_F(ProfilersTest, ASampledTransactionCarriesItsProfile) {
    Spinner spinner("spin-profiled");
    auto transaction = hub->startTransaction("profiled", "test");
    std::this_thread::sleep_for(400ms);
    transaction->finish();

    const auto envelope = envelopeWith("profile");
    ASSERT_TRUE(envelope) << "the transaction's envelope holds a profile item";
    EXPECT_EQ(test::itemTypes(*envelope), (std::vector<std::string>{"transaction", "profile"}));
    const Json event = test::itemJson(*envelope, "transaction");
    const Json profile = test::itemJson(*envelope, "profile");
    EXPECT_EQ(profile["transaction"]["id"], event["event_id"]);
    EXPECT_EQ(profile["transaction"]["trace_id"], event["contexts"]["trace"]["trace_id"]);
    EXPECT_EQ(profile["transaction"]["name"], "profiled");
    EXPECT_TRUE(profile["transaction"]["active_thread_id"].is_number());
    EXPECT_TRUE(profile["timestamp"].is_string());
    EXPECT_EQ(profile["truncation_reason"], "normal");
    EXPECT_TRUE(profile.contains("debug_meta"));
    EXPECT_TRUE(profile["measurements"].contains("cpu_usage"));
    EXPECT_TRUE(profile["measurements"].contains("memory_footprint"));
    EXPECT_FALSE(profile["measurements"].contains("cpu_energy_usage"));

    bool spinnerSeen = false;
    for (const auto& [id, metadata] : profile["profile"]["thread_metadata"].items()) {
        if (metadata.value("name", "") == "spin-profiled") spinnerSeen = true;
        EXPECT_NE(metadata.value("name", "").rfind("skald-", 0), 0U) << "own threads are left out";
    }
    EXPECT_TRUE(spinnerSeen);
    // Around 40 rounds in 400 ms; each gives one sample per thread.
    EXPECT_GT(profile["profile"]["samples"].size(), 10U);

    EXPECT_EQ(trackedProfilerCount(), 0U);
    EXPECT_FALSE(TraceProfiler::isCurrentlyProfiling()) << "the last tracer stopped it";
}

TEST_F(ProfilersTest, ConcurrentTransactionsShareOneProfilerUntilTheLastEnds) {
    auto first = hub->startTransaction("first", "test");
    auto second = hub->startTransaction("second", "test");
    EXPECT_EQ(trackedProfilerCount(), 1U) << "one profiler for both";
    std::this_thread::sleep_for(100ms);
    first->finish();
    EXPECT_TRUE(TraceProfiler::isCurrentlyProfiling());
    second->finish();
    EXPECT_FALSE(TraceProfiler::isCurrentlyProfiling());
    EXPECT_EQ(trackedProfilerCount(), 0U);
}

TEST_F(ProfilersTest, AnAbandonedTransactionReleasesItsProfiler) {
    {
        auto abandoned = hub->startTransaction("abandoned", "test");
        EXPECT_TRUE(TraceProfiler::isCurrentlyProfiling());
    }
    EXPECT_EQ(trackedProfilerCount(), 0U);
    EXPECT_FALSE(TraceProfiler::isCurrentlyProfiling());
    EXPECT_FALSE(Profiler::currentSampler()) << "no sampler left running";
}

TEST_F(ProfilersTest, TheTimeoutEndsTheProfileWhileTheTransactionGoesOn) {
    TraceProfiler::setTimeoutForTesting(0.3);
    Spinner spinner("spin-timeout");
    auto transaction = hub->startTransaction("long", "test");
    ASSERT_TRUE(test::eventually([] { return !TraceProfiler::isCurrentlyProfiling(); }, 3s));
    std::this_thread::sleep_for(300ms);
    transaction->finish();

    const auto envelope = envelopeWith("profile");
    ASSERT_TRUE(envelope);
    const Json profile = test::itemJson(*envelope, "profile");
    EXPECT_EQ(profile["truncation_reason"], "timeout");
    uint64_t latest = 0;
    for (const auto& sample : profile["profile"]["samples"]) {
        latest = std::max<uint64_t>(
            latest, std::stoull(sample["elapsed_since_start_ns"].get<std::string>()));
    }
    EXPECT_LT(latest, 450'000'000U) << "nothing sampled after the timeout";
    // At most one sample per thread and round, at 101 rounds a second.
    const size_t threads = profile["profile"]["thread_metadata"].size();
    EXPECT_LE(profile["profile"]["samples"].size(), threads * 101 * 45 / 100 + threads);
}

TEST_F(ProfilersTest, ContinuousProfilingSendsChunksAndALastOneOnStop) {
    options->setProfilesSampleRate(std::nullopt);
    ContinuousProfiler::setChunkPeriodForTesting(0.3);
    Spinner spinner("spin-chunks");
    auto before = hub->startTransaction("before", "test");
    SDK::startProfiler();
    ASSERT_TRUE(ContinuousProfiler::isCurrentlyProfiling());
    const auto id = ContinuousProfiler::currentProfilerID();
    ASSERT_TRUE(id);
    auto during = hub->startTransaction("during", "test");
    ASSERT_TRUE(test::eventually([&] { return transport->envelopes().size() >= 2; }, 5s));
    SDK::stopProfiler();
    ASSERT_TRUE(test::eventually([] { return !ContinuousProfiler::isCurrentlyProfiling(); }, 5s));
    before->finish();
    during->finish();
    ASSERT_TRUE(test::eventually(
        [&] {
            size_t count = 0;
            for (const auto& envelope : transport->envelopes()) {
                count += test::itemJson(*envelope, "transaction").is_null() ? 0 : 1;
            }
            return count == 2;
        },
        3s));

    std::vector<Json> chunks;
    std::vector<Json> transactions;
    for (const auto& envelope : transport->envelopes()) {
        for (const auto& item : envelope->items()) {
            const Json json = parseJsonBytes(item->data()).value_or(Json());
            if (item->header()->type() == "profile_chunk") chunks.push_back(json);
            if (item->header()->type() == "transaction") transactions.push_back(json);
        }
    }
    ASSERT_GE(chunks.size(), 2U);
    double previousLast = 0;
    for (const auto& chunk : chunks) {
        EXPECT_EQ(chunk["profiler_id"], id->skaldIdString());
        double first = 1e300;
        double last = 0;
        for (const auto& sample : chunk["profile"]["samples"]) {
            first = std::min(first, sample["timestamp"].get<double>());
            last = std::max(last, sample["timestamp"].get<double>());
        }
        EXPECT_GT(first, previousLast) << "chunks do not overlap";
        previousLast = last;
    }
    ASSERT_EQ(transactions.size(), 2U);
    for (const auto& transaction : transactions) {
        EXPECT_EQ(transaction["contexts"]["profile"]["profiler_id"], id->skaldIdString())
            << transaction["transaction"] << ": running, or started while it ran";
    }

    // A later start keeps the process's profiler id.
    SDK::startProfiler();
    EXPECT_EQ(ContinuousProfiler::currentProfilerID(), id);
    ContinuousProfiler::stopTimerAndCleanup();
}

TEST_F(ProfilersTest, WrappersProfileTheirOwnTraces) {
    Spinner spinner("spin-wrapper");
    const Id trace;
    const auto start = PrivateSDKOnly::startProfilerForTrace(trace);
    ASSERT_TRUE(start);
    std::this_thread::sleep_for(200ms);
    const uint64_t end = DependencyContainer::sharedInstance()->dateProvider()->systemTime();
    const auto payload = PrivateSDKOnly::collectProfileBetween(*start, end, trace);
    ASSERT_TRUE(payload);
    EXPECT_EQ((*payload)["platform"], "cocoa");
    EXPECT_EQ((*payload)["transaction"].size(), 1U);
    EXPECT_TRUE((*payload)["transaction"]["active_thread_id"].is_number());
    EXPECT_GT((*payload)["profile"]["samples"].size(), 1U);
    EXPECT_FALSE(PrivateSDKOnly::collectProfileBetween(*start, end, trace)) << "collected once";
    EXPECT_FALSE(TraceProfiler::isCurrentlyProfiling());

    const Id discarded;
    ASSERT_TRUE(PrivateSDKOnly::startProfilerForTrace(discarded));
    PrivateSDKOnly::discardProfilerForTrace(discarded);
    EXPECT_FALSE(PrivateSDKOnly::collectProfileBetween(0, end, discarded));
    EXPECT_FALSE(PrivateSDKOnly::collectProfileBetween(0, end, Id())) << "never started";
    EXPECT_EQ(trackedProfilerCount(), 0U);
}

TEST_F(ProfilersTest, ClosingTheSdkSendsTheLastChunk) {
    options->setProfilesSampleRate(std::nullopt);
    Spinner spinner("spin-close");
    SDK::startProfiler();
    ASSERT_TRUE(ContinuousProfiler::isCurrentlyProfiling());
    std::this_thread::sleep_for(200ms);
    SDK::close();
    EXPECT_FALSE(ContinuousProfiler::isCurrentlyProfiling());
    EXPECT_TRUE(envelopeWith("profile_chunk")) << "what was sampled before the close is sent";
}

TEST_F(ProfilersTest, ContinuousProfilingIsRefusedWhileTraceProfilingIsConfigured) {
    SDK::startProfiler();
    EXPECT_FALSE(ContinuousProfiler::isCurrentlyProfiling());
}

TEST(MetricProfiler, SeriesAreCutToTheWindowAndLeftOutWhenEmpty) {
    MetricProfiler metrics(ProfilerMode::Trace);
    EXPECT_TRUE(metrics.serializeTraceProfileMetricsBetween(0, 100).empty());
    metrics.addReadings(MetricReading{12.5, 100, 1.7e9}, MetricReading{4096, 100, 1.7e9});
    metrics.addReadings(MetricReading{50, 300, 1.7e9 + 0.2}, std::nullopt);
    const Json window = metrics.serializeTraceProfileMetricsBetween(100, 200);
    ASSERT_EQ(window["cpu_usage"]["values"].size(), 1U);
    EXPECT_EQ(window["cpu_usage"]["unit"], "percent");
    EXPECT_EQ(window["cpu_usage"]["values"][0]["elapsed_since_start_ns"], "0");
    EXPECT_EQ(window["memory_footprint"]["unit"], "byte");
    EXPECT_FALSE(window.contains("cpu_energy_usage"));
    const Json all = metrics.serializeContinuousProfileMetrics();
    EXPECT_EQ(all["cpu_usage"]["values"].size(), 2U);
    EXPECT_DOUBLE_EQ(all["cpu_usage"]["values"][1]["timestamp"].get<double>(), 1.7e9 + 0.2);

    MetricProfiler live(ProfilerMode::Continuous);
    live.recordMetrics();
    {
        Spinner spinner("spin-metrics");
        std::this_thread::sleep_for(50ms);
        live.recordMetrics();
    }
    const Json recorded = live.serializeContinuousProfileMetrics();
    ASSERT_EQ(recorded["cpu_usage"]["values"].size(), 1U) << "CPU needs two readings";
    EXPECT_GT(recorded["cpu_usage"]["values"][0]["value"].get<double>(), 0);
    EXPECT_GT(recorded["memory_footprint"]["values"][0]["value"].get<double>(), 1 << 20);
}

class LaunchProfileTest : public ProfilersTest {
  protected:
    void SetUp() override {
        ProfilersTest::SetUp();
        const char* old = std::getenv("XDG_DATA_HOME");
        oldDataHome_ = old ? std::optional<std::string>(old) : std::nullopt;
        ::setenv("XDG_DATA_HOME", dataHome_.path().c_str(), 1);
    }
    void TearDown() override {
        if (oldDataHome_) {
            ::setenv("XDG_DATA_HOME", oldDataHome_->c_str(), 1);
        } else {
            ::unsetenv("XDG_DATA_HOME");
        }
        ProfilersTest::TearDown();
    }
    test::TempDirectory dataHome_;
    std::optional<std::string> oldDataHome_;
};

TEST_F(LaunchProfileTest, TheNextLaunchIsConfiguredFromTheOptions) {
    Options launch;
    launch.enableAppLaunchProfiling = true;
    configureLaunchProfiling(launch);
    auto stored =
        parseLaunchProfileConfig(readFileContents(launchProfileConfigPath()).value_or(""));
    ASSERT_TRUE(stored);
    EXPECT_TRUE(stored->continuousProfiling) << "no profiles rate: continuous";

    launch.setTracesSampleRate(1.0);
    launch.setProfilesSampleRate(0.5);
    auto random = std::make_shared<test::FixedRandom>(0.25);
    DependencyContainer::sharedInstance()->setRandom(random);
    configureLaunchProfiling(launch);
    stored = parseLaunchProfileConfig(readFileContents(launchProfileConfigPath()).value_or(""));
    ASSERT_TRUE(stored);
    EXPECT_FALSE(stored->continuousProfiling);
    EXPECT_EQ(stored->tracesRate, 1.0);
    EXPECT_EQ(stored->profilesRate, 0.5);

    random->value = 0.75;  // the profile is sampled out
    configureLaunchProfiling(launch);
    EXPECT_FALSE(std::filesystem::exists(launchProfileConfigPath()));

    EXPECT_FALSE(parseLaunchProfileConfig("not json"));
    EXPECT_FALSE(parseLaunchProfileConfig("[1]"));
    EXPECT_FALSE(parseLaunchProfileConfig(R"({"traces": 7})")->tracesRate) << "out of range";
}

TEST_F(LaunchProfileTest, TheLaunchProfileIsCapturedWhenTheSdkHandsItAHub) {
    Spinner spinner("spin-launch");
    startLaunchProfile(LaunchProfileConfig{false, 1.0, 1.0});
    ASSERT_TRUE(hasLaunchTracer());
    EXPECT_TRUE(isLaunchProfileRunning());
    std::this_thread::sleep_for(200ms);
    stopLaunchProfile(hub);
    EXPECT_FALSE(hasLaunchTracer());
    EXPECT_FALSE(isLaunchProfileRunning());

    const auto envelope = envelopeWith("profile");
    ASSERT_TRUE(envelope);
    const Json event = test::itemJson(*envelope, "transaction");
    EXPECT_EQ(event["transaction"], "launch");
    EXPECT_EQ(event["contexts"]["trace"]["op"], "app.lifecycle");
    EXPECT_EQ(event["contexts"]["trace"]["origin"], "auto.app.start.profile");
    stopLaunchProfile(hub);  // nothing left: only a log line
}

}  // namespace
}  // namespace skald::profiling
