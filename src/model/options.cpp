#include "skald/options.h"

#include <cstdlib>

#include "skald/platform/bundle.h"
#include "skald/platform/paths.h"
#include "skald/dsn.h"
#include "util/log.h"

namespace skald {

namespace {

bool isValidRate(double rate) {
    return rate >= 0.0 && rate <= 1.0;
}

// Each unsupported entry is reported once and kept.
void warnAboutUnsupportedTargets(const std::vector<UrlTarget>& targets, const char* listName) {
    for (const auto& target : targets) {
        if (target.kind() == UrlTarget::Kind::Other) {
            SKALD_LOG_WARNING(
                "Only instances of NSString and NSRegularExpression are supported inside %s.",
                listName);
        }
    }
}

// --- Reading the dictionary form ---------------------------------------------
// A key that is absent or holds the wrong kind leaves the default in place.

const OptionValue* find(const OptionDict& dict, const char* key) {
    const auto it = dict.find(key);
    return it == dict.end() ? nullptr : &it->second;
}

void readBool(const OptionDict& dict, const char* key, bool& target) {
    const auto* value = find(dict, key);
    if (value == nullptr || value->isNull()) return;
    if (const auto reading = value->boolReading()) target = *reading;
}

const std::string* readText(const OptionDict& dict, const char* key) {
    const auto* value = find(dict, key);
    return value ? value->text() : nullptr;
}

std::optional<double> readDouble(const OptionDict& dict, const char* key) {
    const auto* value = find(dict, key);
    return value ? value->doubleValue() : std::nullopt;
}

std::optional<uint32_t> readUInt32(const OptionDict& dict, const char* key) {
    const auto* value = find(dict, key);
    return value ? value->uint32Value() : std::nullopt;
}

const OptionList* readList(const OptionDict& dict, const char* key) {
    const auto* value = find(dict, key);
    return value ? value->list() : nullptr;
}

// An empty std::function is no callback: it never replaces a default.
template <class Callback>
const Callback* readCallback(const OptionDict& dict, const char* key) {
    const auto* value = find(dict, key);
    const auto* callback = value ? value->objectAs<Callback>() : nullptr;
    return callback && *callback ? callback : nullptr;
}

template <class Callback>
void readCallback(const OptionDict& dict, const char* key, Callback& target) {
    if (const auto* callback = readCallback<Callback>(dict, key)) target = *callback;
}

std::vector<std::string> textEntries(const std::vector<OptionValue>& values) {
    std::vector<std::string> texts;
    for (const auto& value : values) {
        if (const auto* text = value.text()) texts.push_back(*text);
    }
    return texts;
}

std::vector<UrlTarget> targetEntries(const OptionList& values) {
    std::vector<UrlTarget> targets;
    targets.reserve(values.size());
    for (const auto& value : values) {
        if (const auto* text = value.text()) {
            targets.emplace_back(*text);
        } else if (const auto* expression = value.regularExpression()) {
            targets.emplace_back(*expression);
        } else {
            targets.push_back(UrlTarget::other(value.description()));
        }
    }
    return targets;
}

// A range object, one status code, or {"min": ..., "max": ...}; anything else
// cannot be a range and is left out.
std::vector<HttpStatusCodeRange> statusCodeRanges(const OptionList& values) {
    std::vector<HttpStatusCodeRange> ranges;
    for (const auto& value : values) {
        if (const auto* range = value.objectAs<HttpStatusCodeRange>()) {
            ranges.push_back(*range);
        } else if (value.kind() == OptionValue::Kind::Integer) {
            ranges.emplace_back(static_cast<int>(*value.doubleValue()));
        } else if (const auto* dict = value.dict()) {
            const auto* min = find(*dict, "min");
            const auto* max = find(*dict, "max");
            if (min && max && min->kind() == OptionValue::Kind::Integer &&
                max->kind() == OptionValue::Kind::Integer) {
                ranges.emplace_back(static_cast<int>(*min->doubleValue()),
                                    static_cast<int>(*max->doubleValue()));
            }
        }
    }
    return ranges;
}

}  // namespace

void ExperimentalOptions::validateOptions(const OptionDict& /*options*/) {}

Options::Options() {
    integrations_ = defaultIntegrations();
    initialScope = [](std::shared_ptr<Scope> scope) { return scope; };
    setTracesSampleRate(std::nullopt);

    if (const char* dsn = std::getenv("SKALD_DSN"); dsn != nullptr && dsn[0] != '\0') {
        setDsn(std::string(dsn));
    }

    const auto bundle = platform::Bundle::main();
    if (bundle && bundle->infoDictionary()) {
        if (auto executable = bundle->infoText("CFBundleExecutable")) {
            inAppIncludes_.push_back(std::move(*executable));
        }
        // A release with a missing part would read "(null)"; leave it unset instead.
        const auto identifier = bundle->infoText("CFBundleIdentifier");
        const auto shortVersion = bundle->infoText("CFBundleShortVersionString");
        const auto build = bundle->infoText("CFBundleVersion");
        if (identifier && shortVersion && build) {
            releaseName = *identifier + "@" + *shortVersion + "+" + *build;
        }
    }

    tracePropagationTargets_ = {UrlTarget::matchAll()};
    failedRequestTargets_ = {UrlTarget::matchAll()};
    cacheDirectoryPath = platform::Paths::cachesDirectory();
}

std::vector<std::string> Options::defaultIntegrations() {
    // MetricKit's stand-in is always present here.
    return {"SkaldCrashIntegration",
            "SkaldANRTrackingIntegration",
            "SkaldAutoBreadcrumbTrackingIntegration",
            "SkaldAutoSessionTrackingIntegration",
            "SkaldCoreDataTrackingIntegration",
            "SkaldFileIOTrackingIntegration",
            "SkaldNetworkTrackingIntegration",
            "SkaldSwiftAsyncIntegration",
            "SkaldMetricKitIntegration"};
}

void Options::setDsn(std::optional<std::string> dsn) {
    Error error;
    parsedDsn = Dsn::make(dsn.value_or(std::string()), &error);
    if (parsedDsn) {
        dsn_ = std::move(dsn);
    } else {
        SKALD_LOG_ERROR("Could not parse the DSN: %s.", error.description().c_str());
    }
}

void Options::setIntegrations(std::vector<std::string> integrations) {
    SKALD_LOG_WARNING(
        "Setting `SkaldOptions.integrations` is deprecated. Integrations should be enabled or "
        "disabled using their respective `SkaldOptions.enable*` property.");
    integrations_ = std::move(integrations);
}

void Options::setSampleRate(std::optional<double> rate) {
    sampleRate_ = !rate || isValidRate(*rate) ? rate : std::optional<double>(1.0);
}

void Options::setTracesSampleRate(std::optional<double> rate) {
    if (!rate) {
        tracesSampleRate_.reset();
    } else if (isValidRate(*rate)) {
        tracesSampleRate_ = rate;
        if (!enableTracingManual_) enableTracing_ = true;
    } else {
        tracesSampleRate_ = 0.0;
    }
}

void Options::setTracesSampler(SamplerCallback sampler) {
    tracesSampler_ = std::move(sampler);
    if (tracesSampler_ && !enableTracingManual_) enableTracing_ = true;
}

void Options::setEnableTracing(bool enable) {
    enableTracing_ = enable;
    if (enable && !tracesSampleRate_ && !tracesSampler_) tracesSampleRate_ = 1.0;
    enableTracingManual_ = true;
}

bool Options::isTracingEnabled() const {
    return enableTracing_ && ((tracesSampleRate_ && *tracesSampleRate_ > 0) || tracesSampler_);
}

void Options::setProfilesSampleRate(std::optional<double> rate) {
    profilesSampleRate_ = !rate || isValidRate(*rate) ? rate : std::optional<double>(0.0);
}

bool Options::isProfilingEnabled() const {
    return (profilesSampleRate_ && *profilesSampleRate_ > 0) || profilesSampler || enableProfiling;
}

bool Options::isContinuousProfilingEnabled() const {
    return !profilesSampleRate_ && !profilesSampler && !enableProfiling;
}

void Options::addInAppInclude(const std::string& prefix) {
    inAppIncludes_.push_back(prefix);
}

void Options::addInAppExclude(const std::string& prefix) {
    inAppExcludes_.push_back(prefix);
}

void Options::setTracePropagationTargets(std::vector<UrlTarget> targets) {
    warnAboutUnsupportedTargets(targets, "tracePropagationTargets");
    tracePropagationTargets_ = std::move(targets);
}

void Options::setFailedRequestTargets(std::vector<UrlTarget> targets) {
    warnAboutUnsupportedTargets(targets, "failedRequestTargets");
    failedRequestTargets_ = std::move(targets);
}

void Options::setEnableSpotlight(bool enable) {
    enableSpotlight_ = enable;
    if (enable) {
        SKALD_LOG_WARNING(
            "Enabling Spotlight for a release build. We recommend running Spotlight only for "
            "local development.");
    }
}

std::shared_ptr<Options> Options::fromDict(const OptionDict& dict, Error* error) {
    auto options = std::make_shared<Options>();
    Options& o = *options;

    readBool(dict, "debug", o.debug);
    if (const auto* name = readText(dict, "diagnosticLevel")) {
        for (uint64_t raw = 0; const auto level = levelFromRaw(raw); ++raw) {
            if (*name == nameForLevel(*level)) {
                o.diagnosticLevel = *level;
                break;
            }
        }
    }

    const auto* dsn = find(dict, "dsn");
    if (dsn == nullptr || !dsn->isNull()) {
        Error dsnError;
        const auto* text = dsn ? dsn->text() : nullptr;
        o.parsedDsn = Dsn::make(text ? *text : std::string(), &dsnError);
        if (!o.parsedDsn) {
            if (error != nullptr) {
                *error = dsnError;
                SKALD_LOG_ERROR("Failed to initialize SkaldOptions: %s",
                                dsnError.description().c_str());
            } else {
                SKALD_LOG_ERROR("Failed to initialize SkaldOptions");
            }
            return nullptr;
        }
    }

    if (const auto* text = readText(dict, "release")) o.releaseName = *text;
    if (const auto* text = readText(dict, "environment")) o.environment = *text;
    if (const auto* text = readText(dict, "dist")) o.dist = *text;
    readBool(dict, "enabled", o.enabled);
    if (const auto value = readDouble(dict, "shutdownTimeInterval")) {
        o.shutdownTimeInterval = *value;
    }
    readBool(dict, "enableCrashHandler", o.enableCrashHandler);
    readBool(dict, "enableSigtermReporting", o.enableSigtermReporting);
    if (const auto value = readUInt32(dict, "maxBreadcrumbs")) o.maxBreadcrumbs = *value;
    readBool(dict, "enableNetworkBreadcrumbs", o.enableNetworkBreadcrumbs);
    if (const auto value = readUInt32(dict, "maxCacheItems")) o.maxCacheItems = *value;
    if (const auto* text = readText(dict, "cacheDirectoryPath")) o.cacheDirectoryPath = *text;

    readCallback(dict, "beforeSend", o.beforeSend);
    readCallback(dict, "beforeSendSpan", o.beforeSendSpan);
    readCallback(dict, "beforeBreadcrumb", o.beforeBreadcrumb);
    readCallback(dict, "beforeCaptureScreenshot", o.beforeCaptureScreenshot);
    readCallback(dict, "beforeCaptureViewHierarchy", o.beforeCaptureViewHierarchy);
    readCallback(dict, "onCrashedLastRun", o.onCrashedLastRun);

    if (const auto* list = readList(dict, "integrations")) o.setIntegrations(textEntries(*list));
    if (const auto value = readDouble(dict, "sampleRate")) o.setSampleRate(*value);

    readBool(dict, "enableAutoSessionTracking", o.enableAutoSessionTracking);
    readBool(dict, "enableGraphQLOperationTracking", o.enableGraphQLOperationTracking);
    readBool(dict, "enableWatchdogTerminationTracking", o.enableWatchdogTerminationTracking);
    readBool(dict, "swiftAsyncStacktraces", o.swiftAsyncStacktraces);
    if (const auto value = readUInt32(dict, "sessionTrackingIntervalMillis")) {
        o.sessionTrackingIntervalMillis = *value;
    }
    readBool(dict, "attachStacktrace", o.attachStacktrace);
    if (const auto value = readUInt32(dict, "maxAttachmentSize")) o.maxAttachmentSize = *value;
    readBool(dict, "sendDefaultPii", o.sendDefaultPii);
    readBool(dict, "enableAutoPerformanceTracing", o.enableAutoPerformanceTracing);
    readBool(dict, "enablePerformanceV2", o.enablePerformanceV2);
    readBool(dict, "enableCaptureFailedRequests", o.enableCaptureFailedRequests);
    readBool(dict, "enableTimeToFullDisplayTracing", o.enableTimeToFullDisplayTracing);
    readCallback(dict, "initialScope", o.initialScope);
    readBool(dict, "enableAppHangTracking", o.enableAppHangTracking);
    if (const auto value = readDouble(dict, "appHangTimeoutInterval")) {
        o.appHangTimeoutInterval = *value;
    }
    readBool(dict, "enableAppHangTrackingV2", o.enableAppHangTrackingV2);
    readBool(dict, "enableNetworkTracking", o.enableNetworkTracking);
    readBool(dict, "enableFileIOTracing", o.enableFileIOTracing);

    if (const auto value = readDouble(dict, "tracesSampleRate")) o.setTracesSampleRate(*value);
    if (const auto* sampler = readCallback<SamplerCallback>(dict, "tracesSampler")) {
        o.setTracesSampler(*sampler);
    }
    if (const auto* value = find(dict, "enableTracing"); value && value->isNumber()) {
        o.setEnableTracing(value->boolReading().value_or(false));
    }

    if (const auto* list = readList(dict, "inAppIncludes")) {
        for (const auto& text : textEntries(*list)) o.addInAppInclude(text);
    }
    if (const auto* list = readList(dict, "inAppExcludes")) o.inAppExcludes_ = textEntries(*list);

    if (const auto* value = find(dict, "urlSession")) {
        if (const auto* session = value->objectAs<std::shared_ptr<platform::UrlSession>>()) {
            o.urlSession = *session;
        }
    }
    if (const auto* value = find(dict, "urlSessionDelegate")) {
        if (const auto* delegate =
                value->objectAs<std::shared_ptr<platform::UrlSessionDelegate>>()) {
            o.urlSessionDelegate = *delegate;
        } else if (const auto* weak =
                       value->objectAs<std::weak_ptr<platform::UrlSessionDelegate>>()) {
            o.urlSessionDelegate = *weak;
        }
    }

    readBool(dict, "enableSwizzling", o.enableSwizzling);
    if (const auto* value = find(dict, "swizzleClassNameExcludes")) {
        if (const auto* set = value->set()) {
            const auto texts = textEntries(set->members);
            o.swizzleClassNameExcludes = std::set<std::string>(texts.begin(), texts.end());
        }
    }
    readBool(dict, "enableCoreDataTracing", o.enableCoreDataTracing);

    if (const auto value = readDouble(dict, "profilesSampleRate")) o.setProfilesSampleRate(*value);
    readCallback(dict, "profilesSampler", o.profilesSampler);
    readBool(dict, "enableProfiling", o.enableProfiling);
    readBool(dict, "enableAppLaunchProfiling", o.enableAppLaunchProfiling);
    readBool(dict, "sendClientReports", o.sendClientReports);
    readBool(dict, "enableAutoBreadcrumbTracking", o.enableAutoBreadcrumbTracking);

    if (const auto* list = readList(dict, "tracePropagationTargets")) {
        o.setTracePropagationTargets(targetEntries(*list));
    }
    if (const auto* list = readList(dict, "failedRequestStatusCodes")) {
        o.failedRequestStatusCodes = statusCodeRanges(*list);
    }
    if (const auto* list = readList(dict, "failedRequestTargets")) {
        o.setFailedRequestTargets(targetEntries(*list));
    }

    readBool(dict, "enableMetricKit", o.enableMetricKit);
    readBool(dict, "enableMetricKitRawPayload", o.enableMetricKitRawPayload);
    if (const auto value = readDouble(dict, "cpuExceptionBudget"); value && *value >= 0) {
        o.cpuExceptionBudget = *value;
    }
    if (const auto value = readDouble(dict, "cpuExceptionWindow"); value && *value > 0) {
        o.cpuExceptionWindow = *value;
    }
    if (const auto value = readDouble(dict, "diskWriteBudgetPerDay");
        value && *value >= 0 && *value < 1.8e19) {
        o.diskWriteBudgetPerDay = static_cast<uint64_t>(*value);
    }
    // Stored directly, without the setter's warning.
    readBool(dict, "enableSpotlight", o.enableSpotlight_);
    if (const auto* text = readText(dict, "spotlightUrl")) o.spotlightUrl = *text;
    readBool(dict, "enableMetrics", o.enableMetrics);
    readBool(dict, "enableDefaultTagsForMetrics", o.enableDefaultTagsForMetrics);
    readBool(dict, "enableSpanLocalMetricAggregation", o.enableSpanLocalMetricAggregation);
    readCallback(dict, "beforeEmitMetric", o.beforeEmitMetric);

    if (const auto* value = find(dict, "experimental")) {
        if (const auto* experimental = value->dict())
            o.experimental_.validateOptions(*experimental);
    }
    return options;
}

}  // namespace skald
