// The statsd text: value formatting, each metric's values, and the sanitizing
// and escaping of names, units and tags.
#include <gtest/gtest.h>

#include <cstdlib>

#include "core/metrics/metric.h"
#include "core/metrics/statsd_encoding.h"

namespace skald::test {
namespace {

std::unique_ptr<MetricBase> metric(MetricType type, double first, std::string name,
                                   MetricTags tags = {}, std::string unit = "") {
    return MetricBase::make(type, first, std::move(name), MeasurementUnit(std::move(unit)),
                            std::move(tags));
}

std::string encodeOne(std::unique_ptr<MetricBase> one, uint64_t timestamp = 1714558830) {
    MetricBuckets buckets;
    buckets[timestamp].push_back(std::move(one));
    return encodeStatsd(buckets);
}

TEST(StatsdValues, DoublesAreShortestRoundTripsWithAFractionPart) {
    EXPECT_EQ(formatMetricValue(1), "1.0");
    EXPECT_EQ(formatMetricValue(0), "0.0");
    EXPECT_EQ(formatMetricValue(-2), "-2.0");
    EXPECT_EQ(formatMetricValue(0.1), "0.1");
    EXPECT_EQ(formatMetricValue(1e20), "1.0e+20");
    EXPECT_EQ(formatMetricValue(1.5e-7), "1.5e-07");
    for (double value : {0.1 + 0.2, 1.0 / 3.0, 123456.789, 2.5e300, 4.9e-324}) {
        const std::string text = formatMetricValue(value);
        EXPECT_EQ(std::strtod(text.c_str(), nullptr), value) << text;
    }
}

TEST(StatsdValues, EachMetricTypeSerialisesItsState) {
    auto gauge = metric(MetricType::Gauge, 3, "g");
    gauge->add(1);
    gauge->add(2);
    EXPECT_EQ(gauge->serialize(), (std::vector<std::string>{"2.0", "1.0", "3.0", "6.0", "3"}));
    EXPECT_EQ(gauge->weight(), 5u);

    auto counter = metric(MetricType::Counter, 1, "c");
    counter->add(2.5);
    EXPECT_EQ(counter->serialize(), (std::vector<std::string>{"3.5"}));
    EXPECT_EQ(counter->weight(), 1u);

    auto distribution = metric(MetricType::Distribution, 1, "d");
    distribution->add(1);
    distribution->add(0.5);
    EXPECT_EQ(distribution->serialize(), (std::vector<std::string>{"1.0", "1.0", "0.5"}));
    EXPECT_EQ(distribution->weight(), 3u);

    auto set = metric(MetricType::Set, 907060870, "s");
    set->add(907060870);
    EXPECT_EQ(set->weight(), 1u);
    EXPECT_EQ(set->serialize(), (std::vector<std::string>{"907060870"}));
}

TEST(StatsdValues, MergedGaugesKeepTheLaterLastValue) {
    auto earlier = metric(MetricType::Gauge, 10, "g");
    auto later = metric(MetricType::Gauge, 4, "g");
    later->add(7);
    earlier->merge(*later);
    EXPECT_EQ(earlier->serialize(), (std::vector<std::string>{"7.0", "4.0", "10.0", "21.0", "3"}));
}

TEST(StatsdTypes, LettersRoundTripAndOtherTextIsNoType) {
    for (auto type :
         {MetricType::Counter, MetricType::Gauge, MetricType::Distribution, MetricType::Set}) {
        EXPECT_EQ(metricTypeForLetter(metricTypeLetter(type)), type);
    }
    EXPECT_EQ(metricTypeLetter(MetricType::Distribution), "d");
    EXPECT_FALSE(metricTypeForLetter("x"));
    EXPECT_FALSE(metricTypeForLetter(""));
    EXPECT_FALSE(metricTypeForLetter("cc"));
}

TEST(StatsdLine, CounterWithoutUnitOrTags) {
    auto counter = metric(MetricType::Counter, 1, "button.click");
    counter->add(1);
    EXPECT_EQ(encodeOne(std::move(counter), 1714558830), "button.click@:2.0|c|T1714558830\n");
}

TEST(StatsdLine, UnitValuesTagsAndTimestampInOrder) {
    auto gauge = metric(MetricType::Gauge, 5, "queue.depth", {{"b", "2"}, {"a", "1"}}, "byte");
    EXPECT_EQ(encodeOne(std::move(gauge), 1700000000),
              "queue.depth@byte:5.0:5.0:5.0:5.0:1|g|#a:1,b:2|T1700000000\n");
}

TEST(StatsdLine, OneLinePerMetricOfEveryBucket) {
    MetricBuckets buckets;
    buckets[10].push_back(metric(MetricType::Counter, 1, "a"));
    buckets[20].push_back(metric(MetricType::Distribution, 2, "b"));
    buckets[20].push_back(metric(MetricType::Set, 7, "c"));
    EXPECT_EQ(encodeStatsd(buckets), "a@:1.0|c|T10\nb@:2.0|d|T20\nc@:7|s|T20\n");
    EXPECT_EQ(encodeStatsd({}), "");
}

TEST(StatsdSanitizing, NamesReplaceRunsOfForbiddenCharactersWithOneUnderscore) {
    EXPECT_EQ(sanitizeMetricName("my metric!!"), "my_metric_");
    EXPECT_EQ(sanitizeMetricName("a.b-c_d9"), "a.b-c_d9");
    EXPECT_EQ(sanitizeMetricName("a|b:c@d#e"), "a_b_c_d_e");
    // A multi-byte character is one run.
    EXPECT_EQ(sanitizeMetricName("gr\xC3\xBC\xC3\x9F"
                                 "e"),
              "gr_e");
    EXPECT_EQ(sanitizeMetricName(""), "");
}

TEST(StatsdSanitizing, UnitsLoseEveryForbiddenCharacter) {
    EXPECT_EQ(sanitizeMetricUnit("milli second"), "millisecond");
    EXPECT_EQ(sanitizeMetricUnit("byte/s.x-y_z"), "bytesxy_z");
    EXPECT_EQ(sanitizeMetricUnit("\xC2\xB5s"), "s");
}

TEST(StatsdSanitizing, TagKeysLoseForbiddenRunsButKeepSlashes) {
    EXPECT_EQ(sanitizeMetricTagKey("tag key with spaces"), "tagkeywithspaces");
    EXPECT_EQ(sanitizeMetricTagKey("http/route"), "http/route");
    EXPECT_EQ(sanitizeMetricTagKey("a.b-c_d"), "a.b-c_d");
    EXPECT_EQ(sanitizeMetricTagKey("k|#,:"), "k");
}

TEST(StatsdSanitizing, TagValuesEscapeSeparatorsAndControlCharacters) {
    EXPECT_EQ(escapeMetricTagValue("a,b|c"), "a\\\\u{2c}b\\\\u{7c}c");
    EXPECT_EQ(escapeMetricTagValue("back\\slash"), "back\\\\\\\\slash");
    EXPECT_EQ(escapeMetricTagValue("l1\nl2\rl3\tl4"), "l1\\\\nl2\\\\rl3\\\\tl4");
    // Escapes are not escaped again.
    EXPECT_EQ(escapeMetricTagValue("\\,"), "\\\\\\\\\\\\u{2c}");
    EXPECT_EQ(escapeMetricTagValue("plain: value/ok"), "plain: value/ok");
}

TEST(StatsdSanitizing, AppliedWhenALineIsWritten) {
    auto counter = metric(MetricType::Counter, 1, "my metric!!",
                          {{"tag key", "x,y"}, {"http/route", "/a|b"}}, "milli second");
    EXPECT_EQ(encodeOne(std::move(counter), 10),
              "my_metric_@millisecond:1.0|c|#http/route:/a\\\\u{7c}b,tagkey:x\\\\u{2c}y|T10\n");
}

}  // namespace
}  // namespace skald::test
