#include "integrations/network_tracker.h"

#include "core/client.h"
#include "core/thread_inspector.h"
#include "core/tracing/auto_span.h"
#include "core/tracing/no_op_span.h"
#include "core/tracing/tracer.h"
#include "platform/net/http_status_text.h"
#include "skald/breadcrumb.h"
#include "skald/dsn.h"
#include "skald/event.h"
#include "skald/exception.h"
#include "skald/hub.h"
#include "skald/mechanism.h"
#include "skald/options.h"
#include "skald/request.h"
#include "skald/scope.h"
#include "skald/sdk.h"
#include "skald/stacktrace.h"
#include "skald/thread.h"
#include "skald/url.h"
#include "util/current_date_provider.h"
#include "util/iso8601.h"
#include "util/json_bytes.h"
#include "util/log.h"
#include "util/url_sanitized.h"

namespace skald {

namespace {

using platform::UrlSessionTask;
using platform::UrlSessionTaskState;

constexpr const char* kTraceHeaderName = "skald-trace";
constexpr const char* kBaggageHeaderName = "baggage";

/// A URL session's task as a tracked request.
class TaskRequest final : public TrackedRequest {
  public:
    explicit TaskRequest(UrlSessionTask& task) : task_(task) {}
    bool isSupported() const override {
        // Data (and upload, which is a data task with a body) and download tasks.
        return task_.kind() == UrlSessionTask::Kind::Data ||
               task_.kind() == UrlSessionTask::Kind::Download;
    }
    UrlSessionTaskState state() const override { return task_.state(); }
    platform::UrlRequest currentRequest() const override { return task_.currentRequest(); }
    void setCurrentRequest(platform::UrlRequest request) override {
        task_.setCurrentRequest(std::move(request));
    }
    std::optional<platform::HttpResponse> response() const override { return task_.response(); }
    std::optional<Error> error() const override { return task_.error(); }
    int64_t countOfBytesSent() const override { return task_.countOfBytesSent(); }
    int64_t countOfBytesReceived() const override { return task_.countOfBytesReceived(); }
    void withAssociatedObjects(const std::function<void(AssociatedObjects&)>& block) override {
        task_.withAssociatedObjects(block);
    }

  private:
    UrlSessionTask& task_;
};

std::shared_ptr<Options> currentOptions() {
    auto client = SDK::currentHub()->getClient();
    return client ? client->options() : nullptr;
}

std::map<std::string, std::string> plainHeaders(const platform::HttpHeaders& headers) {
    return {headers.begin(), headers.end()};
}

Json headersJson(const std::map<std::string, std::string>& headers) {
    Json json = Json::object();
    for (const auto& [name, value] : headers) json[name] = value;
    return json;
}

}  // namespace

std::shared_ptr<NetworkTracker> NetworkTracker::shared() {
    // Never destroyed: URL sessions may still end tasks while the process exits.
    static auto* tracker = new std::shared_ptr<NetworkTracker>(std::make_shared<NetworkTracker>());
    return *tracker;
}

void NetworkTracker::enableNetworkTracking() {
    std::lock_guard guard(mutex_);
    networkTracking_ = true;
}
void NetworkTracker::enableNetworkBreadcrumbs() {
    std::lock_guard guard(mutex_);
    networkBreadcrumbs_ = true;
}
void NetworkTracker::enableCaptureFailedRequests() {
    std::lock_guard guard(mutex_);
    captureFailedRequests_ = true;
}
void NetworkTracker::enableGraphQLOperationTracking() {
    std::lock_guard guard(mutex_);
    graphQLOperationTracking_ = true;
}
void NetworkTracker::disable() {
    std::lock_guard guard(mutex_);
    networkTracking_ = networkBreadcrumbs_ = captureFailedRequests_ = graphQLOperationTracking_ =
        false;
}
bool NetworkTracker::isNetworkTrackingEnabled() const {
    std::lock_guard guard(mutex_);
    return networkTracking_;
}
bool NetworkTracker::isNetworkBreadcrumbEnabled() const {
    std::lock_guard guard(mutex_);
    return networkBreadcrumbs_;
}
bool NetworkTracker::isCaptureFailedRequestsEnabled() const {
    std::lock_guard guard(mutex_);
    return captureFailedRequests_;
}
bool NetworkTracker::isGraphQLOperationTrackingEnabled() const {
    std::lock_guard guard(mutex_);
    return graphQLOperationTracking_;
}

void NetworkTracker::install() {
    std::call_once(installed_,
                   [this] { platform::UrlSessionTaskObservers::add(shared_from_this()); });
}

bool NetworkTracker::isTargetMatch(const std::string& url, const std::vector<UrlTarget>& targets) {
    for (const auto& target : targets) {
        if (target.matches(url)) return true;
    }
    return false;
}

bool NetworkTracker::isOwnServiceRequest(const std::string& url, const Options& options) {
    if (!options.parsedDsn) return false;
    const auto request = Url::parse(url);
    const Url& dsn = options.parsedDsn->url();
    if (!request || !request->host() || !dsn.host()) return false;
    return *request->host() == *dsn.host() && request->path().find(dsn.path()) != std::string::npos;
}

std::optional<std::string> NetworkTracker::graphQLOperationName(
    const platform::UrlRequest& request) {
    if (request.valueForHeader("Content-Type") != "application/json") return std::nullopt;
    const auto body = parseJsonBytes(request.httpBody);
    if (!body || !body->is_object()) return std::nullopt;
    const auto name = body->find("operationName");
    if (name == body->end() || !name->is_string()) return std::nullopt;
    return name->get<std::string>();
}

SpanStatus NetworkTracker::spanStatusForHttpResponseStatusCode(int code) {
    if (code >= 200 && code < 300) return SpanStatus::Ok;
    switch (code) {
        case 400:
            return SpanStatus::InvalidArgument;
        case 401:
            return SpanStatus::Unauthenticated;
        case 403:
            return SpanStatus::PermissionDenied;
        case 404:
            return SpanStatus::NotFound;
        case 409:
            return SpanStatus::Aborted;
        case 429:
            return SpanStatus::ResourceExhausted;
        case 500:
            return SpanStatus::InternalError;
        case 501:
            return SpanStatus::Unimplemented;
        case 503:
            return SpanStatus::Unavailable;
        case 504:
            return SpanStatus::DeadlineExceeded;
        default:
            return SpanStatus::Undefined;
    }
}

// --- Trace headers --------------------------------------------------------------

bool NetworkTracker::addTraceHeaders(platform::UrlRequest& request,
                                     const std::optional<Baggage>& baggage,
                                     const TraceHeader& traceHeader, const Options& options) {
    if (!isTargetMatch(request.url, options.tracePropagationTargets())) {
        SKALD_LOG_DEBUG("Not adding trace_id and baggage headers for %s", request.url.c_str());
        return false;
    }
    std::string baggageText;
    if (baggage) {
        const auto existing =
            BaggageSerialization::decode(request.valueForHeader(kBaggageHeaderName).value_or(""));
        // A request that carries a trace of its own keeps it.
        if (!existing.count("skald-trace_id")) baggageText = baggage->toHTTPHeader(existing);
    }
    if (!request.valueForHeader(kTraceHeaderName))
        request.setValueForHeader(traceHeader.value(), kTraceHeaderName);
    if (!baggageText.empty()) request.setValueForHeader(baggageText, kBaggageHeaderName);
    return true;
}

bool NetworkTracker::addTraceWithoutTransaction(platform::UrlRequest& request,
                                                const Options& options) {
    auto scope = SDK::currentHub()->scope();
    const PropagationContext& propagation = scope->propagationContext();
    std::optional<Baggage> baggage;
    if (auto context = Tracer::makePropagationTraceContext(*scope, options))
        baggage = context->toBaggage();
    return addTraceHeaders(
        request, baggage,
        TraceHeader(propagation.traceId(), propagation.spanId(), SampleDecision::No), options);
}

// --- The task hooks --------------------------------------------------------------

void NetworkTracker::willResume(UrlSessionTask& task) {
    TaskRequest request(task);
    requestWillStart(request);
}

void NetworkTracker::willChangeState(UrlSessionTask& task, UrlSessionTaskState newState) {
    TaskRequest request(task);
    requestWillChangeState(request, newState);
}

void NetworkTracker::requestWillStart(TrackedRequest& task) {
    const auto state = task.state();
    if (state == UrlSessionTaskState::Canceling || state == UrlSessionTaskState::Completed) return;
    if (!task.isSupported()) return;
    const auto options = currentOptions();
    if (!options) return;
    platform::UrlRequest request = task.currentRequest();
    if (request.url.empty() || isOwnServiceRequest(request.url, *options)) return;

    bool tracking;
    {
        std::lock_guard guard(mutex_);
        // Uninstalled: the observer stays registered but touches nothing.
        if (!networkTracking_ && !networkBreadcrumbs_ && !captureFailedRequests_) return;
        if (networkBreadcrumbs_) {
            task.withAssociatedObjects([](TrackedRequest::AssociatedObjects& objects) {
                objects[kStartDateKey] = std::make_shared<Date>(currentDate());
            });
        }
        tracking = networkTracking_;
    }
    // The request (and its body) is handed back only when headers were added.
    if (!tracking) {
        if (addTraceWithoutTransaction(request, *options))
            task.setCurrentRequest(std::move(request));
        return;
    }

    const UrlSanitized url(request.url);
    std::shared_ptr<Span> child;
    bool alreadyTracked = false;
    task.withAssociatedObjects([&](TrackedRequest::AssociatedObjects& objects) {
        // A task resumed again keeps its first span.
        if (objects.count(kSpanKey)) {
            alreadyTracked = true;
            return;
        }
        auto span = startAutoChild("http.client",
                                   request.httpMethod + " " + url.sanitizedUrl().value_or(""),
                                   "auto.http.ns_url_session");
        if (!span) return;
        span->setData("http.request.method", request.httpMethod);
        if (url.sanitizedUrl()) span->setData("url", *url.sanitizedUrl());
        span->setData("type", "fetch");
        if (!url.queryItems().empty() && url.query()) span->setData("http.query", *url.query());
        if (url.fragment()) span->setData("http.fragment", *url.fragment());
        objects[kSpanKey] = span;
        child = span;
    });
    if (alreadyTracked) return;

    if (child && child != NoOpSpan::shared()) {
        std::optional<Baggage> baggage;
        if (auto tracer = Tracer::getTracer(child)) {
            if (auto context = tracer->traceContext()) baggage = context->toBaggage();
        }
        SKALD_LOG_DEBUG("SkaldNetworkTracker automatically started HTTP span for sessionTask: %s",
                        request.url.c_str());
        if (addTraceHeaders(request, baggage, child->toTraceHeader(), *options))
            task.setCurrentRequest(std::move(request));
    } else {
        SKALD_LOG_DEBUG("No transaction bound to scope. Won't track network operation.");
        if (addTraceWithoutTransaction(request, *options))
            task.setCurrentRequest(std::move(request));
    }
}

void NetworkTracker::requestWillChangeState(TrackedRequest& task, UrlSessionTaskState newState) {
    {
        std::lock_guard guard(mutex_);
        if (!networkTracking_ && !networkBreadcrumbs_ && !captureFailedRequests_) return;
    }
    if (!task.isSupported() || newState == UrlSessionTaskState::Running) return;
    const auto options = currentOptions();
    const platform::UrlRequest request = task.currentRequest();
    if (request.url.empty() || (options && isOwnServiceRequest(request.url, *options))) return;

    std::shared_ptr<Span> span;
    task.withAssociatedObjects([&](TrackedRequest::AssociatedObjects& objects) {
        const auto found = objects.find(kSpanKey);
        if (found == objects.end()) return;
        span = std::static_pointer_cast<Span>(found->second);
        objects.erase(found);
    });

    if (task.state() == UrlSessionTaskState::Running) {
        captureFailedRequest(task, request);
        addBreadcrumb(task, request);
        if (const auto response = task.response(); response && span) {
            span->setData("http.response.status_code", std::to_string(response->statusCode));
        }
    }
    if (span) {
        span->finish(statusForTask(task, newState));
        SKALD_LOG_DEBUG("SkaldNetworkTracker finished HTTP span for sessionTask");
    }
}

SpanStatus NetworkTracker::statusForTask(const TrackedRequest& task,
                                         UrlSessionTaskState newState) const {
    switch (newState) {
        case UrlSessionTaskState::Suspended:
            return SpanStatus::Aborted;
        case UrlSessionTaskState::Canceling:
            return SpanStatus::Cancelled;
        case UrlSessionTaskState::Completed: {
            if (task.error()) return SpanStatus::UnknownError;
            const auto response = task.response();
            return spanStatusForHttpResponseStatusCode(response ? response->statusCode : -1);
        }
        default:
            return SpanStatus::Undefined;
    }
}

void NetworkTracker::addBreadcrumb(TrackedRequest& task, const platform::UrlRequest& request) {
    bool graphQL;
    {
        std::lock_guard guard(mutex_);
        if (!networkBreadcrumbs_) return;
        graphQL = graphQLOperationTracking_;
    }
    bool alreadyAdded = false;
    std::shared_ptr<Date> startDate;
    task.withAssociatedObjects([&](TrackedRequest::AssociatedObjects& objects) {
        alreadyAdded = objects.count(kBreadcrumbKey) > 0;
        objects[kBreadcrumbKey] = std::make_shared<bool>(true);
        if (auto found = objects.find(kStartDateKey); found != objects.end())
            startDate = std::static_pointer_cast<Date>(found->second);
    });
    if (alreadyAdded) return;

    const UrlSanitized url(request.url);
    auto crumb = std::make_shared<Breadcrumb>(task.error() ? Level::Error : Level::Info, "http");
    crumb->type = "http";
    Json data = Json::object();
    if (url.sanitizedUrl()) data["url"] = *url.sanitizedUrl();
    data["method"] = request.httpMethod;
    if (startDate) data["request_start"] = formatIso8601Timestamp(*startDate);
    data["request_body_size"] = task.countOfBytesSent();
    data["response_body_size"] = task.countOfBytesReceived();
    if (const auto response = task.response()) {
        data["status_code"] = response->statusCode;
        data["reason"] = platform::localizedStringForStatusCode(response->statusCode);
        if (graphQL) {
            if (auto name = graphQLOperationName(request)) data["graphql_operation_name"] = *name;
        }
    }
    if (url.query()) data["http.query"] = *url.query();
    if (url.fragment()) data["http.fragment"] = *url.fragment();
    crumb->data = std::move(data);
    SDK::addBreadcrumb(crumb);
}

void NetworkTracker::captureFailedRequest(const TrackedRequest& task,
                                          const platform::UrlRequest& request) {
    bool graphQL;
    {
        std::lock_guard guard(mutex_);
        if (!captureFailedRequests_) {
            SKALD_LOG_DEBUG(
                "captureFailedRequestsEnabled is disabled, not capturing HTTP Client errors.");
            return;
        }
        graphQL = graphQLOperationTracking_;
    }
    const auto options = currentOptions();
    const auto response = task.response();
    if (!options || request.url.empty() || !response) {
        SKALD_LOG_DEBUG("Request or Response are null, not capturing HTTP Client errors.");
        return;
    }
    const int code = response->statusCode;
    bool inRange = false;
    for (const auto& range : options->failedRequestStatusCodes) inRange |= range.isInRange(code);
    if (!inRange) {
        SKALD_LOG_DEBUG(
            "Response status code isn't within the allowed ranges, not capturing HTTP "
            "Client errors.");
        return;
    }
    if (!isTargetMatch(request.url, options->failedRequestTargets())) {
        SKALD_LOG_DEBUG(
            "Request url isn't within the request targets, not capturing HTTP Client errors.");
        return;
    }

    auto event = std::make_shared<Event>(Level::Error);
    auto exception = std::make_shared<Exception>(
        "HTTP Client Error with status code: " + std::to_string(code), "HTTPClientError");
    exception->mechanism = std::make_shared<Mechanism>("HTTPClientError");
    if (auto client = SDK::currentHub()->getClient()) {
        for (const auto& thread : client->threadInspector()->getCurrentThreads()) {
            if (thread->current != true || !thread->stacktrace) continue;
            exception->stacktrace = std::make_shared<Stacktrace>(*thread->stacktrace);
            exception->stacktrace->snapshot = true;
        }
    }
    event->exceptions = {exception};

    const UrlSanitized url(request.url);
    auto details = std::make_shared<Request>();
    details->url = url.sanitizedUrl();
    details->method = request.httpMethod;
    details->fragment = url.fragment();
    details->queryString = url.query();
    details->bodySize = task.countOfBytesSent();
    if (!request.headers.empty())
        details->headers = headersJson(sanitizeHttpHeaders(plainHeaders(request.headers)));
    event->request = details;

    Json responseContext = Json::object();
    responseContext["status_code"] = code;
    if (!response->headers.empty())
        responseContext["headers"] =
            headersJson(sanitizeHttpHeaders(plainHeaders(response->headers)));
    if (task.countOfBytesReceived() != 0)
        responseContext["body_size"] = task.countOfBytesReceived();
    Json contexts = Json::object();
    contexts["response"] = std::move(responseContext);
    if (graphQL) {
        if (auto name = graphQLOperationName(request)) contexts["graphql_operation_name"] = *name;
    }
    event->context = std::move(contexts);
    SDK::captureEvent(event);
}

}  // namespace skald
