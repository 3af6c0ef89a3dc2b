#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "skald/error.h"
#include "skald/http_status_code_range.h"
#include "skald/level.h"
#include "skald/option_value.h"
#include "skald/url_target.h"

namespace skald {

namespace platform {
class UrlSession;
class UrlSessionDelegate;
}  // namespace platform

class Breadcrumb;
class Dsn;
class Event;
class SamplingContext;
class Scope;
class Span;

/// Returns the event to send, possibly changed, or null to drop it.
using BeforeSendCallback = std::function<std::shared_ptr<Event>(std::shared_ptr<Event>)>;
/// Returns the span to keep, possibly changed, or null to drop it.
using BeforeSendSpanCallback = std::function<std::shared_ptr<Span>(std::shared_ptr<Span>)>;
/// Returns the breadcrumb to record, possibly changed, or null to drop it.
using BeforeBreadcrumbCallback =
    std::function<std::shared_ptr<Breadcrumb>(std::shared_ptr<Breadcrumb>)>;
/// Whether to attach a screenshot or view hierarchy to the event.
using BeforeCaptureCallback = std::function<bool(const std::shared_ptr<Event>&)>;
using BeforeCaptureScreenshotCallback = BeforeCaptureCallback;
using BeforeCaptureViewHierarchyCallback = BeforeCaptureCallback;
/// Receives the event of the crash that ended the previous run.
using OnCrashedLastRunCallback = std::function<void(const std::shared_ptr<Event>&)>;
/// A sample rate for the context, or nothing to fall back to the fixed rate.
using SamplerCallback = std::function<std::optional<double>(const SamplingContext&)>;
using TracesSamplerCallback = SamplerCallback;
using ProfilesSamplerCallback = SamplerCallback;
/// Whether to emit the metric with this key and tags.
using BeforeEmitMetricCallback =
    std::function<bool(const std::string& key, const std::map<std::string, std::string>& tags)>;
/// Adjusts the scope the SDK starts with.
using InitialScopeCallback = std::function<std::shared_ptr<Scope>(std::shared_ptr<Scope>)>;

/// Options still being tried out. None exists on this platform.
class ExperimentalOptions {
  public:
    /// Takes the options it knows from `options`; it knows none.
    void validateOptions(const OptionDict& options);
};

/// The SDK's whole configuration. Built with defaults, adjusted by the host
/// before start and read by the rest of the SDK afterwards; it does no
/// locking of its own.
class Options {
  public:
    Options();

    /// The defaults, then the keys of `dict`. Null (and `*error` set, when
    /// given) when its "dsn" is missing or does not parse.
    static std::shared_ptr<Options> fromDict(const OptionDict& dict, Error* error = nullptr);

    /// The names of the integrations installed by default, in install order.
    static std::vector<std::string> defaultIntegrations();

    // --- DSN --------------------------------------------------------------
    const std::optional<std::string>& dsn() const { return dsn_; }
    /// Parses the text into `parsedDsn`. The text is kept only when it
    /// parses; otherwise `dsn` keeps its previous value and an error is logged.
    void setDsn(std::optional<std::string> dsn);
    std::shared_ptr<Dsn> parsedDsn;

    // --- Diagnostics and identity -------------------------------------------
    bool debug = false;
    Level diagnosticLevel = Level::Debug;
    std::optional<std::string> releaseName;
    std::optional<std::string> dist;
    std::string environment = "production";
    bool enabled = true;
    /// Seconds.
    double shutdownTimeInterval = 2.0;

    // --- Events and crashes ---------------------------------------------------
    bool enableCrashHandler = true;
    bool enableSigtermReporting = false;
    std::size_t maxBreadcrumbs = 100;
    bool enableNetworkBreadcrumbs = true;
    std::size_t maxCacheItems = 30;
    BeforeSendCallback beforeSend;
    BeforeSendSpanCallback beforeSendSpan;
    BeforeBreadcrumbCallback beforeBreadcrumb;
    BeforeCaptureCallback beforeCaptureScreenshot;
    BeforeCaptureCallback beforeCaptureViewHierarchy;
    OnCrashedLastRunCallback onCrashedLastRun;

    const std::vector<std::string>& integrations() const { return integrations_; }
    /// Deprecated: logs a warning, then stores the list.
    void setIntegrations(std::vector<std::string> integrations);

    const std::optional<double>& sampleRate() const { return sampleRate_; }
    /// Nothing, or a rate in [0, 1]; any other rate becomes 1.
    void setSampleRate(std::optional<double> rate);

    bool enableAutoSessionTracking = true;
    bool enableGraphQLOperationTracking = false;
    bool enableWatchdogTerminationTracking = true;
    uint64_t sessionTrackingIntervalMillis = 30000;
    bool attachStacktrace = true;
    /// Bytes.
    std::size_t maxAttachmentSize = 20 * 1024 * 1024;
    bool sendDefaultPii = false;
    bool enableAutoPerformanceTracing = true;
    bool enablePerformanceV2 = false;
    InitialScopeCallback initialScope;
    bool enableNetworkTracking = true;
    bool enableFileIOTracing = true;

    // --- Tracing ----------------------------------------------------------------
    bool enableTracing() const { return enableTracing_; }
    /// Stores the switch and marks it as set explicitly; switching it on
    /// without a rate or sampler sets the traces rate to 1.
    void setEnableTracing(bool enable);

    const std::optional<double>& tracesSampleRate() const { return tracesSampleRate_; }
    /// Nothing, or a rate in [0, 1] (which switches tracing on unless the
    /// switch was set explicitly); any other rate becomes 0.
    void setTracesSampleRate(std::optional<double> rate);

    const SamplerCallback& tracesSampler() const { return tracesSampler_; }
    /// A sampler switches tracing on unless the switch was set explicitly.
    void setTracesSampler(SamplerCallback sampler);

    /// The switch is on and a positive traces rate or a sampler is set.
    bool isTracingEnabled() const;

    // --- In-app frames ------------------------------------------------------------
    const std::vector<std::string>& inAppIncludes() const { return inAppIncludes_; }
    void addInAppInclude(const std::string& prefix);
    const std::vector<std::string>& inAppExcludes() const { return inAppExcludes_; }
    void addInAppExclude(const std::string& prefix);

    // --- Network ------------------------------------------------------------------
    std::weak_ptr<platform::UrlSessionDelegate> urlSessionDelegate;
    std::shared_ptr<platform::UrlSession> urlSession;
    bool enableSwizzling = true;
    std::set<std::string> swizzleClassNameExcludes;
    bool enableCoreDataTracing = true;

    // --- Profiling ----------------------------------------------------------------
    bool enableAppLaunchProfiling = false;
    const std::optional<double>& profilesSampleRate() const { return profilesSampleRate_; }
    /// Nothing, or a rate in [0, 1]; any other rate becomes 0.
    void setProfilesSampleRate(std::optional<double> rate);
    SamplerCallback profilesSampler;
    bool enableProfiling = false;
    /// A positive profiles rate, a sampler, or the switch.
    bool isProfilingEnabled() const;
    /// Neither a profiles rate nor a sampler is set and the switch is off.
    bool isContinuousProfilingEnabled() const;

    bool sendClientReports = true;
    bool enableAppHangTracking = true;
    /// Seconds.
    double appHangTimeoutInterval = 2.0;
    bool enableAppHangTrackingV2 = false;
    bool enableAutoBreadcrumbTracking = true;

    const std::vector<UrlTarget>& tracePropagationTargets() const {
        return tracePropagationTargets_;
    }
    /// Stores the list; each unsupported entry is kept and logged.
    void setTracePropagationTargets(std::vector<UrlTarget> targets);

    bool enableCaptureFailedRequests = true;
    std::vector<HttpStatusCodeRange> failedRequestStatusCodes{HttpStatusCodeRange(500, 599)};

    const std::vector<UrlTarget>& failedRequestTargets() const { return failedRequestTargets_; }
    /// Stores the list; each unsupported entry is kept and logged.
    void setFailedRequestTargets(std::vector<UrlTarget> targets);

    bool enableMetricKit = false;
    bool enableMetricKitRawPayload = false;
    /// With `enableMetricKit`, the SDK watches its own process: a CPU exception
    /// when it uses more than this share of one core (0.8 for 80 %) over
    /// `cpuExceptionWindow` seconds. 0 (the default) watches no CPU.
    double cpuExceptionBudget = 0;
    double cpuExceptionWindow = 60;
    /// With `enableMetricKit`: a disk-write exception when the process writes
    /// more than this many bytes to storage in a day. 0 (the default) is off.
    uint64_t diskWriteBudgetPerDay = 0;
    bool enableTimeToFullDisplayTracing = false;
    bool swiftAsyncStacktraces = false;
    std::string cacheDirectoryPath;

    // --- Spotlight and metrics ------------------------------------------------------
    bool enableSpotlight() const { return enableSpotlight_; }
    /// Warns when switched on: it is meant for local development.
    void setEnableSpotlight(bool enable);
    std::string spotlightUrl = "http://localhost:8969/stream";
    bool enableMetrics = false;
    bool enableDefaultTagsForMetrics = true;
    bool enableSpanLocalMetricAggregation = true;
    BeforeEmitMetricCallback beforeEmitMetric;

    ExperimentalOptions& experimental() { return experimental_; }
    const ExperimentalOptions& experimental() const { return experimental_; }

  private:
    std::optional<std::string> dsn_;
    std::vector<std::string> integrations_;
    std::optional<double> sampleRate_ = 1.0;
    bool enableTracing_ = false;
    // Whether enableTracing was set explicitly; rates and samplers then leave it alone.
    bool enableTracingManual_ = false;
    std::optional<double> tracesSampleRate_;
    SamplerCallback tracesSampler_;
    std::vector<std::string> inAppIncludes_;
    std::vector<std::string> inAppExcludes_;
    std::optional<double> profilesSampleRate_;
    std::vector<UrlTarget> tracePropagationTargets_;
    std::vector<UrlTarget> failedRequestTargets_;
    bool enableSpotlight_ = false;
    ExperimentalOptions experimental_;
};

}  // namespace skald
