#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "skald/baggage.h"
#include "skald/platform/url_session.h"
#include "skald/span_status.h"
#include "skald/trace_header.h"
#include "skald/url_target.h"

namespace skald {

class Options;

/// What request tracking reads of one request and may change before it is
/// sent: a URL session's task, or a request a host runs itself.
class TrackedRequest {
  public:
    using AssociatedObjects = platform::UrlSessionTask::AssociatedObjects;

    virtual ~TrackedRequest() = default;
    virtual bool isSupported() const { return true; }
    virtual platform::UrlSessionTaskState state() const = 0;
    virtual platform::UrlRequest currentRequest() const = 0;
    /// What is sent instead, when it is not sent yet.
    virtual void setCurrentRequest(platform::UrlRequest request) = 0;
    virtual std::optional<platform::HttpResponse> response() const = 0;
    virtual std::optional<Error> error() const = 0;
    virtual int64_t countOfBytesSent() const = 0;
    virtual int64_t countOfBytesReceived() const = 0;
    /// Tracking's own values kept with the request, under its lock.
    virtual void withAssociatedObjects(const std::function<void(AssociatedObjects&)>& block) = 0;
};

/// Follows every task of every URL session of the process: an "http.client"
/// span under the span bound to the scope, trace headers on requests to the
/// propagation targets, an "http" breadcrumb, and an error event for
/// responses in the failed-request ranges. Requests to the error-tracking
/// service itself are never touched.
class NetworkTracker : public platform::UrlSessionTaskObserver,
                       public std::enable_shared_from_this<NetworkTracker> {
  public:
    static constexpr const char* kSpanKey = "SKALD_NETWORK_REQUEST_TRACKER_SPAN";
    static constexpr const char* kStartDateKey = "SKALD_NETWORK_REQUEST_START_DATE";
    static constexpr const char* kBreadcrumbKey = "SKALD_NETWORK_REQUEST_TRACKER_BREADCRUMB";

    static std::shared_ptr<NetworkTracker> shared();

    void enableNetworkTracking();
    void enableNetworkBreadcrumbs();
    void enableCaptureFailedRequests();
    void enableGraphQLOperationTracking();
    /// Everything off; the observer stays registered and does nothing.
    void disable();
    bool isNetworkTrackingEnabled() const;
    bool isNetworkBreadcrumbEnabled() const;
    bool isCaptureFailedRequestsEnabled() const;
    bool isGraphQLOperationTrackingEnabled() const;

    /// Registers with every URL session of the process, once.
    void install();

    void willResume(platform::UrlSessionTask& task) override;
    void willChangeState(platform::UrlSessionTask& task,
                         platform::UrlSessionTaskState newState) override;
    /// The same for any request: before it starts, and before its state
    /// becomes `newState`.
    void requestWillStart(TrackedRequest& request);
    void requestWillChangeState(TrackedRequest& request, platform::UrlSessionTaskState newState);

    /// Adds "skald-trace" (when the request has none) and "baggage" (merged
    /// with the request's own entries, unless they carry a trace already) to
    /// a request whose URL matches `tracePropagationTargets`. False when the
    /// request was left alone.
    static bool addTraceHeaders(platform::UrlRequest& request,
                                const std::optional<Baggage>& baggage,
                                const TraceHeader& traceHeader, const Options& options);
    /// The trace headers of the scope's propagation context, for requests
    /// made without a transaction. False when the request was left alone.
    static bool addTraceWithoutTransaction(platform::UrlRequest& request, const Options& options);

    static SpanStatus spanStatusForHttpResponseStatusCode(int statusCode);
    static bool isTargetMatch(const std::string& url, const std::vector<UrlTarget>& targets);
    /// The request goes to the error-tracking service of the DSN.
    static bool isOwnServiceRequest(const std::string& url, const Options& options);
    /// "operationName" of a JSON GraphQL request body.
    static std::optional<std::string> graphQLOperationName(const platform::UrlRequest& request);

  private:
    SpanStatus statusForTask(const TrackedRequest& task,
                             platform::UrlSessionTaskState newState) const;
    void addBreadcrumb(TrackedRequest& task, const platform::UrlRequest& request);
    void captureFailedRequest(const TrackedRequest& task, const platform::UrlRequest& request);

    mutable std::mutex mutex_;
    bool networkTracking_ = false;
    bool networkBreadcrumbs_ = false;
    bool captureFailedRequests_ = false;
    bool graphQLOperationTracking_ = false;
    std::once_flag installed_;
};

}  // namespace skald
