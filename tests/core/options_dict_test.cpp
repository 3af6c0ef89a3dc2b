#include <gtest/gtest.h>

#include <cstdlib>

#include "skald/platform/bundle.h"
#include "skald/dsn.h"
#include "skald/option_value.h"
#include "skald/options.h"
#include "support/log_capture.h"

namespace skald {
namespace {

// The options only pass sessions and delegates around, so pointers that share
// ownership with a plain object stand in for them.
template <class T>
std::shared_ptr<T> opaque(const std::shared_ptr<int>& owner) {
    return std::shared_ptr<T>(owner, reinterpret_cast<T*>(owner.get()));
}

constexpr const char* kDsn = "https://key@example.com/42";

class OptionsDictTest : public ::testing::Test {
  protected:
    void SetUp() override { reset(); }
    void TearDown() override { reset(); }

    static void reset() {
        ::unsetenv("SKALD_DSN");
        platform::Bundle::setMainInfoDictionary(std::nullopt);
    }

    // `entries` plus a valid "dsn".
    static std::shared_ptr<Options> parse(OptionDict entries) {
        entries.emplace("dsn", kDsn);
        Error error;
        auto options = Options::fromDict(entries, &error);
        EXPECT_TRUE(options) << error.localizedDescription;
        return options;
    }
};

// --- The boolean reading ---------------------------------------------------------

TEST(OptionValueTest, BooleanReadingOfNumbersAndTexts) {
    for (const auto& [value, expected] : std::vector<std::pair<OptionValue, bool>>{
             {true, true},     {false, false},    {1, true},       {0, false},     {-3, true},
             {0.5, true},      {0.0, false},      {"Y", true},     {"yes", true},  {"t", true},
             {"True", true},   {"  \tyes", true}, {"1", true},     {"+007", true}, {"-2", true},
             {"00009x", true}, {"0", false},      {"-000", false}, {"", false},    {"   ", false},
             {"no", false},    {"false", false},  {"N", false},    {"0.5", false}, {"x1", false},
             {"+-1", false}}) {
        EXPECT_EQ(value.boolReading(), expected) << value.description();
    }
    EXPECT_FALSE(OptionValue().boolReading());
    EXPECT_FALSE(OptionValue(OptionList{}).boolReading());
    EXPECT_FALSE(OptionValue(OptionDict{}).boolReading());
    EXPECT_FALSE(OptionValue::object(42).boolReading());
}

TEST(OptionValueTest, NumbersReadAsUnsigned32BitsLikeACConversion) {
    EXPECT_EQ(OptionValue(3.9).uint32Value(), 3u);
    EXPECT_EQ(OptionValue(-1).uint32Value(), 4294967295u);
    EXPECT_EQ(OptionValue(int64_t{1} << 32 | 5).uint32Value(), 5u);
    EXPECT_EQ(OptionValue(1e300).uint32Value(), 4294967295u);
    EXPECT_EQ(OptionValue(NAN).uint32Value(), 0u);
    EXPECT_FALSE(OptionValue("7").uint32Value());
}

TEST(OptionValueTest, FromJsonKeepsKinds) {
    const auto value = OptionValue::fromJson(Json::parse(
        R"({"a": null, "b": true, "c": -2, "d": 18446744073709551615, "e": 1.5, "f": "x",
            "g": [1, "y"], "h": {"i": {}}})"));
    const auto* dict = value.dict();
    ASSERT_NE(dict, nullptr);
    EXPECT_EQ(dict->at("a").kind(), OptionValue::Kind::Null);
    EXPECT_EQ(dict->at("b").kind(), OptionValue::Kind::Bool);
    EXPECT_EQ(dict->at("c").kind(), OptionValue::Kind::Integer);
    EXPECT_EQ(dict->at("d").kind(), OptionValue::Kind::Double);
    EXPECT_EQ(dict->at("e").doubleValue(), 1.5);
    EXPECT_EQ(*dict->at("f").text(), "x");
    ASSERT_NE(dict->at("g").list(), nullptr);
    EXPECT_EQ(dict->at("g").list()->size(), 2u);
    EXPECT_EQ(dict->at("h").description(), R"({"i": {}})");
}

// --- The "dsn" key -------------------------------------------------------------------

TEST_F(OptionsDictTest, NullDsnIsAcceptedWithoutADsn) {
    const auto options = Options::fromDict({{"dsn", nullptr}, {"debug", true}});
    ASSERT_TRUE(options);
    EXPECT_EQ(options->parsedDsn, nullptr);
    EXPECT_TRUE(options->debug);
}

TEST_F(OptionsDictTest, ValidDsnIsParsedButTheTextPropertyIsNotTouched) {
    const auto options = Options::fromDict({{"dsn", "  https://key@example.com/sub/42\n"}});
    ASSERT_TRUE(options);
    ASSERT_TRUE(options->parsedDsn);
    EXPECT_EQ(options->parsedDsn->getEnvelopeEndpoint().absoluteString(),
              "https://example.com/sub/api/42/envelope/");
    EXPECT_FALSE(options->dsn());
}

TEST_F(OptionsDictTest, AbsentDsnFailsAndLogsTheError) {
    test::LogCapture log(Level::Debug);
    Error error;
    EXPECT_EQ(Options::fromDict({{"debug", true}}, &error), nullptr);
    EXPECT_EQ(error.domain, "SkaldErrorDomain");
    EXPECT_EQ(error.code, 100);
    EXPECT_EQ(error.localizedDescription, "URL scheme of DSN is missing");
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_TRUE(log.lines()[0].starts_with("[Skald] [error] "));
    EXPECT_TRUE(log.lines()[0].ends_with(
        "] Failed to initialize SkaldOptions: Error Domain=SkaldErrorDomain Code=100 \"URL "
        "scheme of DSN is missing\""));
}

TEST_F(OptionsDictTest, FailureWithoutErrorPointerLogsThePlainText) {
    test::LogCapture log(Level::Debug);
    EXPECT_EQ(Options::fromDict({{"dsn", "ftp://key@example.com/42"}}), nullptr);
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_TRUE(log.lines()[0].ends_with("] Failed to initialize SkaldOptions"));
}

TEST_F(OptionsDictTest, BadDsnFailsWithTheParsersError) {
    Error error;
    EXPECT_EQ(Options::fromDict({{"dsn", "https://example.com/42"}}, &error), nullptr);
    EXPECT_EQ(error.localizedDescription, "User component of DSN is missing");
    // A DSN that is not a text counts as the empty text.
    EXPECT_EQ(Options::fromDict({{"dsn", 42}}, &error), nullptr);
    EXPECT_EQ(error.localizedDescription, "URL scheme of DSN is missing");
}

// --- Values and their kinds ---------------------------------------------------------------

TEST_F(OptionsDictTest, TextAndNumberKeys) {
    const auto options = parse({{"release", "app@1.0+1"},
                                {"environment", "staging"},
                                {"dist", "14"},
                                {"shutdownTimeInterval", 5},
                                {"maxBreadcrumbs", 3.9},
                                {"maxCacheItems", -1},
                                {"sessionTrackingIntervalMillis", 1000},
                                {"maxAttachmentSize", 1024},
                                {"appHangTimeoutInterval", 0.5},
                                {"cacheDirectoryPath", "/tmp/skald-dict"},
                                {"spotlightUrl", "http://127.0.0.1:1/stream"},
                                {"sampleRate", 1.5},
                                {"profilesSampleRate", -1}});
    ASSERT_TRUE(options);
    EXPECT_EQ(options->releaseName, "app@1.0+1");
    EXPECT_EQ(options->environment, "staging");
    EXPECT_EQ(options->dist, "14");
    EXPECT_EQ(options->shutdownTimeInterval, 5.0);
    EXPECT_EQ(options->maxBreadcrumbs, 3u);
    EXPECT_EQ(options->maxCacheItems, 4294967295u);
    EXPECT_EQ(options->sessionTrackingIntervalMillis, 1000u);
    EXPECT_EQ(options->maxAttachmentSize, 1024u);
    EXPECT_EQ(options->appHangTimeoutInterval, 0.5);
    EXPECT_EQ(options->cacheDirectoryPath, "/tmp/skald-dict");
    EXPECT_EQ(options->spotlightUrl, "http://127.0.0.1:1/stream");
    EXPECT_EQ(options->sampleRate(), 1.0);
    EXPECT_EQ(options->profilesSampleRate(), 0.0);
}

TEST_F(OptionsDictTest, WrongKindsLeaveTheDefaults) {
    test::LogCapture log(Level::Debug);
    const auto options = parse({{"debug", OptionList{true}},
                                {"release", 1},
                                {"environment", 5},
                                {"maxBreadcrumbs", "7"},
                                {"sampleRate", "0.5"},
                                {"tracesSampleRate", OptionList{}},
                                {"integrations", "SkaldCrashIntegration"},
                                {"inAppExcludes", "libfoo"},
                                {"swizzleClassNameExcludes", OptionList{"A"}},
                                {"tracePropagationTargets", "example.com"},
                                {"beforeSend", "not a callback"},
                                {"initialScope", OptionValue::object(BeforeSendCallback())},
                                {"enabled", nullptr},
                                {"experimental", OptionDict{{"anything", true}}}});
    ASSERT_TRUE(options);
    EXPECT_FALSE(options->debug);
    EXPECT_FALSE(options->releaseName);
    EXPECT_EQ(options->environment, "production");
    EXPECT_EQ(options->maxBreadcrumbs, 100u);
    EXPECT_EQ(options->sampleRate(), 1.0);
    EXPECT_FALSE(options->tracesSampleRate());
    EXPECT_EQ(options->integrations(), Options::defaultIntegrations());
    EXPECT_TRUE(options->inAppExcludes().empty());
    EXPECT_TRUE(options->swizzleClassNameExcludes.empty());
    EXPECT_EQ(options->tracePropagationTargets().size(), 1u);
    EXPECT_FALSE(options->beforeSend);
    EXPECT_TRUE(options->initialScope);
    EXPECT_TRUE(options->enabled);
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(OptionsDictTest, BooleanKeysUseTheBooleanReading) {
    const auto options = parse({{"debug", 1},
                                {"enableCrashHandler", 0},
                                {"attachStacktrace", "no"},
                                {"sendDefaultPii", "  +007"},
                                {"enableSwizzling", "000"},
                                {"enableProfiling", "Yes"},
                                {"enableMetrics", 0.5},
                                {"enableSigtermReporting", "t"},
                                {"enableMetricKit", true},
                                {"enableAutoSessionTracking", false},
                                {"swiftAsyncStacktraces", true},
                                {"enableAppHangTrackingV2", 1}});
    ASSERT_TRUE(options);
    EXPECT_TRUE(options->debug);
    EXPECT_FALSE(options->enableCrashHandler);
    EXPECT_FALSE(options->attachStacktrace);
    EXPECT_TRUE(options->sendDefaultPii);
    EXPECT_FALSE(options->enableSwizzling);
    EXPECT_TRUE(options->enableProfiling);
    EXPECT_TRUE(options->enableMetrics);
    EXPECT_TRUE(options->enableSigtermReporting);
    EXPECT_TRUE(options->enableMetricKit);
    EXPECT_FALSE(options->enableAutoSessionTracking);
    EXPECT_TRUE(options->swiftAsyncStacktraces);
    EXPECT_TRUE(options->enableAppHangTrackingV2);
}

TEST_F(OptionsDictTest, DiagnosticLevelMatchesLevelNamesExactly) {
    EXPECT_EQ(parse({{"diagnosticLevel", "warning"}})->diagnosticLevel, Level::Warning);
    EXPECT_EQ(parse({{"diagnosticLevel", "none"}})->diagnosticLevel, Level::None);
    EXPECT_EQ(parse({{"diagnosticLevel", "fatal"}})->diagnosticLevel, Level::Fatal);
    EXPECT_EQ(parse({{"diagnosticLevel", "Warning"}})->diagnosticLevel, Level::Debug);
    EXPECT_EQ(parse({{"diagnosticLevel", 3}})->diagnosticLevel, Level::Debug);
}

TEST_F(OptionsDictTest, InAppIncludesAppendTextsAfterTheExecutable) {
    platform::Bundle::setMainInfoDictionary(Json{{"CFBundleExecutable", "Installer"}});
    const auto options = parse({{"inAppIncludes", OptionList{"SkaldKit", 7, "Helpers"}},
                                {"inAppExcludes", OptionList{"libfoo", false}}});
    ASSERT_TRUE(options);
    EXPECT_EQ(options->inAppIncludes(),
              (std::vector<std::string>{"Installer", "SkaldKit", "Helpers"}));
    EXPECT_EQ(options->inAppExcludes(), std::vector<std::string>{"libfoo"});
}

TEST_F(OptionsDictTest, IntegrationsKeepTextsAndWarn) {
    test::LogCapture log(Level::Debug);
    const auto options = parse({{"integrations", OptionList{"SkaldCrashIntegration", 3, "X"}}});
    ASSERT_TRUE(options);
    EXPECT_EQ(options->integrations(), (std::vector<std::string>{"SkaldCrashIntegration", "X"}));
    EXPECT_EQ(log.count("Setting `SkaldOptions.integrations` is deprecated."), 1u);
}

// --- Tracing through the dictionary ----------------------------------------------------

TEST_F(OptionsDictTest, EnableTracingIsANumberReadThroughTheSetter) {
    const auto on = parse({{"enableTracing", 1}});
    EXPECT_TRUE(on->enableTracing());
    EXPECT_EQ(on->tracesSampleRate(), 1.0);
    EXPECT_TRUE(on->isTracingEnabled());

    const auto flag = parse({{"enableTracing", true}});
    EXPECT_TRUE(flag->isTracingEnabled());

    // The rate is read first and would switch tracing on; the explicit 0 wins.
    const auto off = parse({{"tracesSampleRate", 0.5}, {"enableTracing", 0}});
    EXPECT_EQ(off->tracesSampleRate(), 0.5);
    EXPECT_FALSE(off->enableTracing());
    EXPECT_FALSE(off->isTracingEnabled());

    const auto text = parse({{"enableTracing", "true"}});
    EXPECT_FALSE(text->enableTracing());
    EXPECT_FALSE(text->tracesSampleRate());

    const auto rateOnly = parse({{"tracesSampleRate", -0.1}});
    EXPECT_EQ(rateOnly->tracesSampleRate(), 0.0);
    EXPECT_FALSE(rateOnly->enableTracing());
}

TEST_F(OptionsDictTest, CallbacksAndObjectsAreDelivered) {
    int sent = 0;
    bool metricAsked = false;
    const auto owner = std::make_shared<int>(0);
    const auto session = opaque<platform::UrlSession>(owner);
    const auto delegate = opaque<platform::UrlSessionDelegate>(owner);
    const auto options = parse(
        {{"beforeSend", OptionValue::object(BeforeSendCallback([&](std::shared_ptr<Event> event) {
              ++sent;
              return event;
          }))},
         {"onCrashedLastRun", OptionValue::object(OnCrashedLastRunCallback(
                                  [&](const std::shared_ptr<Event>&) { ++sent; }))},
         {"beforeCaptureScreenshot", OptionValue::object(BeforeCaptureCallback(
                                         [](const std::shared_ptr<Event>&) { return true; }))},
         {"tracesSampler",
          OptionValue::object(SamplerCallback([](const SamplingContext&) { return 0.3; }))},
         {"profilesSampler",
          OptionValue::object(SamplerCallback([](const SamplingContext&) { return 0.2; }))},
         {"beforeEmitMetric",
          OptionValue::object(BeforeEmitMetricCallback(
              [&](const std::string& key, const std::map<std::string, std::string>& tags) {
                  metricAsked = key == "k" && tags.at("t") == "v";
                  return false;
              }))},
         // A lambda not wrapped in the property's type is not taken.
         {"beforeBreadcrumb", OptionValue::object([](int x) { return x; })},
         {"urlSession", OptionValue::object(session)},
         {"urlSessionDelegate", OptionValue::object(delegate)}});
    ASSERT_TRUE(options);

    ASSERT_TRUE(options->beforeSend);
    EXPECT_EQ(options->beforeSend(nullptr), nullptr);
    ASSERT_TRUE(options->onCrashedLastRun);
    options->onCrashedLastRun(nullptr);
    EXPECT_EQ(sent, 2);
    ASSERT_TRUE(options->beforeCaptureScreenshot);
    EXPECT_TRUE(options->beforeCaptureScreenshot(nullptr));
    EXPECT_FALSE(options->beforeCaptureViewHierarchy);
    EXPECT_FALSE(options->beforeBreadcrumb);
    ASSERT_TRUE(options->beforeEmitMetric);
    EXPECT_FALSE(options->beforeEmitMetric("k", {{"t", "v"}}));
    EXPECT_TRUE(metricAsked);
    ASSERT_TRUE(options->profilesSampler);
    EXPECT_TRUE(options->isProfilingEnabled());
    // The sampler goes through its setter and switches tracing on.
    ASSERT_TRUE(options->tracesSampler());
    EXPECT_TRUE(options->enableTracing());
    EXPECT_TRUE(options->isTracingEnabled());
    EXPECT_EQ(options->urlSession, session);
    EXPECT_EQ(options->urlSessionDelegate.lock(), delegate);
}

// --- Lists of targets, codes and names ---------------------------------------------------

TEST_F(OptionsDictTest, TargetListsKeepUnsupportedEntriesAndWarn) {
    test::LogCapture log(Level::Debug);
    const auto options =
        parse({{"tracePropagationTargets",
                OptionList{"example.com", *RegularExpression::make("^https://api\\.", true), 42}},
               {"failedRequestTargets", OptionList{OptionDict{}, nullptr}}});
    ASSERT_TRUE(options);
    const auto& propagation = options->tracePropagationTargets();
    ASSERT_EQ(propagation.size(), 3u);
    EXPECT_EQ(propagation[0].kind(), UrlTarget::Kind::Text);
    EXPECT_EQ(propagation[1].kind(), UrlTarget::Kind::RegularExpression);
    EXPECT_TRUE(propagation[1].matches("HTTPS://API.example.com/"));
    EXPECT_EQ(propagation[2].kind(), UrlTarget::Kind::Other);
    EXPECT_EQ(propagation[2].text(), "42");
    EXPECT_EQ(options->failedRequestTargets().size(), 2u);
    EXPECT_EQ(log.count("supported inside tracePropagationTargets."), 1u);
    EXPECT_EQ(log.count("supported inside failedRequestTargets."), 2u);
}

TEST_F(OptionsDictTest, FailedRequestStatusCodesAndClassNameExcludes) {
    const auto options = parse(
        {{"failedRequestStatusCodes", OptionList{OptionValue::object(HttpStatusCodeRange(400, 404)),
                                                 418, OptionDict{{"min", 500}, {"max", 503}}, "x"}},
         {"swizzleClassNameExcludes", OptionSet{{"A", "B", 3, "A"}}}});
    ASSERT_TRUE(options);
    EXPECT_EQ(options->failedRequestStatusCodes,
              (std::vector<HttpStatusCodeRange>{{400, 404}, HttpStatusCodeRange(418), {500, 503}}));
    EXPECT_EQ(options->swizzleClassNameExcludes, (std::set<std::string>{"A", "B"}));
}

TEST_F(OptionsDictTest, SpotlightFromTheDictionaryDoesNotWarn) {
    test::LogCapture log(Level::Debug);
    const auto options = parse({{"enableSpotlight", true}});
    EXPECT_TRUE(options->enableSpotlight());
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(OptionsDictTest, ConfiguresFromJsonText) {
    const auto options = Options::fromDict(*OptionValue::fromJson(Json::parse(R"({
        "dsn": "https://key@example.com:9000/42",
        "debug": true,
        "diagnosticLevel": "error",
        "sampleRate": 0.25,
        "enableTracing": true,
        "inAppExcludes": ["libc"],
        "failedRequestStatusCodes": [{"min": 400, "max": 599}]
    })"))
                                                .dict());
    ASSERT_TRUE(options);
    EXPECT_EQ(options->parsedDsn->getEnvelopeEndpoint().absoluteString(),
              "https://example.com:9000/api/42/envelope/");
    EXPECT_TRUE(options->debug);
    EXPECT_EQ(options->diagnosticLevel, Level::Error);
    EXPECT_EQ(options->sampleRate(), 0.25);
    EXPECT_TRUE(options->isTracingEnabled());
    EXPECT_EQ(options->inAppExcludes(), std::vector<std::string>{"libc"});
    EXPECT_EQ(options->failedRequestStatusCodes,
              std::vector<HttpStatusCodeRange>{HttpStatusCodeRange(400, 599)});
}

}  // namespace
}  // namespace skald
