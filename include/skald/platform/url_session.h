#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "skald/platform/http_response.h"
#include "skald/platform/url_request.h"
#include "skald/error.h"

namespace skald::platform {

class OperationQueue;
class ReachabilityMonitor;
class SerialQueue;
class UrlSession;
class UrlSessionDownloadTask;
class UrlSessionTask;

/// Errors of URL sessions carry this domain and the codes below.
inline constexpr const char* kUrlErrorDomain = "NSURLErrorDomain";

enum UrlErrorCode : int64_t {
    kUrlErrorUnknown = -1,
    kUrlErrorCancelled = -999,
    kUrlErrorBadUrl = -1000,
    kUrlErrorTimedOut = -1001,
    kUrlErrorUnsupportedUrl = -1002,
    kUrlErrorCannotFindHost = -1003,
    kUrlErrorCannotConnectToHost = -1004,
    kUrlErrorNetworkConnectionLost = -1005,
    kUrlErrorHttpTooManyRedirects = -1007,
    kUrlErrorNotConnectedToInternet = -1009,
    kUrlErrorBadServerResponse = -1011,
    kUrlErrorDataLengthExceedsMaximum = -1103,
    /// A redirect from https to http was refused.
    kUrlErrorSecureConnectionRequired = -1022,
    /// A redirect that left the request's origin was refused (the session's own code).
    kUrlErrorRedirectToOtherOrigin = -1023,
    kUrlErrorSecureConnectionFailed = -1200,
    kUrlErrorCannotCreateFile = -3000,
    kUrlErrorCannotWriteToFile = -3003,
};

/// The user-info key that names the URL a failed task was fetching.
inline constexpr const char* kUrlErrorFailingUrlStringKey = "NSErrorFailingURLStringKey";

enum class UrlSessionTaskState : int {
    Running = 0,
    Suspended = 1,
    Canceling = 2,
    Completed = 3,
};

/// The size of a transfer that did not announce it.
inline constexpr int64_t kUrlSessionTransferSizeUnknown = -1;

struct UrlSessionConfiguration {
    static UrlSessionConfiguration defaultConfiguration();
    /// Keeps nothing on disk (no cookies, no cache, no credentials). Sessions
    /// here never store anything, so both configurations behave alike.
    static UrlSessionConfiguration ephemeralConfiguration();

    bool ephemeral = false;
    /// A connection that cannot be made (host not found, connection
    /// refused, network unreachable) does not fail the task: the task tells
    /// the delegate once that it waits (`taskIsWaitingForConnectivity`) and
    /// tries again
    ///  - at once whenever the reachability monitor reports the network as
    ///    reachable (a route appeared or changed), which also resets the
    ///    back-off below, and
    ///  - otherwise after `connectivityRetryInterval`, doubling the pause
    ///    after each further failure up to `maximumConnectivityRetryInterval`;
    /// until `timeoutIntervalForResource` ends it as timed out. Off: such
    /// failures end the task with their error at once.
    bool waitsForConnectivity = false;
    /// Seconds before the first retry of a waiting task while nothing changes.
    double connectivityRetryInterval = 10;
    /// Longest pause between two retries (never below `connectivityRetryInterval`).
    double maximumConnectivityRetryInterval = 60;
    /// Where waiting tasks learn about connectivity; none: one process-wide
    /// monitor on the kernel's route socket, started on first need.
    std::shared_ptr<ReachabilityMonitor> reachabilityMonitor;
    /// Seconds without traffic before a request fails; a request's own
    /// `timeoutInterval` takes precedence when it is shorter.
    double timeoutIntervalForRequest = 60;
    /// Seconds a task may take in all, waiting for connectivity included.
    double timeoutIntervalForResource = 7 * 24 * 3600;
    /// Largest response body a data task keeps in memory; larger bodies end
    /// the task with kUrlErrorDataLengthExceedsMaximum.
    size_t maximumResponseSize = 16 * 1024 * 1024;
    /// Trusted certificates (a PEM file, a hashed directory, or both) in
    /// place of the system's CA store.
    std::optional<std::string> caInfo;
    std::optional<std::string> caPath;
    /// Proxy URL for every request; "" for none. Unset: the usual proxy
    /// environment variables (http_proxy, HTTPS_PROXY, ALL_PROXY, NO_PROXY).
    std::optional<std::string> proxy;
    /// Headers added to every request that does not set them itself.
    HttpHeaders httpAdditionalHeaders;
    /// Which redirects tasks follow unless their request says otherwise.
    UrlRedirectPolicy redirectPolicy = UrlRedirectPolicy::NoDowngrade;
    /// Redirects one task follows at most before it fails.
    int maximumRedirects = 16;
};

/// Gets the session's events on its delegate queue. Every method is optional.
class UrlSessionDelegate {
  public:
    virtual ~UrlSessionDelegate() = default;

    /// A task ended; tasks made with a completion handler report there instead.
    virtual void didCompleteWithError(UrlSession&, UrlSessionTask&, const std::optional<Error>&) {}
    /// A task could not connect and now waits for connectivity.
    virtual void taskIsWaitingForConnectivity(UrlSession&, UrlSessionTask&) {}
    /// Body bytes were written to a download's file. `totalBytesExpectedToWrite`
    /// is kUrlSessionTransferSizeUnknown when the server did not say.
    virtual void didWriteData(UrlSession&, UrlSessionDownloadTask&, int64_t /*bytesWritten*/,
                              int64_t /*totalBytesWritten*/,
                              int64_t /*totalBytesExpectedToWrite*/) {}
    /// A download finished; the file at `location` is removed when this returns.
    virtual void didFinishDownloadingToUrl(UrlSession&, UrlSessionDownloadTask&,
                                           const std::string& /*location*/) {}
    /// Downloads here always start from byte 0; kept for delegates that expect it.
    virtual void didResumeAtOffset(UrlSession&, UrlSessionDownloadTask&, int64_t /*fileOffset*/,
                                   int64_t /*expectedTotalBytes*/) {}
    /// The session was invalidated and its last task ended.
    virtual void didBecomeInvalidWithError(UrlSession&, const std::optional<Error>&) {}
};

/// Hooks into every task of every session, for request tracking. Both run
/// on the thread that acts on the task, before the task acts.
class UrlSessionTaskObserver {
  public:
    virtual ~UrlSessionTaskObserver() = default;
    /// Before a suspended task starts or continues. `setCurrentRequest` on the
    /// task still changes what is sent when the task had not started yet.
    virtual void willResume(UrlSessionTask& task) = 0;
    /// Before the task's state becomes `newState`; the task still reports its old state.
    virtual void willChangeState(UrlSessionTask& task, UrlSessionTaskState newState) = 0;
};

/// The process-wide set of task observers.
class UrlSessionTaskObservers {
  public:
    static uint64_t add(std::shared_ptr<UrlSessionTaskObserver> observer);
    static void remove(uint64_t token);
    static void notifyWillResume(UrlSessionTask& task);
    static void notifyWillChangeState(UrlSessionTask& task, UrlSessionTaskState newState);
};

namespace detail {
class TransferEngine;
struct Transfer;
}  // namespace detail

/// One request run by a session. Tasks start suspended; `resume` starts them.
class UrlSessionTask : public std::enable_shared_from_this<UrlSessionTask> {
  public:
    enum class Kind { Data, Download };

    virtual ~UrlSessionTask();
    UrlSessionTask(const UrlSessionTask&) = delete;
    UrlSessionTask& operator=(const UrlSessionTask&) = delete;

    Kind kind() const { return kind_; }
    /// Unique within the process.
    uint64_t taskIdentifier() const { return identifier_; }
    UrlSessionTaskState state() const;

    UrlRequest originalRequest() const;
    /// The request as sent; its URL follows redirects once the task ended.
    UrlRequest currentRequest() const;
    /// Replaces what is sent; false (and nothing changes) once the transfer began.
    bool setCurrentRequest(UrlRequest request);

    /// The last response (after redirects and interim answers), once headers arrived.
    std::optional<HttpResponse> response() const;
    std::optional<Error> error() const;

    /// Body bytes.
    int64_t countOfBytesSent() const { return bytesSent_.load(); }
    int64_t countOfBytesReceived() const { return bytesReceived_.load(); }
    int64_t countOfBytesExpectedToSend() const;
    int64_t countOfBytesExpectedToReceive() const { return bytesExpectedToReceive_.load(); }

    void resume();
    /// Pauses a running transfer (or keeps a new task from starting).
    void suspend();
    /// Ends the task with kUrlErrorCancelled unless it already ended.
    void cancel();

    /// Values that others attach to the task (request tracking keeps its span here).
    using AssociatedObjects = std::map<std::string, std::shared_ptr<void>>;
    std::shared_ptr<void> associatedObject(const std::string& key) const;
    void setAssociatedObject(const std::string& key, std::shared_ptr<void> value);
    /// Runs `block` with the attached values under the task's own lock.
    void withAssociatedObjects(const std::function<void(AssociatedObjects&)>& block);

  protected:
    UrlSessionTask(Kind kind, std::shared_ptr<UrlSession> session, UrlRequest request,
                   std::optional<Error> creationError);

  private:
    friend class UrlSession;
    friend class detail::TransferEngine;
    friend struct detail::Transfer;

    struct Outcome {
        std::string body;
        std::string downloadPath;
        std::optional<HttpResponse> response;
        std::optional<Error> error;
        std::string finalUrl;
    };
    /// Called by the engine once: records the outcome and delivers it on the delegate queue.
    void finish(Outcome outcome);
    void deliver(Outcome outcome);
    bool changeState(UrlSessionTaskState from, UrlSessionTaskState to);

    const Kind kind_;
    const uint64_t identifier_;
    // Running tasks keep their session alive; sessions hold their tasks weakly.
    const std::shared_ptr<UrlSession> session_;
    const UrlRequest originalRequest_;
    // Why the task fails as soon as it is resumed (made on an invalidated session).
    const std::optional<Error> creationError_;

    mutable std::mutex mutex_;
    UrlSessionTaskState state_ = UrlSessionTaskState::Suspended;
    UrlRequest currentRequest_;
    bool started_ = false;   // handed to the engine
    bool finished_ = false;  // the engine reported the outcome
    std::optional<HttpResponse> response_;
    std::optional<Error> error_;

    std::atomic<int64_t> bytesSent_{0};
    std::atomic<int64_t> bytesReceived_{0};
    std::atomic<int64_t> bytesExpectedToReceive_{kUrlSessionTransferSizeUnknown};

    mutable std::mutex associationsMutex_;
    AssociatedObjects associations_;
};

/// A task that keeps the response body in memory.
class UrlSessionDataTask final : public UrlSessionTask {
  public:
    /// The body (possibly partial), the response when one arrived, and the
    /// error when the task failed: response and error may both be present.
    using Completion = std::function<void(std::string body, std::optional<HttpResponse> response,
                                          std::optional<Error> error)>;

    UrlSessionDataTask(std::shared_ptr<UrlSession> session, UrlRequest request,
                       Completion completion, std::optional<Error> creationError = std::nullopt);

  private:
    friend class UrlSessionTask;
    Completion completion_;
};

/// A task that writes the response body to a temporary file.
class UrlSessionDownloadTask final : public UrlSessionTask {
  public:
    /// The temporary file (removed when this returns; empty on failure), the
    /// response and the error.
    using Completion = std::function<void(
        std::string location, std::optional<HttpResponse> response, std::optional<Error> error)>;

    UrlSessionDownloadTask(std::shared_ptr<UrlSession> session, UrlRequest request,
                           Completion completion,
                           std::optional<Error> creationError = std::nullopt);

  private:
    friend class UrlSessionTask;
    friend class detail::TransferEngine;
    friend struct detail::Transfer;
    Completion completion_;
    /// Progress not yet handed to the delegate, and whether a hand-over is queued.
    std::mutex progressMutex_;
    int64_t pendingBytes_ = 0;
    int64_t reportedBytes_ = 0;
    bool progressQueued_ = false;
};

/// Runs HTTP(S) requests. All sessions share one worker thread that drives
/// every transfer; no call blocks the caller, and results reach the caller
/// on the session's delegate queue.
class UrlSession : public std::enable_shared_from_this<UrlSession> {
  public:
    /// `delegateQueue` defaults to a serial queue of the session's own.
    static std::shared_ptr<UrlSession> make(UrlSessionConfiguration configuration,
                                            std::weak_ptr<UrlSessionDelegate> delegate = {},
                                            std::shared_ptr<SerialQueue> delegateQueue = nullptr);
    /// Callbacks become operations of `operationQueue`, in the order they
    /// arise; each runs on a thread of the session's own (`delegateQueue()`),
    /// so with a queue of at most 1 concurrent operation they run one at a
    /// time, in order. The session's operations ignore `cancel`: they also
    /// end the tasks (state, temporary file), which must not be skipped.
    static std::shared_ptr<UrlSession> make(UrlSessionConfiguration configuration,
                                            std::weak_ptr<UrlSessionDelegate> delegate,
                                            std::shared_ptr<OperationQueue> operationQueue);
    /// Running tasks keep their session alive until they end.
    ~UrlSession();
    UrlSession(const UrlSession&) = delete;
    UrlSession& operator=(const UrlSession&) = delete;

    const UrlSessionConfiguration& configuration() const;
    /// The queue whose thread runs the delegate's callbacks.
    const std::shared_ptr<SerialQueue>& delegateQueue() const;
    /// The operation queue the session was made with, if any.
    const std::shared_ptr<OperationQueue>& delegateOperationQueue() const;

    /// A suspended task. On an invalidated session the task fails when resumed.
    std::shared_ptr<UrlSessionDataTask> dataTask(UrlRequest request,
                                                 UrlSessionDataTask::Completion completion = {});
    std::shared_ptr<UrlSessionDownloadTask> downloadTask(
        UrlRequest request, UrlSessionDownloadTask::Completion completion = {});
    /// A suspended GET download of `url` that reports to the delegate.
    std::shared_ptr<UrlSessionDownloadTask> downloadTaskWithUrl(const std::string& url);

    /// Tasks that have not ended yet.
    std::vector<std::shared_ptr<UrlSessionTask>> allTasks() const;

    /// No new tasks; the running ones finish, then the delegate hears of it.
    void finishTasksAndInvalidate();
    /// No new tasks; the running ones are cancelled.
    void invalidateAndCancel();

  private:
    friend class UrlSessionTask;
    friend class detail::TransferEngine;
    friend struct detail::Transfer;

    UrlSession(UrlSessionConfiguration configuration, std::weak_ptr<UrlSessionDelegate> delegate,
               std::shared_ptr<SerialQueue> delegateQueue,
               std::shared_ptr<OperationQueue> operationQueue);
    /// Runs `block` where the delegate's callbacks run.
    void deliver(std::function<void()> block);
    template <typename Task, typename Completion>
    std::shared_ptr<Task> makeTask(UrlRequest request, Completion completion);
    /// A task of this session ended (its outcome was delivered).
    void taskEnded(uint64_t identifier);

    const UrlSessionConfiguration configuration_;
    const std::weak_ptr<UrlSessionDelegate> delegate_;
    const std::shared_ptr<SerialQueue> delegateQueue_;
    const std::shared_ptr<OperationQueue> operationQueue_;

    mutable std::mutex mutex_;
    std::map<uint64_t, std::weak_ptr<UrlSessionTask>> tasks_;
    bool invalidated_ = false;
    bool invalidationReported_ = false;
};

}  // namespace skald::platform
