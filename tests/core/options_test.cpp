#include "skald/options.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

#include "skald/platform/bundle.h"
#include "skald/dsn.h"
#include "support/log_capture.h"

namespace skald {
namespace {

constexpr const char* kDsn = "https://key@example.com/42";
constexpr const char* kIntegrationsWarning =
    "Setting `SkaldOptions.integrations` is deprecated. Integrations should be enabled or "
    "disabled using their respective `SkaldOptions.enable*` property.";

class OptionsTest : public ::testing::Test {
  protected:
    void SetUp() override { reset(); }
    void TearDown() override { reset(); }

    static void reset() {
        ::unsetenv("SKALD_DSN");
        platform::Bundle::setMainInfoDictionary(std::nullopt);
    }

    static void useBundle(Json info) { platform::Bundle::setMainInfoDictionary(std::move(info)); }
};

// --- Defaults ------------------------------------------------------------------

TEST_F(OptionsTest, DefaultsOfAPlainExecutable) {
    ::setenv("XDG_CACHE_HOME", "/tmp/skald-options-cache", 1);
    const Options options;
    ::unsetenv("XDG_CACHE_HOME");

    EXPECT_FALSE(options.dsn());
    EXPECT_EQ(options.parsedDsn, nullptr);
    EXPECT_FALSE(options.debug);
    EXPECT_EQ(options.diagnosticLevel, Level::Debug);
    EXPECT_FALSE(options.releaseName);
    EXPECT_EQ(options.environment, "production");
    EXPECT_TRUE(options.enabled);
    EXPECT_EQ(options.shutdownTimeInterval, 2.0);
    EXPECT_EQ(options.maxBreadcrumbs, 100u);
    EXPECT_EQ(options.maxCacheItems, 30u);
    EXPECT_EQ(options.sampleRate(), 1.0);
    EXPECT_EQ(options.sessionTrackingIntervalMillis, 30000u);
    EXPECT_EQ(options.maxAttachmentSize, 20971520u);
    EXPECT_FALSE(options.enableTracing());
    EXPECT_FALSE(options.tracesSampleRate());
    EXPECT_FALSE(options.isTracingEnabled());
    EXPECT_FALSE(options.profilesSampleRate());
    EXPECT_FALSE(options.isProfilingEnabled());
    EXPECT_TRUE(options.isContinuousProfilingEnabled());
    EXPECT_TRUE(options.inAppIncludes().empty());
    EXPECT_TRUE(options.inAppExcludes().empty());
    EXPECT_TRUE(options.swizzleClassNameExcludes.empty());
    EXPECT_FALSE(options.enableSpotlight());
    EXPECT_EQ(options.spotlightUrl, "http://localhost:8969/stream");
    EXPECT_EQ(options.cacheDirectoryPath, "/tmp/skald-options-cache");
    EXPECT_FALSE(options.enableMetricKit);
    EXPECT_TRUE(options.initialScope);
    EXPECT_FALSE(options.beforeSend);
    ASSERT_EQ(options.failedRequestStatusCodes.size(), 1u);
    EXPECT_EQ(options.failedRequestStatusCodes[0], HttpStatusCodeRange(500, 599));
    EXPECT_EQ(options.integrations(), Options::defaultIntegrations());
}

TEST_F(OptionsTest, DefaultIntegrationsInInstallOrder) {
    EXPECT_EQ(Options::defaultIntegrations(),
              (std::vector<std::string>{
                  "SkaldCrashIntegration", "SkaldANRTrackingIntegration",
                  "SkaldAutoBreadcrumbTrackingIntegration", "SkaldAutoSessionTrackingIntegration",
                  "SkaldCoreDataTrackingIntegration", "SkaldFileIOTrackingIntegration",
                  "SkaldNetworkTrackingIntegration", "SkaldSwiftAsyncIntegration",
                  "SkaldMetricKitIntegration"}));
}

TEST_F(OptionsTest, BothTargetListsShareOneCaseInsensitiveMatchAll) {
    const Options options;
    ASSERT_EQ(options.tracePropagationTargets().size(), 1u);
    ASSERT_EQ(options.failedRequestTargets().size(), 1u);
    const auto* propagation = options.tracePropagationTargets()[0].regularExpression();
    const auto* failed = options.failedRequestTargets()[0].regularExpression();
    ASSERT_TRUE(propagation && failed);
    EXPECT_EQ(propagation->pattern(), ".*");
    EXPECT_TRUE(propagation->caseInsensitive());
    EXPECT_EQ(propagation->compiled(), failed->compiled());
}

// --- Release and in-app includes from the main bundle ------------------------

TEST_F(OptionsTest, ReleaseAndInAppIncludeComeFromTheMainBundle) {
    useBundle({{"CFBundleIdentifier", "com.vantorel.installer"},
               {"CFBundleShortVersionString", "1.2"},
               {"CFBundleVersion", "7"},
               {"CFBundleExecutable", "Installer"}});
    const Options options;
    EXPECT_EQ(options.releaseName, "com.vantorel.installer@1.2+7");
    EXPECT_EQ(options.inAppIncludes(), std::vector<std::string>{"Installer"});
}

TEST_F(OptionsTest, ReleaseStaysUnsetWhenAPartIsMissing) {
    useBundle({{"CFBundleIdentifier", "com.vantorel.installer"},
               {"CFBundleShortVersionString", "1.2"},
               {"CFBundleVersion", 7}});
    const Options options;
    EXPECT_FALSE(options.releaseName);
    EXPECT_TRUE(options.inAppIncludes().empty());
}

// --- DSN ---------------------------------------------------------------------

TEST_F(OptionsTest, SetDsnKeepsTheLastGoodTextAndLogsFailures) {
    test::LogCapture log(Level::Debug);
    Options options;
    options.setDsn(std::string(kDsn));
    EXPECT_EQ(options.dsn(), kDsn);
    ASSERT_TRUE(options.parsedDsn);
    EXPECT_EQ(options.parsedDsn->url().absoluteString(), kDsn);
    EXPECT_TRUE(log.lines().empty());

    options.setDsn(std::string("ftp://key@example.com/42"));
    EXPECT_EQ(options.dsn(), kDsn);
    EXPECT_EQ(options.parsedDsn, nullptr);
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_TRUE(log.lines()[0].starts_with("[Skald] [error] ["));
    EXPECT_TRUE(log.contains(
        "Could not parse the DSN: Error Domain=SkaldErrorDomain Code=100 \"Unrecognized URL "
        "scheme in DSN\"."));
}

TEST_F(OptionsTest, DsnFromTheEnvironmentWhenNotEmpty) {
    ::setenv("SKALD_DSN", kDsn, 1);
    const Options fromEnvironment;
    EXPECT_EQ(fromEnvironment.dsn(), kDsn);
    ASSERT_TRUE(fromEnvironment.parsedDsn);

    ::setenv("SKALD_DSN", "", 1);
    EXPECT_FALSE(Options().dsn());

    ::setenv("SKALD_DSN", "not a dsn", 1);
    const Options invalid;
    EXPECT_FALSE(invalid.dsn());
    EXPECT_EQ(invalid.parsedDsn, nullptr);
}

// --- Sample rates and switches -------------------------------------------------

TEST_F(OptionsTest, SampleRateOutsideTheUnitRangeBecomesOne) {
    Options options;
    options.setSampleRate(1.5);
    EXPECT_EQ(options.sampleRate(), 1.0);
    options.setSampleRate(0.0);
    EXPECT_EQ(options.sampleRate(), 0.0);
    options.setSampleRate(-0.01);
    EXPECT_EQ(options.sampleRate(), 1.0);
    options.setSampleRate(NAN);
    EXPECT_EQ(options.sampleRate(), 1.0);
    options.setSampleRate(std::nullopt);
    EXPECT_FALSE(options.sampleRate());
}

TEST_F(OptionsTest, TracesSampleRateRules) {
    Options invalid;
    invalid.setTracesSampleRate(-0.1);
    EXPECT_EQ(invalid.tracesSampleRate(), 0.0);
    EXPECT_FALSE(invalid.enableTracing());
    invalid.setTracesSampleRate(1.01);
    EXPECT_EQ(invalid.tracesSampleRate(), 0.0);
    EXPECT_FALSE(invalid.isTracingEnabled());

    Options valid;
    valid.setTracesSampleRate(0.5);
    EXPECT_EQ(valid.tracesSampleRate(), 0.5);
    EXPECT_TRUE(valid.enableTracing());
    EXPECT_TRUE(valid.isTracingEnabled());
    valid.setTracesSampleRate(0.0);
    EXPECT_TRUE(valid.enableTracing());
    EXPECT_FALSE(valid.isTracingEnabled());
    valid.setTracesSampleRate(std::nullopt);
    EXPECT_FALSE(valid.tracesSampleRate());

    Options explicitOff;
    explicitOff.setEnableTracing(false);
    explicitOff.setTracesSampleRate(0.5);
    EXPECT_EQ(explicitOff.tracesSampleRate(), 0.5);
    EXPECT_FALSE(explicitOff.enableTracing());
    EXPECT_FALSE(explicitOff.isTracingEnabled());
}

TEST_F(OptionsTest, EnableTracingFillsInARateOnlyWhenNothingElseSamples) {
    Options bare;
    bare.setEnableTracing(true);
    EXPECT_EQ(bare.tracesSampleRate(), 1.0);
    EXPECT_TRUE(bare.isTracingEnabled());

    Options withRate;
    withRate.setTracesSampleRate(0.25);
    withRate.setEnableTracing(true);
    EXPECT_EQ(withRate.tracesSampleRate(), 0.25);

    Options withSampler;
    withSampler.setTracesSampler([](const SamplingContext&) { return 0.1; });
    withSampler.setEnableTracing(true);
    EXPECT_FALSE(withSampler.tracesSampleRate());
    EXPECT_TRUE(withSampler.isTracingEnabled());

    Options off;
    off.setTracesSampleRate(0.5);
    off.setEnableTracing(false);
    EXPECT_FALSE(off.isTracingEnabled());
}

TEST_F(OptionsTest, TracesSamplerSwitchesTracingOnUnlessSetExplicitly) {
    Options options;
    options.setTracesSampler([](const SamplingContext&) { return std::nullopt; });
    EXPECT_TRUE(options.enableTracing());
    EXPECT_TRUE(options.isTracingEnabled());

    Options explicitOff;
    explicitOff.setEnableTracing(false);
    explicitOff.setTracesSampler([](const SamplingContext&) { return 1.0; });
    EXPECT_FALSE(explicitOff.enableTracing());

    Options empty;
    empty.setTracesSampler(nullptr);
    EXPECT_FALSE(empty.enableTracing());
}

TEST_F(OptionsTest, ProfilingSwitches) {
    Options options;
    options.setProfilesSampleRate(2.0);
    EXPECT_EQ(options.profilesSampleRate(), 0.0);
    EXPECT_FALSE(options.isProfilingEnabled());
    // A rate that is set, even to 0, turns continuous profiling off.
    EXPECT_FALSE(options.isContinuousProfilingEnabled());

    options.setProfilesSampleRate(0.4);
    EXPECT_EQ(options.profilesSampleRate(), 0.4);
    EXPECT_TRUE(options.isProfilingEnabled());

    Options sampler;
    sampler.profilesSampler = [](const SamplingContext&) { return 0.0; };
    EXPECT_TRUE(sampler.isProfilingEnabled());
    EXPECT_FALSE(sampler.isContinuousProfilingEnabled());

    Options legacy;
    legacy.enableProfiling = true;
    EXPECT_TRUE(legacy.isProfilingEnabled());
    EXPECT_FALSE(legacy.isContinuousProfilingEnabled());
}

// --- Setters that log ----------------------------------------------------------

TEST_F(OptionsTest, SettingIntegrationsWarnsAndStores) {
    test::LogCapture log(Level::Debug);
    Options options;
    EXPECT_TRUE(log.lines().empty());
    options.setIntegrations({"SkaldCrashIntegration"});
    EXPECT_EQ(options.integrations(), std::vector<std::string>{"SkaldCrashIntegration"});
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_TRUE(log.lines()[0].starts_with("[Skald] [warning] "));
    EXPECT_TRUE(log.contains(kIntegrationsWarning));
}

TEST_F(OptionsTest, UnsupportedTargetsAreKeptAndReportedOnceEach) {
    test::LogCapture log(Level::Debug);
    Options options;
    options.setTracePropagationTargets({"example.com", UrlTarget::other("42"),
                                        *RegularExpression::make("api"), UrlTarget::other("{}")});
    ASSERT_EQ(options.tracePropagationTargets().size(), 4u);
    EXPECT_EQ(options.tracePropagationTargets()[1].text(), "42");
    EXPECT_EQ(log.count("Only instances of NSString and NSRegularExpression are supported inside "
                        "tracePropagationTargets."),
              2u);

    options.setFailedRequestTargets({UrlTarget::other("null")});
    EXPECT_EQ(options.failedRequestTargets().size(), 1u);
    EXPECT_EQ(log.count("Only instances of NSString and NSRegularExpression are supported inside "
                        "failedRequestTargets."),
              1u);
    EXPECT_EQ(log.lines().size(), 3u);
}

TEST_F(OptionsTest, SpotlightWarnsOnlyWhenSwitchedOn) {
    test::LogCapture log(Level::Debug);
    Options options;
    options.setEnableSpotlight(false);
    EXPECT_TRUE(log.lines().empty());
    options.setEnableSpotlight(true);
    EXPECT_TRUE(options.enableSpotlight());
    EXPECT_TRUE(log.contains("[warning]"));
    EXPECT_TRUE(
        log.contains("Enabling Spotlight for a release build. We recommend running "
                     "Spotlight only for local development."));
}

TEST_F(OptionsTest, InAppListsGrow) {
    useBundle({{"CFBundleExecutable", "Installer"}});
    Options options;
    options.addInAppInclude("SkaldKit");
    options.addInAppExclude("libfoo");
    options.addInAppExclude("libbar");
    EXPECT_EQ(options.inAppIncludes(), (std::vector<std::string>{"Installer", "SkaldKit"}));
    EXPECT_EQ(options.inAppExcludes(), (std::vector<std::string>{"libfoo", "libbar"}));
}

}  // namespace
}  // namespace skald
