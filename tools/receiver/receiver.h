#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tools/receiver/inbox.h"

namespace httplib {
class Server;
}

namespace skald {
class Envelope;
}

namespace skald::tools {

class WebView;

/// How the receiver answers and where it keeps what it gets.
struct ReceiverConfig {
    std::string host = "127.0.0.1";
    /// 0 picks a free port.
    int port = 8969;
    /// Folder that receives one file per accepted envelope; empty keeps none.
    std::string storeDirectory;
    /// When set, the "skald_key" of the authentication header must equal it.
    std::optional<std::string> expectedKey;
    /// Status answered for accepted envelopes.
    int status = 200;
    std::optional<std::string> rateLimitsHeader;
    std::optional<std::string> retryAfterHeader;
    /// How long each envelope request waits before it is answered (a slow service).
    std::chrono::milliseconds responseDelay{0};
    /// Gets each summary line; stdout when empty.
    std::function<void(const std::string&)> output;
    /// What the web view keeps of the items it shows.
    InboxLimits inboxLimits;
    /// Envelopes kept for received(); the oldest go first.
    size_t maxKeptEnvelopes = 1000;
    size_t maxKeptBytes = 256u * 1024 * 1024;
};

/// One envelope as it arrived.
struct ReceivedEnvelope {
    std::string path;        ///< request path
    std::string authHeader;  ///< X-Skald-Auth ("" for the development stream)
    std::string contentType;
    std::string userAgent;
    std::string body;        ///< the envelope bytes, decompressed
    std::string storedFile;  ///< where it was written, if anywhere
};

/// A local stand-in for the error-tracking service: accepts envelopes at the
/// envelope endpoint of any DSN that points at it and at "/stream", and shows
/// what arrived in a web view at "/".
class Receiver {
  public:
    explicit Receiver(ReceiverConfig config);
    ~Receiver();
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;

    /// Binds and serves on a thread of its own. False (with `error`) when it cannot bind.
    bool start(std::string* error = nullptr);
    void stop();
    int port() const { return port_; }

    /// Answers for later requests; tests change them between sends.
    void setStatus(int status);
    void setRateLimitsHeader(std::optional<std::string> value);
    void setRetryAfterHeader(std::optional<std::string> value);

    /// The envelopes accepted, oldest first (the latest ones, within the config's limits).
    std::vector<ReceivedEnvelope> received() const;
    /// Waits until at least `count` envelopes were accepted in all.
    bool waitForEnvelopes(size_t count, std::chrono::milliseconds timeout) const;
    /// Requests refused (bad key, not gzip, not an envelope, ...).
    size_t rejectedCount() const;
    /// The decoded items the web view shows.
    const Inbox& inbox() const { return *inbox_; }

  private:
    struct Answer {
        int status;
        std::string body;
        bool accepted;
    };
    Answer handle(const std::string& path, const std::string& auth, const std::string& encoding,
                  const std::string& contentType, const std::string& userAgent,
                  const std::string& body, bool needsAuth);
    void emit(const std::string& line);

    ReceiverConfig config_;
    std::unique_ptr<Inbox> inbox_;
    std::unique_ptr<WebView> webView_;
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    int port_ = 0;

    mutable std::mutex mutex_;
    mutable std::condition_variable arrived_;
    std::deque<ReceivedEnvelope> received_;
    size_t receivedBytes_ = 0;
    size_t accepted_ = 0;
    size_t rejected_ = 0;
    size_t sequence_ = 0;
};

/// Checks an "X-Skald-Auth" value: "Skald " then comma-separated key=value
/// pairs with "skald_key". Gives the key, or nothing with `problem` set.
std::optional<std::string> publicKeyFromAuthHeader(const std::string& header,
                                                   std::string* problem = nullptr);

/// One line per item of an envelope, or nothing when the bytes are not an envelope.
std::optional<std::vector<std::string>> summarizeEnvelope(const std::string& bytes);
std::vector<std::string> summarizeEnvelope(const Envelope& envelope);

}  // namespace skald::tools
