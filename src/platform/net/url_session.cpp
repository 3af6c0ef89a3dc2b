#include "skald/platform/url_session.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>

#include "platform/base/text_lines.h"
#include "platform/base/unique_fd.h"
#include "platform/dispatch/serial_queue.h"
#include "platform/net/curl_error_codes.h"
#include "platform/net/reachability.h"
#include "platform/process/process_exit.h"
#include "skald/platform/operation_queue.h"
#include "skald/platform/paths.h"

namespace skald::platform {

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<uint64_t> gNextTaskIdentifier{1};

Error urlError(int64_t code, std::string description, const std::string& url) {
    Error error(kUrlErrorDomain, code, std::move(description));
    error.userInfo[kUrlErrorFailingUrlStringKey] = url;
    return error;
}

Error cancelledError(const std::string& url) {
    return urlError(kUrlErrorCancelled, "cancelled", url);
}

/// Failures that mean no connection could be made, as opposed to one that broke.
bool isConnectivityFailure(CURLcode code) {
    return code == CURLE_COULDNT_CONNECT || code == CURLE_COULDNT_RESOLVE_HOST ||
           code == CURLE_COULDNT_RESOLVE_PROXY;
}

bool hasLineBreak(std::string_view text) {
    return text.find_first_of("\r\n") != std::string_view::npos;
}

Clock::duration secondsOr(double seconds, Clock::duration fallback) {
    if (!(seconds > 0)) return fallback;
    // Guards the conversion against values beyond the clock's range.
    if (seconds > 100.0 * 365 * 24 * 3600) return Clock::duration::max() / 2;
    return secondsToDuration(seconds);
}

bool isFollowedRedirectStatus(int status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

/// A redirect's "Location", which may be relative, against the URL that
/// answered with it. (curl knows it only after reading the redirect's body,
/// which is not read here.)
std::optional<std::string> resolveLocation(const std::string& base, const std::string& location) {
    if (location.empty()) return std::nullopt;
    CURLU* parsed = curl_url();
    if (!parsed) return std::nullopt;
    std::optional<std::string> result;
    char* url = nullptr;
    if (curl_url_set(parsed, CURLUPART_URL, base.c_str(), 0) == CURLUE_OK &&
        curl_url_set(parsed, CURLUPART_URL, location.c_str(),
                     CURLU_URLENCODE | CURLU_ALLOW_SPACE | CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK &&
        curl_url_get(parsed, CURLUPART_URL, &url, 0) == CURLUE_OK) {
        result = url;
    }
    curl_free(url);
    curl_url_cleanup(parsed);
    return result;
}

/// Scheme, host and port of a URL, as a redirect compares them.
struct Origin {
    std::string scheme;
    std::string host;
    std::string port;
    bool operator==(const Origin&) const = default;
};

std::optional<Origin> originOf(const std::string& url) {
    CURLU* parsed = curl_url();
    if (!parsed) return std::nullopt;
    std::optional<Origin> origin;
    char* scheme = nullptr;
    char* host = nullptr;
    char* port = nullptr;
    if (curl_url_set(parsed, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK &&
        curl_url_get(parsed, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
        curl_url_get(parsed, CURLUPART_HOST, &host, 0) == CURLUE_OK &&
        curl_url_get(parsed, CURLUPART_PORT, &port, CURLU_DEFAULT_PORT) == CURLUE_OK) {
        origin = Origin{scheme, host, port};
        // Scheme and host compare without regard to case.
        for (auto* part : {&origin->scheme, &origin->host}) {
            std::transform(part->begin(), part->end(), part->begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        }
    }
    curl_free(scheme);
    curl_free(host);
    curl_free(port);
    curl_url_cleanup(parsed);
    return origin;
}

struct ObserverRegistry {
    std::mutex mutex;
    std::map<uint64_t, std::shared_ptr<UrlSessionTaskObserver>> observers;
    uint64_t next = 1;

    std::vector<std::shared_ptr<UrlSessionTaskObserver>> snapshot() {
        std::lock_guard guard(mutex);
        std::vector<std::shared_ptr<UrlSessionTaskObserver>> result;
        for (const auto& [token, observer] : observers) result.push_back(observer);
        return result;
    }
};

ObserverRegistry& observerRegistry() {
    // Never destroyed: tasks may still end while the process exits.
    static auto* registry = new ObserverRegistry;
    return *registry;
}

}  // namespace

int64_t urlErrorCode(CURLcode code, long osErrno) {
    switch (code) {
        case CURLE_OPERATION_TIMEDOUT:
            return kUrlErrorTimedOut;
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            return kUrlErrorCannotFindHost;
        case CURLE_COULDNT_CONNECT:
            return osErrno == ENETUNREACH ? kUrlErrorNotConnectedToInternet
                                          : kUrlErrorCannotConnectToHost;
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
        case CURLE_PARTIAL_FILE:
        case CURLE_GOT_NOTHING:
        case CURLE_HTTP2:
        case CURLE_HTTP2_STREAM:
            return kUrlErrorNetworkConnectionLost;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_INVALIDCERTSTATUS:
        case CURLE_SSL_CRL_BADFILE:
        case CURLE_SSL_SHUTDOWN_FAILED:
        case CURLE_SSL_ENGINE_NOTFOUND:
        case CURLE_SSL_ENGINE_SETFAILED:
        case CURLE_SSL_ENGINE_INITFAILED:
        case CURLE_USE_SSL_FAILED:
            return kUrlErrorSecureConnectionFailed;
        case CURLE_TOO_MANY_REDIRECTS:
            return kUrlErrorHttpTooManyRedirects;
        case CURLE_URL_MALFORMAT:
            return kUrlErrorBadUrl;
        // Schemes are checked before a transfer starts, so this is a server
        // that answered in something other than HTTP, or redirected to another scheme.
        case CURLE_UNSUPPORTED_PROTOCOL:
        case CURLE_WEIRD_SERVER_REPLY:
            return kUrlErrorBadServerResponse;
        case CURLE_FILESIZE_EXCEEDED:
            return kUrlErrorDataLengthExceedsMaximum;
        default:
            return kUrlErrorUnknown;
    }
}

// MARK: - Observers

uint64_t UrlSessionTaskObservers::add(std::shared_ptr<UrlSessionTaskObserver> observer) {
    if (!observer) return 0;
    auto& registry = observerRegistry();
    std::lock_guard guard(registry.mutex);
    const uint64_t token = registry.next++;
    registry.observers.emplace(token, std::move(observer));
    return token;
}

void UrlSessionTaskObservers::remove(uint64_t token) {
    auto& registry = observerRegistry();
    std::lock_guard guard(registry.mutex);
    registry.observers.erase(token);
}

void UrlSessionTaskObservers::notifyWillResume(UrlSessionTask& task) {
    for (const auto& observer : observerRegistry().snapshot()) observer->willResume(task);
}

void UrlSessionTaskObservers::notifyWillChangeState(UrlSessionTask& task,
                                                    UrlSessionTaskState newState) {
    for (const auto& observer : observerRegistry().snapshot()) {
        observer->willChangeState(task, newState);
    }
}

// MARK: - Engine

namespace detail {

/// One task's transfer, owned by the worker thread.
struct Transfer {
    std::shared_ptr<UrlSessionTask> task;
    UrlRequest request;
    CURL* easy = nullptr;
    curl_slist* headerList = nullptr;
    char errorBuffer[CURL_ERROR_SIZE] = {};

    bool isDownload = false;
    size_t maximumResponseSize = 0;
    std::string body;
    unique_fd downloadFd;
    std::string downloadPath;
    int writeErrno = 0;
    bool tooLarge = false;

    // Headers of the response being received; a new status line starts over,
    // so the last response (after redirects and 100 Continue) is what stays.
    HttpResponse response;
    bool sawStatusLine = false;

    UrlRedirectPolicy redirectPolicy = UrlRedirectPolicy::NoDowngrade;
    int maximumRedirects = 0;
    int redirects = 0;
    // The response is a redirect that the policy decides on: it is nobody's
    // answer, so its body is not read and its headers are not published.
    bool redirectPending = false;
    // A hop left the first origin: neither the request's nor the session's
    // headers go out any more.
    bool leftOrigin = false;

    Clock::duration idleTimeout{};
    Clock::time_point lastActivity;
    Clock::time_point deadline;
    curl_off_t lastUploaded = 0;
    curl_off_t lastDownloaded = 0;

    bool inMulti = false;
    bool paused = false;
    bool waiting = false;
    bool toldWaiting = false;
    // Failed connection attempts since the task began waiting or the network last came back.
    int connectivityFailures = 0;
    Clock::time_point retryAt = Clock::time_point::max();
    std::optional<Error> waitingError;
    std::shared_ptr<ReachabilityMonitor> monitor;

    ~Transfer() {
        if (easy) curl_easy_cleanup(easy);
        if (headerList) curl_slist_free_all(headerList);
    }

    void touch() { lastActivity = Clock::now(); }
    UrlSession& session() const { return *task->session_; }

    void resetForRetry() {
        body.clear();
        response = HttpResponse{};
        sawStatusLine = false;
        redirectPending = false;
        tooLarge = false;
        writeErrno = 0;
        errorBuffer[0] = '\0';
        lastUploaded = lastDownloaded = 0;
        task->bytesReceived_.store(0);
        task->bytesSent_.store(0);
        if (downloadFd) {
            [[maybe_unused]] int ignored = ::ftruncate(downloadFd.get(), 0);
            ::lseek(downloadFd.get(), 0, SEEK_SET);
        }
    }

    static size_t onHeader(char* data, size_t size, size_t count, void* context);
    static size_t onWrite(char* data, size_t size, size_t count, void* context);
    static int onProgress(void* context, curl_off_t, curl_off_t downloaded, curl_off_t,
                          curl_off_t uploaded);
    void headersComplete();
    void reportDownloadProgress(int64_t bytes);
};

size_t Transfer::onHeader(char* data, size_t size, size_t count, void* context) {
    auto* transfer = static_cast<Transfer*>(context);
    const size_t length = size * count;
    transfer->touch();
    const std::string_view raw(data, length);
    const std::string_view line = trimWhitespace(raw);
    if (raw.rfind("HTTP/", 0) == 0) {
        transfer->response.headers.clear();
        transfer->sawStatusLine = true;
        const auto space = raw.find(' ');
        int status = 0;
        for (size_t i = space == std::string_view::npos ? raw.size() : space + 1;
             i < raw.size() && raw[i] >= '0' && raw[i] <= '9'; ++i) {
            status = status * 10 + (raw[i] - '0');
            if (status > 999) break;
        }
        transfer->response.statusCode = status;
    } else if (line.empty()) {
        if (transfer->sawStatusLine && transfer->response.statusCode >= 200) {
            transfer->headersComplete();
            // Ends the hop: the body of a redirect is nobody's answer.
            if (transfer->redirectPending) return 0;
        }
    } else if (const auto colon = line.find(':'); colon != std::string_view::npos && colon > 0) {
        const std::string name(trimWhitespace(line.substr(0, colon)));
        const std::string value(trimWhitespace(line.substr(colon + 1)));
        auto& headers = transfer->response.headers;
        if (auto found = headers.find(name); found != headers.end()) {
            found->second += ", " + value;
        } else {
            headers.emplace(name, value);
        }
    }
    return length;
}

void Transfer::headersComplete() {
    if (redirectPolicy != UrlRedirectPolicy::None &&
        isFollowedRedirectStatus(response.statusCode) && response.header("Location")) {
        redirectPending = true;
        return;
    }
    int64_t expected = kUrlSessionTransferSizeUnknown;
    const auto encoding = response.header("Content-Encoding");
    if (!encoding || *encoding == "identity") {
        if (const auto length = response.header("Content-Length")) {
            char* end = nullptr;
            const long long value = std::strtoll(length->c_str(), &end, 10);
            if (end && *end == '\0' && value >= 0) expected = value;
        }
    }
    response.expectedContentLength = expected;
    task->bytesExpectedToReceive_.store(expected);
    HttpResponse published = response;
    char* url = nullptr;
    if (curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &url) == CURLE_OK && url) {
        published.url = url;
    }
    std::lock_guard guard(task->mutex_);
    task->response_ = std::move(published);
}

size_t Transfer::onWrite(char* data, size_t size, size_t count, void* context) {
    auto* transfer = static_cast<Transfer*>(context);
    const size_t length = size * count;
    transfer->touch();
    if (transfer->isDownload) {
        size_t written = 0;
        while (written < length) {
            const auto result =
                ::write(transfer->downloadFd.get(), data + written, length - written);
            if (result < 0) {
                if (errno == EINTR) continue;
                transfer->writeErrno = errno;
                return 0;
            }
            written += static_cast<size_t>(result);
        }
        transfer->reportDownloadProgress(static_cast<int64_t>(length));
    } else {
        if (transfer->body.size() + length > transfer->maximumResponseSize) {
            transfer->tooLarge = true;
            return 0;
        }
        transfer->body.append(data, length);
    }
    transfer->task->bytesReceived_.fetch_add(static_cast<int64_t>(length));
    return length;
}

int Transfer::onProgress(void* context, curl_off_t, curl_off_t downloaded, curl_off_t,
                         curl_off_t uploaded) {
    auto* transfer = static_cast<Transfer*>(context);
    if (uploaded != transfer->lastUploaded || downloaded != transfer->lastDownloaded) {
        transfer->lastUploaded = uploaded;
        transfer->lastDownloaded = downloaded;
        transfer->touch();
    }
    transfer->task->bytesSent_.store(static_cast<int64_t>(uploaded));
    return 0;
}

void Transfer::reportDownloadProgress(int64_t bytes) {
    auto& download = static_cast<UrlSessionDownloadTask&>(*task);
    if (download.completion_) return;
    {
        std::lock_guard guard(download.progressMutex_);
        download.pendingBytes_ += bytes;
        // One hand-over at a time: a slow delegate gets fewer, larger reports.
        if (download.progressQueued_) return;
        download.progressQueued_ = true;
    }
    auto self = std::static_pointer_cast<UrlSessionDownloadTask>(task);
    session().deliver([self] {
        int64_t pending = 0;
        int64_t total = 0;
        {
            std::lock_guard guard(self->progressMutex_);
            pending = self->pendingBytes_;
            self->reportedBytes_ += pending;
            total = self->reportedBytes_;
            self->pendingBytes_ = 0;
            self->progressQueued_ = false;
        }
        if (pending == 0) return;
        auto& session = *self->session_;
        if (auto delegate = session.delegate_.lock()) {
            delegate->didWriteData(session, *self, pending, total,
                                   self->countOfBytesExpectedToReceive());
        }
    });
}

/// The one worker thread that drives every transfer of every session.
class TransferEngine {
  public:
    static TransferEngine& shared() {
        // Never destroyed and never joined: sessions may still reach it while
        // the process exits, and its thread parks once exit has begun.
        static auto* engine = new TransferEngine;
        return *engine;
    }

    void start(const std::shared_ptr<UrlSessionTask>& task, UrlRequest request) {
        post([this, task,
              request = std::move(request)]() mutable { begin(task, std::move(request)); },
             task);
    }
    void cancel(const std::shared_ptr<UrlSessionTask>& task) {
        post([this, task] { cancelTransfer(*task); }, nullptr);
    }
    void setPaused(const std::shared_ptr<UrlSessionTask>& task, bool paused) {
        post([this, task, paused] { pauseTransfer(*task, paused); }, nullptr);
    }

  private:
    TransferEngine() {
        curl_global_init(CURL_GLOBAL_DEFAULT);
        multi_ = curl_multi_init();
        // After libcurl and OpenSSL registered their cleanup, so that the
        // worker is parked before that cleanup runs.
        ProcessExit::install();
        ProcessExit::addWaker([](void* multi) { curl_multi_wakeup(static_cast<CURLM*>(multi)); },
                              multi_);
        thread_ = std::thread([this] { run(); });
    }

    /// Runs `command` on the worker. Once the process exits, a task handed
    /// in ends at once.
    void post(std::function<void()> command, const std::shared_ptr<UrlSessionTask>& task) {
        if (!ProcessExit::isExiting()) {
            std::lock_guard guard(mutex_);
            commands_.push_back(std::move(command));
            curl_multi_wakeup(multi_);
            return;
        }
        if (task) {
            UrlSessionTask::Outcome outcome;
            outcome.error = urlError(kUrlErrorUnknown, "The process is shutting down.",
                                     task->originalRequest_.url);
            task->finish(std::move(outcome));
        }
    }

    void runOnce() {
        std::vector<std::function<void()>> commands;
        {
            std::lock_guard guard(mutex_);
            commands.swap(commands_);
        }
        for (auto& command : commands) command();
        int running = 0;
        curl_multi_perform(multi_, &running);
        int left = 0;
        while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
            if (message->msg != CURLMSG_DONE) continue;
            Transfer* transfer = nullptr;
            curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &transfer);
            if (transfer) transferDone(*transfer, message->data.result);
        }
        const auto wait = checkTimers();
        curl_multi_poll(multi_, nullptr, 0, wait, nullptr);
    }

    void run() {
        ::pthread_setname_np(::pthread_self(), "skald-url");
        // Transfers under way when the process exits are dropped without a
        // word: the SDK's envelopes stay on disk for the next start.
        for (;;) {
            {
                ProcessExit::Work unit;
                if (unit && !ProcessExit::isExiting()) {
                    runOnce();
                    continue;
                }
            }
            ProcessExit::park();
        }
    }

    void begin(const std::shared_ptr<UrlSessionTask>& task, UrlRequest request) {
        auto transfer = std::make_unique<Transfer>();
        transfer->task = task;
        transfer->request = std::move(request);
        UrlSession& session = *task->session_;
        const auto& configuration = session.configuration();
        transfer->isDownload = task->kind() == UrlSessionTask::Kind::Download;
        transfer->maximumResponseSize = configuration.maximumResponseSize;
        transfer->redirectPolicy =
            transfer->request.redirectPolicy.value_or(configuration.redirectPolicy);
        transfer->maximumRedirects = std::max(0, configuration.maximumRedirects);
        const auto requestTimeout =
            secondsOr(transfer->request.timeoutInterval, Clock::duration::max() / 2);
        const auto sessionTimeout =
            secondsOr(configuration.timeoutIntervalForRequest, Clock::duration::max() / 2);
        transfer->idleTimeout = std::min(requestTimeout, sessionTimeout);
        transfer->touch();
        transfer->deadline =
            transfer->lastActivity +
            secondsOr(configuration.timeoutIntervalForResource, Clock::duration::max() / 2);

        if (auto invalid = checkUrl(transfer->request.url)) {
            fail(*transfer, *invalid);
            return;
        }
        if (transfer->isDownload) {
            transfer->downloadPath = Paths::temporaryDirectory() + "/skald-download-XXXXXX";
            transfer->downloadFd.reset(::mkostemp(transfer->downloadPath.data(), O_CLOEXEC));
            if (!transfer->downloadFd) {
                const int code = errno;
                transfer->downloadPath.clear();
                fail(*transfer, urlError(kUrlErrorCannotCreateFile,
                                         std::string("Could not create the download file: ") +
                                             std::strerror(code),
                                         transfer->request.url));
                return;
            }
        }
        transfer->easy = curl_easy_init();
        if (!transfer->easy) {
            fail(*transfer,
                 urlError(kUrlErrorUnknown, "Could not create a transfer.", transfer->request.url));
            return;
        }
        configure(*transfer, configuration);
        Transfer& added = *transfer;
        transfers_[task.get()] = std::move(transfer);
        if (task->state() == UrlSessionTaskState::Suspended) added.paused = true;
        addToMulti(added);
    }

    /// Only absolute http and https URLs are fetched.
    static std::optional<Error> checkUrl(const std::string& url) {
        CURLU* parsed = curl_url();
        std::optional<Error> error;
        char* scheme = nullptr;
        if (!parsed || curl_url_set(parsed, CURLUPART_URL, url.c_str(), 0) != CURLUE_OK ||
            curl_url_get(parsed, CURLUPART_SCHEME, &scheme, 0) != CURLUE_OK) {
            error = urlError(kUrlErrorBadUrl, "The URL is not valid.", url);
        } else if (std::strcmp(scheme, "http") != 0 && std::strcmp(scheme, "https") != 0) {
            error = urlError(kUrlErrorUnsupportedUrl, "The URL's scheme is not supported.", url);
        }
        curl_free(scheme);
        curl_url_cleanup(parsed);
        return error;
    }

    void configure(Transfer& transfer, const UrlSessionConfiguration& configuration) {
        CURL* easy = transfer.easy;
        curl_easy_setopt(easy, CURLOPT_PRIVATE, &transfer);
        curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, transfer.errorBuffer);
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
        // Redirects are followed here, hop by hop (`redirect`), so that each
        // target is checked against the policy and no header goes elsewhere.
        curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
        curl_easy_setopt(easy, CURLOPT_TCP_KEEPALIVE, 1L);
        // A proxy's tunnel answer is not the server's response.
        curl_easy_setopt(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
        curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Transfer::onHeader);
        curl_easy_setopt(easy, CURLOPT_HEADERDATA, &transfer);
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Transfer::onWrite);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer);
        curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &Transfer::onProgress);
        curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &transfer);
        curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
        const auto connectTimeout =
            std::chrono::duration_cast<std::chrono::milliseconds>(transfer.idleTimeout).count();
        if (connectTimeout > 0 && connectTimeout < LONG_MAX) {
            curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(connectTimeout));
        }
        if (!transfer.isDownload) {
            // Compressed bodies are decoded; downloads stay byte-exact so that
            // their progress matches the announced length.
            curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "");
            curl_easy_setopt(easy, CURLOPT_MAXFILESIZE_LARGE,
                             static_cast<curl_off_t>(transfer.maximumResponseSize));
        }
        if (configuration.caInfo || configuration.caPath) {
            // Either one replaces both system defaults: nothing else is trusted.
            curl_easy_setopt(easy, CURLOPT_CAINFO,
                             configuration.caInfo ? configuration.caInfo->c_str() : nullptr);
            curl_easy_setopt(easy, CURLOPT_CAPATH,
                             configuration.caPath ? configuration.caPath->c_str() : nullptr);
        }
        if (configuration.proxy)
            curl_easy_setopt(easy, CURLOPT_PROXY, configuration.proxy->c_str());
        applyRequest(transfer, configuration);
    }

    /// What one hop sends: URL, method, body and headers of `transfer.request`.
    void applyRequest(Transfer& transfer, const UrlSessionConfiguration& configuration) {
        CURL* easy = transfer.easy;
        const UrlRequest& request = transfer.request;
        curl_easy_setopt(easy, CURLOPT_URL, request.url.c_str());
        curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, nullptr);
        const std::string& method =
            request.httpMethod.empty() ? std::string("GET") : request.httpMethod;
        if (method == "GET" && request.httpBody.empty()) {
            curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
        } else if (method == "HEAD") {
            curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
        } else {
            curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                             static_cast<curl_off_t>(request.httpBody.size()));
            curl_easy_setopt(easy, CURLOPT_POSTFIELDS, request.httpBody.data());
            if (method != "POST") curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
        }

        HttpHeaders headers = request.headers;
        if (!transfer.leftOrigin) {
            for (const auto& [name, value] : configuration.httpAdditionalHeaders)
                headers.emplace(name, value);
        }
        // Sent only when asked for: it costs a round trip, or a second's wait
        // with servers that ignore it.
        headers.emplace("Expect", "");
        curl_slist* list = nullptr;
        for (const auto& [name, value] : headers) {
            // A line break would let a value smuggle in headers of its own.
            if (name.empty() || hasLineBreak(name) || hasLineBreak(value) ||
                name.find(':') != std::string::npos) {
                continue;
            }
            // "Name:" would remove a header; "Name;" sends it empty.
            const std::string line = value.empty() ? name + ";" : name + ": " + value;
            if (name == "Expect" && value.empty()) {
                list = curl_slist_append(list, "Expect:");
            } else {
                list = curl_slist_append(list, line.c_str());
            }
        }
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, list);
        if (transfer.headerList) curl_slist_free_all(transfer.headerList);
        transfer.headerList = list;
    }

    void addToMulti(Transfer& transfer) {
        transfer.touch();
        if (curl_multi_add_handle(multi_, transfer.easy) == CURLM_OK) {
            transfer.inMulti = true;
            if (transfer.paused) curl_easy_pause(transfer.easy, CURLPAUSE_ALL);
        } else {
            fail(transfer,
                 urlError(kUrlErrorUnknown, "Could not start the transfer.", transfer.request.url));
        }
    }

    void removeFromMulti(Transfer& transfer) {
        if (!transfer.inMulti) return;
        curl_multi_remove_handle(multi_, transfer.easy);
        transfer.inMulti = false;
    }

    void transferDone(Transfer& transfer, CURLcode code) {
        // The hop was cut short on purpose after the redirect's headers.
        if (transfer.redirectPending) {
            redirect(transfer);
            return;
        }
        const auto& configuration = transfer.session().configuration();
        if (code != CURLE_OK && isConnectivityFailure(code) && configuration.waitsForConnectivity &&
            transfer.task->state() == UrlSessionTaskState::Running) {
            if (!transfer.waitingError) transfer.waitingError = errorFor(transfer, code);
            if (Clock::now() < transfer.deadline) {
                startWaiting(transfer);
            } else {
                timeOut(transfer);
            }
            return;
        }
        if (code == CURLE_OK) {
            complete(transfer, std::nullopt);
        } else {
            complete(transfer, errorFor(transfer, code));
        }
    }

    Error errorFor(Transfer& transfer, CURLcode code) {
        const auto& url = transfer.request.url;
        if (transfer.tooLarge || code == CURLE_FILESIZE_EXCEEDED) {
            return urlError(kUrlErrorDataLengthExceedsMaximum,
                            "The response body exceeds the limit of " +
                                std::to_string(transfer.maximumResponseSize) + " bytes.",
                            url);
        }
        if (transfer.writeErrno != 0) {
            return urlError(kUrlErrorCannotWriteToFile,
                            std::string("Could not write the download file: ") +
                                std::strerror(transfer.writeErrno),
                            url);
        }
        long osErrno = 0;
        curl_easy_getinfo(transfer.easy, CURLINFO_OS_ERRNO, &osErrno);
        std::string description = transfer.errorBuffer;
        if (description.empty()) description = curl_easy_strerror(code);
        Error error = urlError(urlErrorCode(code, osErrno), std::move(description), url);
        error.userInfo["curlCode"] = static_cast<int>(code);
        return error;
    }

    /// Follows the redirect that ended the last hop, or ends the task with
    /// an error (and no response: a redirect is not the server's answer)
    /// when the policy refuses it.
    void redirect(Transfer& transfer) {
        const std::string& from = transfer.request.url;
        const auto resolved =
            resolveLocation(from, transfer.response.header("Location").value_or(""));
        if (!resolved) {
            fail(transfer, urlError(kUrlErrorBadServerResponse,
                                    "The redirect's location is not a valid URL.", from));
            return;
        }
        const std::string& target = *resolved;
        if (auto refused = checkRedirect(transfer, target)) {
            fail(transfer, std::move(*refused));
            return;
        }
        if (++transfer.redirects > transfer.maximumRedirects) {
            fail(transfer, urlError(kUrlErrorHttpTooManyRedirects,
                                    "Too many redirects (more than " +
                                        std::to_string(transfer.maximumRedirects) + ").",
                                    from));
            return;
        }

        UrlRequest next = transfer.request;
        next.url = target;
        const int status = transfer.response.statusCode;
        const std::string method = next.httpMethod.empty() ? "GET" : next.httpMethod;
        // As browsers do: 303 asks for a GET, and 301 and 302 turn a POST into one.
        if ((status == 303 && method != "GET" && method != "HEAD") ||
            ((status == 301 || status == 302) && method == "POST")) {
            next.httpMethod = "GET";
            next.httpBody.clear();
            for (const char* name : {"Content-Type", "Content-Encoding", "Content-Length"})
                next.headers.erase(std::string(name));
        }
        if (originOf(target) != originOf(from)) {
            // Credentials and whatever else the caller set are meant for one origin only.
            next.headers.clear();
            transfer.leftOrigin = true;
        }
        removeFromMulti(transfer);
        transfer.request = std::move(next);
        transfer.resetForRetry();
        applyRequest(transfer, transfer.session().configuration());
        addToMulti(transfer);
    }

    /// Why the transfer's policy does not follow a redirect to `target`, if it does not.
    static std::optional<Error> checkRedirect(const Transfer& transfer, const std::string& target) {
        const std::string& from = transfer.request.url;
        auto refused = [&](int64_t code, const std::string& why) {
            Error error = urlError(code, why, from);
            error.userInfo["redirectURL"] = target;
            error.userInfo["statusCode"] = transfer.response.statusCode;
            return error;
        };
        if (checkUrl(target)) {
            return refused(kUrlErrorUnsupportedUrl,
                           "Redirect refused: the target's scheme is not supported.");
        }
        const auto source = originOf(from);
        const auto destination = originOf(target);
        if (!source || !destination) {
            return refused(kUrlErrorBadServerResponse,
                           "Redirect refused: the target is not a valid URL.");
        }
        if (source->scheme == "https" && destination->scheme == "http") {
            return refused(kUrlErrorSecureConnectionRequired,
                           "Redirect refused: it leads from https to http.");
        }
        if (transfer.redirectPolicy == UrlRedirectPolicy::SameOrigin && source != destination) {
            return refused(kUrlErrorRedirectToOtherOrigin,
                           "Redirect refused: it leads to another scheme, host or port.");
        }
        return std::nullopt;
    }

    /// Ends the transfer with what curl gathered, and `error` if any.
    void complete(Transfer& transfer, std::optional<Error> error) {
        UrlSessionTask::Outcome outcome;
        long status = 0;
        curl_easy_getinfo(transfer.easy, CURLINFO_RESPONSE_CODE, &status);
        if (status > 0 && transfer.sawStatusLine && !transfer.redirectPending) {
            HttpResponse response = transfer.response;
            response.statusCode = static_cast<int>(status);
            char* url = nullptr;
            if (curl_easy_getinfo(transfer.easy, CURLINFO_EFFECTIVE_URL, &url) == CURLE_OK && url) {
                response.url = url;
                outcome.finalUrl = url;
            }
            if (response.expectedContentLength == kUrlSessionTransferSizeUnknown) {
                response.expectedContentLength = transfer.task->countOfBytesExpectedToReceive();
            }
            outcome.response = std::move(response);
        }
        curl_off_t uploaded = 0;
        if (curl_easy_getinfo(transfer.easy, CURLINFO_SIZE_UPLOAD_T, &uploaded) == CURLE_OK) {
            transfer.task->bytesSent_.store(static_cast<int64_t>(uploaded));
        }
        outcome.error = std::move(error);
        outcome.body = std::move(transfer.body);
        if (transfer.isDownload && transfer.downloadFd) {
            transfer.downloadFd.reset();
            outcome.downloadPath = transfer.downloadPath;
        }
        auto task = transfer.task;
        removeFromMulti(transfer);
        transfers_.erase(task.get());
        task->finish(std::move(outcome));
    }

    /// Ends a transfer that never produced anything.
    void fail(Transfer& transfer, Error error) {
        UrlSessionTask::Outcome outcome;
        outcome.error = std::move(error);
        if (transfer.downloadFd) {
            transfer.downloadFd.reset();
            ::unlink(transfer.downloadPath.c_str());
        }
        auto task = transfer.task;
        removeFromMulti(transfer);
        transfers_.erase(task.get());
        task->finish(std::move(outcome));
    }

    void cancelTransfer(UrlSessionTask& task) {
        const auto found = transfers_.find(&task);
        if (found == transfers_.end()) return;
        Transfer& transfer = *found->second;
        if (transfer.downloadFd) {
            transfer.downloadFd.reset();
            ::unlink(transfer.downloadPath.c_str());
        }
        transfer.body.clear();
        complete(transfer, cancelledError(transfer.request.url));
    }

    void pauseTransfer(UrlSessionTask& task, bool paused) {
        const auto found = transfers_.find(&task);
        if (found == transfers_.end()) return;
        Transfer& transfer = *found->second;
        if (transfer.paused == paused) return;
        transfer.paused = paused;
        transfer.touch();
        if (transfer.inMulti)
            curl_easy_pause(transfer.easy, paused ? CURLPAUSE_ALL : CURLPAUSE_CONT);
    }

    void startWaiting(Transfer& transfer) {
        removeFromMulti(transfer);
        transfer.resetForRetry();
        transfer.waiting = true;
        const auto& configuration = transfer.session().configuration();
        transfer.retryAt = Clock::now() + retryPause(configuration, transfer.connectivityFailures);
        ++transfer.connectivityFailures;
        transfer.monitor = monitorFor(configuration);
        if (!transfer.toldWaiting) {
            transfer.toldWaiting = true;
            auto task = transfer.task;
            task->session_->deliver([task] {
                auto& session = *task->session_;
                if (auto delegate = session.delegate_.lock()) {
                    delegate->taskIsWaitingForConnectivity(session, *task);
                }
            });
        }
    }

    /// The pause before the next attempt of a task that failed to connect
    /// `failures` times before: the interval, doubled per failure, capped.
    static Clock::duration retryPause(const UrlSessionConfiguration& configuration, int failures) {
        const double base = configuration.connectivityRetryInterval;
        if (!(base > 0)) return Clock::duration::max() / 2;
        const double cap = std::max(base, configuration.maximumConnectivityRetryInterval);
        const double pause = std::min(cap, std::ldexp(base, std::min(failures, 60)));
        return secondsOr(pause, Clock::duration::max() / 2);
    }

    void retry(Transfer& transfer) {
        transfer.waiting = false;
        transfer.retryAt = Clock::time_point::max();
        addToMulti(transfer);
    }

    /// The monitor that tells waiting tasks of this configuration to try again.
    std::shared_ptr<ReachabilityMonitor> monitorFor(const UrlSessionConfiguration& configuration) {
        auto monitor = configuration.reachabilityMonitor;
        if (!monitor) {
            if (!defaultMonitor_ && !defaultMonitorFailed_) {
                defaultMonitor_ = std::make_shared<ReachabilityMonitor>();
                // Without a route socket, waiting tasks still retry on their interval.
                if (defaultMonitor_->start()) {
                    defaultMonitor_.reset();
                    defaultMonitorFailed_ = true;
                }
            }
            monitor = defaultMonitor_;
        }
        if (!monitor) return nullptr;
        auto& subscription = subscriptions_[monitor.get()];
        if (subscription.monitor.lock() != monitor) {
            subscription.monitor = monitor;
            ReachabilityMonitor* key = monitor.get();
            subscription.token = monitor->addListener([this, key](uint32_t flags) {
                if (!(flags & kReachabilityFlagReachable)) return;
                post([this, key] { connectivityReturned(key); }, nullptr);
            });
            monitor->start();
        }
        return monitor;
    }

    void connectivityReturned(ReachabilityMonitor* monitor) {
        std::vector<Transfer*> due;
        for (auto& [task, transfer] : transfers_) {
            if (transfer->waiting && !transfer->paused && transfer->monitor.get() == monitor) {
                due.push_back(transfer.get());
            }
        }
        for (auto* transfer : due) {
            // The network changed: worth trying soon again if this attempt fails too.
            transfer->connectivityFailures = 0;
            retry(*transfer);
        }
    }

    void timeOut(Transfer& transfer) {
        std::string description = "The request timed out.";
        if (transfer.waitingError) {
            description += " It was waiting for connectivity after: " +
                           transfer.waitingError->localizedDescription;
        }
        transfer.body.clear();
        complete(transfer, urlError(kUrlErrorTimedOut, description, transfer.request.url));
    }

    /// Ends transfers that went quiet or ran out of time, retries waiting
    /// ones that are due, and says how long the worker may sleep.
    int checkTimers() {
        const auto now = Clock::now();
        auto next = now + std::chrono::seconds(60);
        std::vector<Transfer*> timedOut;
        std::vector<Transfer*> due;
        for (auto& [task, transfer] : transfers_) {
            if (now >= transfer->deadline) {
                timedOut.push_back(transfer.get());
                continue;
            }
            next = std::min(next, transfer->deadline);
            if (transfer->paused) continue;
            if (transfer->waiting) {
                if (now >= transfer->retryAt) {
                    due.push_back(transfer.get());
                } else {
                    next = std::min(next, transfer->retryAt);
                }
                continue;
            }
            const auto idleEnd = transfer->lastActivity + transfer->idleTimeout;
            if (now >= idleEnd) {
                timedOut.push_back(transfer.get());
            } else {
                next = std::min(next, idleEnd);
            }
        }
        for (auto* transfer : timedOut) timeOut(*transfer);
        for (auto* transfer : due) retry(*transfer);
        if (!timedOut.empty() || !due.empty()) return 0;
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count();
        return static_cast<int>(std::clamp<long long>(wait + 1, 0, 60000));
    }

    struct Subscription {
        std::weak_ptr<ReachabilityMonitor> monitor;
        uint64_t token = 0;
    };

    std::mutex mutex_;
    std::vector<std::function<void()>> commands_;
    CURLM* multi_ = nullptr;
    std::thread thread_;

    // Worker thread only.
    std::map<UrlSessionTask*, std::unique_ptr<Transfer>> transfers_;
    std::map<ReachabilityMonitor*, Subscription> subscriptions_;
    std::shared_ptr<ReachabilityMonitor> defaultMonitor_;
    bool defaultMonitorFailed_ = false;
};

}  // namespace detail

// MARK: - Tasks

UrlSessionTask::UrlSessionTask(Kind kind, std::shared_ptr<UrlSession> session, UrlRequest request,
                               std::optional<Error> creationError)
    : kind_(kind),
      identifier_(gNextTaskIdentifier.fetch_add(1)),
      session_(std::move(session)),
      originalRequest_(request),
      creationError_(std::move(creationError)),
      currentRequest_(std::move(request)) {}

UrlSessionTask::~UrlSessionTask() = default;

UrlSessionTaskState UrlSessionTask::state() const {
    std::lock_guard guard(mutex_);
    return state_;
}

UrlRequest UrlSessionTask::originalRequest() const {
    return originalRequest_;
}

UrlRequest UrlSessionTask::currentRequest() const {
    std::lock_guard guard(mutex_);
    return currentRequest_;
}

bool UrlSessionTask::setCurrentRequest(UrlRequest request) {
    std::lock_guard guard(mutex_);
    if (started_ || finished_) return false;
    currentRequest_ = std::move(request);
    return true;
}

std::optional<HttpResponse> UrlSessionTask::response() const {
    std::lock_guard guard(mutex_);
    return response_;
}

std::optional<Error> UrlSessionTask::error() const {
    std::lock_guard guard(mutex_);
    return error_;
}

int64_t UrlSessionTask::countOfBytesExpectedToSend() const {
    std::lock_guard guard(mutex_);
    return static_cast<int64_t>(currentRequest_.httpBody.size());
}

bool UrlSessionTask::changeState(UrlSessionTaskState from, UrlSessionTaskState to) {
    {
        std::lock_guard guard(mutex_);
        if (finished_ || state_ != from) return false;
    }
    // Observers run without the task's lock: they read the task.
    UrlSessionTaskObservers::notifyWillChangeState(*this, to);
    std::lock_guard guard(mutex_);
    if (finished_ || state_ != from) return false;
    state_ = to;
    return true;
}

void UrlSessionTask::resume() {
    {
        std::lock_guard guard(mutex_);
        if (finished_ || state_ != UrlSessionTaskState::Suspended) return;
    }
    UrlSessionTaskObservers::notifyWillResume(*this);
    if (!changeState(UrlSessionTaskState::Suspended, UrlSessionTaskState::Running)) return;
    bool begin = false;
    UrlRequest request;
    {
        std::lock_guard guard(mutex_);
        begin = !started_;
        started_ = true;
        request = currentRequest_;
    }
    auto self = shared_from_this();
    if (!begin) {
        detail::TransferEngine::shared().setPaused(self, false);
    } else if (creationError_) {
        Outcome outcome;
        outcome.error = creationError_;
        finish(std::move(outcome));
    } else {
        detail::TransferEngine::shared().start(self, std::move(request));
    }
}

void UrlSessionTask::suspend() {
    if (!changeState(UrlSessionTaskState::Running, UrlSessionTaskState::Suspended)) return;
    detail::TransferEngine::shared().setPaused(shared_from_this(), true);
}

void UrlSessionTask::cancel() {
    UrlSessionTaskState from;
    {
        std::lock_guard guard(mutex_);
        if (finished_ ||
            (state_ != UrlSessionTaskState::Running && state_ != UrlSessionTaskState::Suspended)) {
            return;
        }
        from = state_;
    }
    if (!changeState(from, UrlSessionTaskState::Canceling)) return;
    bool started = false;
    {
        std::lock_guard guard(mutex_);
        started = started_;
    }
    if (started) {
        detail::TransferEngine::shared().cancel(shared_from_this());
    } else {
        Outcome outcome;
        outcome.error = cancelledError(originalRequest_.url);
        finish(std::move(outcome));
    }
}

std::shared_ptr<void> UrlSessionTask::associatedObject(const std::string& key) const {
    std::lock_guard guard(associationsMutex_);
    const auto found = associations_.find(key);
    return found == associations_.end() ? nullptr : found->second;
}

void UrlSessionTask::setAssociatedObject(const std::string& key, std::shared_ptr<void> value) {
    std::lock_guard guard(associationsMutex_);
    if (value) {
        associations_[key] = std::move(value);
    } else {
        associations_.erase(key);
    }
}

void UrlSessionTask::withAssociatedObjects(const std::function<void(AssociatedObjects&)>& block) {
    std::lock_guard guard(associationsMutex_);
    if (block) block(associations_);
}

void UrlSessionTask::finish(Outcome outcome) {
    {
        std::lock_guard guard(mutex_);
        if (finished_) return;
        finished_ = true;
        // A task cancelled while its transfer was ending still reports the cancellation.
        if (state_ == UrlSessionTaskState::Canceling &&
            !(outcome.error && outcome.error->code == kUrlErrorCancelled)) {
            outcome.error = cancelledError(originalRequest_.url);
            outcome.body.clear();
            if (!outcome.downloadPath.empty()) {
                ::unlink(outcome.downloadPath.c_str());
                outcome.downloadPath.clear();
            }
        }
        if (outcome.response) response_ = outcome.response;
        error_ = outcome.error;
        if (!outcome.finalUrl.empty()) currentRequest_.url = outcome.finalUrl;
    }
    auto self = shared_from_this();
    session_->deliver(
        [self, outcome = std::move(outcome)]() mutable { self->deliver(std::move(outcome)); });
}

void UrlSessionTask::deliver(Outcome outcome) {
    UrlSessionTaskObservers::notifyWillChangeState(*this, UrlSessionTaskState::Completed);
    {
        std::lock_guard guard(mutex_);
        state_ = UrlSessionTaskState::Completed;
    }
    UrlSession& session = *session_;
    auto delegate = session.delegate_.lock();
    bool hadCompletion = false;
    if (kind_ == Kind::Data) {
        auto& task = static_cast<UrlSessionDataTask&>(*this);
        if (auto completion = std::move(task.completion_)) {
            hadCompletion = true;
            completion(std::move(outcome.body), std::move(outcome.response),
                       std::move(outcome.error));
        }
    } else {
        auto& task = static_cast<UrlSessionDownloadTask&>(*this);
        const bool downloaded = !outcome.error && !outcome.downloadPath.empty();
        if (auto completion = std::move(task.completion_)) {
            hadCompletion = true;
            completion(downloaded ? outcome.downloadPath : std::string(), outcome.response,
                       outcome.error);
        } else if (downloaded && delegate) {
            delegate->didFinishDownloadingToUrl(session, task, outcome.downloadPath);
        }
        if (!outcome.downloadPath.empty()) ::unlink(outcome.downloadPath.c_str());
    }
    if (!hadCompletion && delegate) delegate->didCompleteWithError(session, *this, outcome.error);
    session.taskEnded(identifier_);
}

UrlSessionDataTask::UrlSessionDataTask(std::shared_ptr<UrlSession> session, UrlRequest request,
                                       Completion completion, std::optional<Error> creationError)
    : UrlSessionTask(Kind::Data, std::move(session), std::move(request), std::move(creationError)),
      completion_(std::move(completion)) {}

UrlSessionDownloadTask::UrlSessionDownloadTask(std::shared_ptr<UrlSession> session,
                                               UrlRequest request, Completion completion,
                                               std::optional<Error> creationError)
    : UrlSessionTask(Kind::Download, std::move(session), std::move(request),
                     std::move(creationError)),
      completion_(std::move(completion)) {}

// MARK: - Sessions

UrlSessionConfiguration UrlSessionConfiguration::defaultConfiguration() {
    return UrlSessionConfiguration{};
}

UrlSessionConfiguration UrlSessionConfiguration::ephemeralConfiguration() {
    UrlSessionConfiguration configuration;
    configuration.ephemeral = true;
    return configuration;
}

std::shared_ptr<UrlSession> UrlSession::make(UrlSessionConfiguration configuration,
                                             std::weak_ptr<UrlSessionDelegate> delegate,
                                             std::shared_ptr<SerialQueue> delegateQueue) {
    if (!delegateQueue) delegateQueue = std::make_shared<SerialQueue>("skald-url-session");
    return std::shared_ptr<UrlSession>(new UrlSession(std::move(configuration), std::move(delegate),
                                                      std::move(delegateQueue), nullptr));
}

std::shared_ptr<UrlSession> UrlSession::make(UrlSessionConfiguration configuration,
                                             std::weak_ptr<UrlSessionDelegate> delegate,
                                             std::shared_ptr<OperationQueue> operationQueue) {
    auto executor = std::make_shared<SerialQueue>(
        operationQueue ? operationQueue->name() : std::string("skald-url-session"));
    return std::shared_ptr<UrlSession>(new UrlSession(std::move(configuration), std::move(delegate),
                                                      std::move(executor),
                                                      std::move(operationQueue)));
}

UrlSession::UrlSession(UrlSessionConfiguration configuration,
                       std::weak_ptr<UrlSessionDelegate> delegate,
                       std::shared_ptr<SerialQueue> delegateQueue,
                       std::shared_ptr<OperationQueue> operationQueue)
    : configuration_(std::move(configuration)),
      delegate_(std::move(delegate)),
      delegateQueue_(std::move(delegateQueue)),
      operationQueue_(std::move(operationQueue)) {}

namespace {

/// One delegate callback as an operation: it runs on the session's thread
/// and finishes when the callback returned. It cannot be cancelled: the
/// block also ends the task (its state, its file), which must not be lost.
class DelegateOperation final : public AsynchronousOperation {
  public:
    DelegateOperation(std::shared_ptr<SerialQueue> executor, std::function<void()> block)
        : executor_(std::move(executor)), block_(std::move(block)) {}

    void cancel() override {}

  protected:
    void main() override {
        auto self = std::static_pointer_cast<DelegateOperation>(shared_from_this());
        executor_->async([self] {
            self->block_();
            self->block_ = nullptr;
            self->completeOperation();
        });
    }

  private:
    std::shared_ptr<SerialQueue> executor_;
    std::function<void()> block_;
};

}  // namespace

void UrlSession::deliver(std::function<void()> block) {
    if (operationQueue_) {
        operationQueue_->addOperation(
            std::make_shared<DelegateOperation>(delegateQueue_, std::move(block)));
    } else {
        delegateQueue_->async(std::move(block));
    }
}

const std::shared_ptr<OperationQueue>& UrlSession::delegateOperationQueue() const {
    return operationQueue_;
}

UrlSession::~UrlSession() = default;

const UrlSessionConfiguration& UrlSession::configuration() const {
    return configuration_;
}

const std::shared_ptr<SerialQueue>& UrlSession::delegateQueue() const {
    return delegateQueue_;
}

template <typename Task, typename Completion>
std::shared_ptr<Task> UrlSession::makeTask(UrlRequest request, Completion completion) {
    std::lock_guard guard(mutex_);
    std::optional<Error> creationError;
    if (invalidated_) {
        creationError = urlError(
            kUrlErrorUnknown, "Task created in a session that has been invalidated", request.url);
    }
    auto task = std::make_shared<Task>(shared_from_this(), std::move(request),
                                       std::move(completion), std::move(creationError));
    if (!invalidated_) tasks_.emplace(task->taskIdentifier(), task);
    return task;
}

std::shared_ptr<UrlSessionDataTask> UrlSession::dataTask(
    UrlRequest request, UrlSessionDataTask::Completion completion) {
    return makeTask<UrlSessionDataTask>(std::move(request), std::move(completion));
}

std::shared_ptr<UrlSessionDownloadTask> UrlSession::downloadTask(
    UrlRequest request, UrlSessionDownloadTask::Completion completion) {
    return makeTask<UrlSessionDownloadTask>(std::move(request), std::move(completion));
}

std::shared_ptr<UrlSessionDownloadTask> UrlSession::downloadTaskWithUrl(const std::string& url) {
    return downloadTask(UrlRequest(url));
}

std::vector<std::shared_ptr<UrlSessionTask>> UrlSession::allTasks() const {
    std::lock_guard guard(mutex_);
    std::vector<std::shared_ptr<UrlSessionTask>> result;
    for (const auto& [identifier, weak] : tasks_) {
        if (auto task = weak.lock()) result.push_back(std::move(task));
    }
    return result;
}

void UrlSession::finishTasksAndInvalidate() {
    {
        std::lock_guard guard(mutex_);
        if (invalidated_) return;
        invalidated_ = true;
    }
    taskEnded(0);
}

void UrlSession::invalidateAndCancel() {
    {
        std::lock_guard guard(mutex_);
        if (invalidated_) return;
        invalidated_ = true;
    }
    for (const auto& task : allTasks()) task->cancel();
    taskEnded(0);
}

void UrlSession::taskEnded(uint64_t identifier) {
    {
        std::lock_guard guard(mutex_);
        tasks_.erase(identifier);
        std::erase_if(tasks_, [](const auto& entry) { return entry.second.expired(); });
        if (!invalidated_ || invalidationReported_ || !tasks_.empty()) return;
        invalidationReported_ = true;
    }
    auto self = shared_from_this();
    deliver([self] {
        if (auto delegate = self->delegate_.lock()) {
            delegate->didBecomeInvalidWithError(*self, std::nullopt);
        }
    });
}

}  // namespace skald::platform
