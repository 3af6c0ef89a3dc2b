// Metrics end to end: the example program records counters, distributions,
// gauges and a set for 25 seconds against the local receiver; the statsd
// lines that arrive are parsed here and must add up to what was recorded.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <set>

#include "e2e/example_fixture.h"

namespace skald::test {
namespace {

/// One parsed line: name@unit:value[:value...]|type[|#key:value,...]|T<timestamp>
struct StatsdLine {
    std::string name;
    std::string unit;
    std::vector<std::string> values;
    std::string type;
    std::map<std::string, std::string> tags;
    uint64_t timestamp = 0;
};

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t at; (at = text.find(separator, start)) != std::string::npos; start = at + 1)
        parts.push_back(text.substr(start, at - start));
    parts.push_back(text.substr(start));
    return parts;
}

/// Nothing when the line does not follow the format.
std::optional<StatsdLine> parseStatsdLine(const std::string& line) {
    const auto sections = split(line, '|');
    if (sections.size() < 3 || sections.size() > 4) return std::nullopt;
    StatsdLine parsed;
    const auto at = sections[0].find('@');
    if (at == std::string::npos || at == 0) return std::nullopt;
    parsed.name = sections[0].substr(0, at);
    auto unitAndValues = split(sections[0].substr(at + 1), ':');
    if (unitAndValues.size() < 2) return std::nullopt;
    parsed.unit = unitAndValues[0];
    parsed.values.assign(unitAndValues.begin() + 1, unitAndValues.end());
    parsed.type = sections[1];
    if (sections.size() == 4) {
        if (sections[2].rfind("#", 0) != 0) return std::nullopt;
        for (const auto& tag : split(sections[2].substr(1), ',')) {
            const auto colon = tag.find(':');
            if (colon == std::string::npos || colon == 0) return std::nullopt;
            parsed.tags[tag.substr(0, colon)] = tag.substr(colon + 1);
        }
    }
    const std::string& time = sections.back();
    if (time.size() < 2 || time[0] != 'T' ||
        time.find_first_not_of("0123456789", 1) != std::string::npos)
        return std::nullopt;
    parsed.timestamp = std::stoull(time.substr(1));
    return parsed;
}

double number(const std::string& text) {
    size_t used = 0;
    const double value = std::stod(text, &used);
    EXPECT_EQ(used, text.size()) << text;
    return value;
}

bool onlyCharacters(const std::string& text, const std::string& allowed) {
    return std::all_of(text.begin(), text.end(), [&](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || allowed.find(c) != std::string::npos;
    });
}

using MetricsEndToEnd = ExampleEndToEnd;

TEST_F(MetricsEndToEnd, TwentyFiveSecondsOfMetricsArriveAsStatsdLinesThatAddUp) {
    const auto run = runProgram(SKALD_EXAMPLE_PATH, {"--metrics", "25"});
    ASSERT_EQ(run.status, 0) << run.output;
    const auto roundsAt = run.output.find("metrics rounds: ");
    ASSERT_NE(roundsAt, std::string::npos) << run.output;
    const int rounds = std::atoi(run.output.c_str() + roundsAt + 16);
    ASSERT_GT(rounds, 100) << run.output;

    std::vector<StatsdLine> lines;
    size_t statsdItems = 0;
    std::optional<Json> transaction;
    for (const auto& envelope : receivedEnvelopes()) {
        for (const auto& item : envelope->items()) {
            if (item->header()->type() != "statsd") continue;
            ++statsdItems;
            const std::string& data = item->data();
            ASSERT_FALSE(data.empty());
            ASSERT_EQ(data.back(), '\n');
            for (const auto& text : split(data.substr(0, data.size() - 1), '\n')) {
                auto line = parseStatsdLine(text);
                ASSERT_TRUE(line) << "not a statsd line: " << text;
                lines.push_back(std::move(*line));
            }
        }
        for (auto& item : itemsOfType(*envelope, "transaction")) transaction = item;
    }
    // The timer's flushes (10 s apart, the last by 20 s) and the one at exit.
    EXPECT_GE(statsdItems, 2u) << run.output;

    const std::map<std::string, std::string> requestTags = {
        {"route", "/checkout"},
        {"tagkey/withspaces", "a\\\\u{2c}b\\\\u{7c}c\\\\\\\\d"},
        {"environment", "production"},
        {"release", "skald-example@1.0.0"}};
    double requests = 0;
    std::vector<double> latencies;
    double gaugeMin = INFINITY, gaugeMax = -INFINITY, gaugeSum = 0;
    uint64_t gaugeCount = 0;
    std::pair<uint64_t, double> lastGauge{0, NAN};
    std::set<uint64_t> members;
    std::vector<double> timings;
    std::set<uint64_t> buckets;
    for (const auto& line : lines) {
        EXPECT_EQ(line.timestamp % 10, 0u);
        buckets.insert(line.timestamp);
        EXPECT_TRUE(onlyCharacters(line.name, "_.-")) << line.name;
        for (const auto& [key, value] : line.tags) EXPECT_TRUE(onlyCharacters(key, "_/.-")) << key;
        if (line.name == "example.requests") {
            EXPECT_EQ(line.type, "c");
            EXPECT_EQ(line.unit, "");
            EXPECT_EQ(line.tags, requestTags);
            ASSERT_EQ(line.values.size(), 1u);
            requests += number(line.values[0]);
        } else if (line.name == "example.latency") {
            EXPECT_EQ(line.type, "d");
            EXPECT_EQ(line.unit, "millisecond");
            EXPECT_EQ(line.tags, requestTags);
            for (const auto& value : line.values) latencies.push_back(number(value));
        } else if (line.name == "example.queue_depth_") {
            EXPECT_EQ(line.type, "g");
            EXPECT_EQ(line.tags.at("queue"), "main");
            ASSERT_EQ(line.values.size(), 5u);
            const double last = number(line.values[0]);
            gaugeMin = std::min(gaugeMin, number(line.values[1]));
            gaugeMax = std::max(gaugeMax, number(line.values[2]));
            gaugeSum += number(line.values[3]);
            gaugeCount += std::stoull(line.values[4]);
            if (line.timestamp >= lastGauge.first) lastGauge = {line.timestamp, last};
        } else if (line.name == "example.users") {
            EXPECT_EQ(line.type, "s");
            for (const auto& value : line.values) members.insert(std::stoull(value));
        } else if (line.name == "example.timed") {
            EXPECT_EQ(line.type, "d");
            EXPECT_EQ(line.unit, "second");
            for (const auto& value : line.values) timings.push_back(number(value));
        } else {
            ADD_FAILURE() << "unexpected metric " << line.name;
        }
    }
    EXPECT_GE(buckets.size(), 3u) << "25 seconds span at least three 10-second windows";

    std::vector<double> expectedLatencies;
    double expectedGaugeSum = 0;
    std::set<uint64_t> expectedMembers;
    for (int n = 0; n < rounds; ++n) {
        expectedLatencies.push_back(n % 7 + 0.5);
        expectedGaugeSum += n % 5;
        const std::string user = "user-" + std::to_string(n % 13);
        expectedMembers.insert(
            ::crc32(0L, reinterpret_cast<const Bytef*>(user.data()), user.size()));
    }
    EXPECT_EQ(requests, rounds);
    std::sort(latencies.begin(), latencies.end());
    std::sort(expectedLatencies.begin(), expectedLatencies.end());
    EXPECT_EQ(latencies, expectedLatencies);
    EXPECT_EQ(gaugeCount, static_cast<uint64_t>(rounds));
    EXPECT_EQ(gaugeMin, 0);
    EXPECT_EQ(gaugeMax, 4);
    EXPECT_EQ(gaugeSum, expectedGaugeSum);
    EXPECT_EQ(lastGauge.second, (rounds - 1) % 5);
    EXPECT_EQ(members, expectedMembers);
    ASSERT_EQ(timings.size(), 1u);
    EXPECT_GE(timings[0], 0.009);

    // The first five rounds ran inside the bound transaction.
    ASSERT_TRUE(transaction) << run.output;
    EXPECT_EQ((*transaction)["transaction"], "metrics");
    const Json& summary = (*transaction)["_metrics_summary"];
    ASSERT_TRUE(summary.is_object()) << transaction->dump();
    const Json& counted = summary["c:example.requests"];
    ASSERT_EQ(counted.size(), 1u);
    EXPECT_EQ(counted[0]["count"], 5);
    EXPECT_EQ(counted[0]["sum"], 5.0);
    EXPECT_EQ(counted[0]["tags"]["tag key/with spaces"], "a,b|c\\d")
        << "unsanitized in the summary";
    EXPECT_EQ(summary["d:example.latency@millisecond"][0]["max"], 4.5);
    EXPECT_EQ(summary["s:example.users"][0]["sum"], 5.0) << "five new members";
    ASSERT_GE((*transaction)["spans"].size(), 1u);
    const Json& timed = (*transaction)["spans"][0];
    EXPECT_EQ(timed["op"], "metric.timing");
    EXPECT_EQ(timed["_metrics_summary"]["d:example.timed@second"][0]["count"], 1);
}

TEST_F(MetricsEndToEnd, RateLimitedMetricBucketsAreDroppedAndReported) {
    receiver->stop();
    tools::ReceiverConfig config;
    config.port = 0;
    config.storeDirectory = (root / "received").string();
    config.output = [](const std::string&) {};
    config.rateLimitsHeader = "60:metric_bucket:organization:quota_exceeded:custom";
    receiver = std::make_unique<tools::Receiver>(config);
    std::string error;
    ASSERT_TRUE(receiver->start(&error)) << error;

    // The answer to the first message brings the limit; the metrics are sent after it.
    ASSERT_EQ(runExample({"--message", "first", "--sleep", "1", "--metrics", "0.5",
                          "--metrics-flush", "now", "--message", "last"}),
              0)
        << exampleLog();
    uint64_t dropped = 0;
    size_t messages = 0;
    for (const auto& envelope : receivedEnvelopes()) {
        for (const auto& item : envelope->items()) {
            EXPECT_NE(item->header()->type(), "statsd") << "sent despite the rate limit";
        }
        messages += itemsOfType(*envelope, "event").size();
        for (const auto& report : itemsOfType(*envelope, "client_report")) {
            for (const auto& entry : report["discarded_events"]) {
                if (entry["category"] == "metric_bucket" && entry["reason"] == "ratelimit_backoff")
                    dropped += entry["quantity"].get<uint64_t>();
            }
        }
    }
    EXPECT_EQ(messages, 2u) << exampleLog();
    EXPECT_EQ(dropped, 1u) << exampleLog();
}

}  // namespace
}  // namespace skald::test
