// The profile payloads checked field by field: the trace profile of a
// transaction window, its slicing and its refusals, and the continuous chunk.
#include "profiling/profile_payload.h"

#include <gtest/gtest.h>

#include <regex>

#include "sdk/sdk_fixture.h"
#include "skald/envelope.h"
#include "support/log_capture.h"

namespace skald::profiling {
namespace {

ProfileSample sampleAt(uint64_t timestamp, uint64_t thread = 1, size_t stack = 0) {
    ProfileSample sample;
    sample.absoluteTimestamp = timestamp;
    sample.absoluteNSDateInterval = 1.7e9 + static_cast<double>(timestamp) / 1e9;
    sample.threadID = thread;
    sample.stackIndex = stack;
    return sample;
}

ProfilingData dataWithSamples(std::vector<uint64_t> timestamps) {
    ProfilerState state;
    state.cacheMainThreadID(1);
    for (uint64_t timestamp : timestamps) {
        Backtrace backtrace;
        backtrace.threadMetadata = {timestamp % 2 == 0 ? 1u : 2u,
                                    timestamp % 2 == 0 ? "" : "worker", 20};
        backtrace.absoluteTimestamp = timestamp;
        backtrace.addresses = {0x1000 + timestamp % 3, 0x2000};
        state.appendBacktrace(backtrace);
    }
    return state.copyProfilingData();
}

class ProfilePayloadTest : public test::SdkFixture {};

TEST(SampleSlicing, KeepsTheWindowBothEndsIncluded) {
    const std::vector<ProfileSample> samples = {sampleAt(90),  sampleAt(100), sampleAt(150),
                                                sampleAt(140), sampleAt(200), sampleAt(201)};
    const auto sliced = sliceSamples(samples, 100, 200);
    ASSERT_TRUE(sliced);
    std::vector<std::string> elapsed;
    for (const auto& sample : *sliced) elapsed.push_back(sample["elapsed_since_start_ns"]);
    EXPECT_EQ(elapsed, (std::vector<std::string>{"0", "50", "40", "100"}));
    EXPECT_EQ((*sliced)[0]["thread_id"], "1") << "thread ids are text";
    EXPECT_FALSE((*sliced)[0].contains("queue_address"));

    EXPECT_FALSE(sliceSamples({}, 0, 10));
    EXPECT_FALSE(sliceSamples(samples, 300, 400)) << "all before the window";
    EXPECT_FALSE(sliceSamples(samples, 10, 20)) << "all after the window";
    // A sample before the start between kept ones is filtered out.
    const auto filtered = sliceSamples({sampleAt(100), sampleAt(99), sampleAt(120)}, 100, 200);
    ASSERT_TRUE(filtered);
    EXPECT_EQ(filtered->size(), 2U);
}

TEST_F(ProfilePayloadTest, TraceProfileHasEveryFieldAndIndicesInRange) {
    scope->setEnvironment("staging");
    TraceProfileInput input;
    input.data = dataWithSamples({100, 111, 120, 131, 500});
    input.startSystemTime = 100;
    input.endSystemTime = 200;
    input.truncationReason = "timeout";
    input.metrics = {{"cpu_usage", {{"unit", "percent"}, {"values", Json::array()}}}};
    const auto payload = traceProfilePayload(input, hub);
    ASSERT_TRUE(payload);

    EXPECT_EQ((*payload)["version"], "1");
    EXPECT_EQ((*payload)["platform"], "cocoa");
    EXPECT_TRUE(
        std::regex_match((*payload)["profile_id"].get<std::string>(), std::regex("[0-9a-f]{32}")));
    EXPECT_EQ((*payload)["truncation_reason"], "timeout");
    EXPECT_EQ((*payload)["environment"], "staging") << "the scope's environment wins";
    EXPECT_EQ((*payload)["release"], "app@1.0");
    EXPECT_TRUE(payload->contains("measurements"));
    EXPECT_FALSE(payload->contains("debug_meta")) << "no images, no debug_meta";
    EXPECT_EQ((*payload)["os"]["name"], "Linux");
    EXPECT_TRUE((*payload)["os"].contains("version"));
    EXPECT_TRUE((*payload)["os"].contains("build_number"));
    for (const char* key : {"architecture", "is_emulator", "locale", "manufacturer", "model"}) {
        EXPECT_TRUE((*payload)["device"].contains(key)) << key;
    }
    EXPECT_EQ((*payload)["device"]["is_emulator"], false);

    const Json& profile = (*payload)["profile"];
    ASSERT_EQ(profile["samples"].size(), 4U) << "the sample at 500 is after the window";
    for (const auto& sample : profile["samples"]) {
        EXPECT_LT(sample["stack_id"].get<size_t>(), profile["stacks"].size());
        EXPECT_TRUE(sample["elapsed_since_start_ns"].is_string());
    }
    for (const auto& stack : profile["stacks"]) {
        for (const auto& frame : stack) EXPECT_LT(frame.get<size_t>(), profile["frames"].size());
    }
    for (const auto& frame : profile["frames"]) {
        EXPECT_TRUE(std::regex_match(frame["instruction_addr"].get<std::string>(),
                                     std::regex("0x[0-9a-f]{16}")));
    }
    EXPECT_EQ(profile["thread_metadata"]["1"]["name"], "main");
    EXPECT_EQ(profile["thread_metadata"]["2"]["name"], "worker");
    EXPECT_EQ(profile["thread_metadata"]["2"]["priority"], 20);
}

TEST_F(ProfilePayloadTest, TooFewSamplesGiveNoProfileAndCountAsLost) {
    test::LogCapture log;
    TraceProfileInput one;
    one.data = dataWithSamples({100});
    one.startSystemTime = 0;
    one.endSystemTime = 1000;
    EXPECT_FALSE(traceProfilePayload(one, hub));
    EXPECT_TRUE(log.contains("Not enough samples in profile"));

    TraceProfileInput outside;
    outside.data = dataWithSamples({100, 300, 400});
    outside.startSystemTime = 90;
    outside.endSystemTime = 150;
    EXPECT_FALSE(traceProfilePayload(outside, hub));
    EXPECT_TRUE(log.contains("Not enough samples in profile during the transaction"));

    TraceProfileInput shorter;
    shorter.data = dataWithSamples({100, 200});
    shorter.startSystemTime = 120;
    shorter.endSystemTime = 150;
    EXPECT_FALSE(traceProfilePayload(shorter, hub)) << "shorter than one sampling interval";

    const auto losses = transport->losses();
    ASSERT_EQ(losses.size(), 3U);
    for (const auto& loss : losses) {
        EXPECT_EQ(loss.category, DataCategory::Profile);
        EXPECT_EQ(loss.reason, DiscardReason::EventProcessor);
    }
}

TEST_F(ProfilePayloadTest, ChunkCarriesWallClockSamplesAndItsIds) {
    const Id profilerId;
    const auto data = dataWithSamples({100, 110});
    const Json metrics = {{"memory_footprint", {{"unit", "byte"}, {"values", Json::array()}}}};
    const auto envelope = profileChunkEnvelope(profilerId, data, metrics, hub);
    ASSERT_TRUE(envelope);
    ASSERT_EQ(envelope->items().size(), 1U);
    EXPECT_EQ(envelope->items()[0]->header()->type(), "profile_chunk");
    const Json chunk = test::itemJson(*envelope, "profile_chunk");
    EXPECT_EQ(chunk["version"], "2");
    EXPECT_EQ(chunk["platform"], "cocoa");
    EXPECT_EQ(chunk["profiler_id"], profilerId.skaldIdString());
    EXPECT_TRUE(std::regex_match(chunk["chunk_id"].get<std::string>(), std::regex("[0-9a-f]{32}")));
    EXPECT_EQ(chunk["release"], "app@1.0");
    EXPECT_EQ(chunk["environment"], "production");
    EXPECT_TRUE(chunk["client_sdk"].contains("name"));
    EXPECT_TRUE(chunk["client_sdk"].contains("version"));
    EXPECT_TRUE(chunk.contains("measurements"));
    ASSERT_EQ(chunk["profile"]["samples"].size(), 2U);
    for (const auto& sample : chunk["profile"]["samples"]) {
        EXPECT_TRUE(sample["timestamp"].is_number_float());
        EXPECT_FALSE(sample.contains("elapsed_since_start_ns"));
    }
}

}  // namespace
}  // namespace skald::profiling
