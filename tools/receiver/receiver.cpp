#include "tools/receiver/receiver.h"

#include <httplib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "skald/platform/gzip.h"
#include "skald/serialization.h"
#include "tools/receiver/web_view.h"

namespace skald::tools {

namespace {
// Far above any envelope the SDK sends; keeps a hostile body from eating memory.
constexpr size_t kMaxEnvelopeSize = 200u * 1024 * 1024;
}  // namespace

std::optional<std::string> publicKeyFromAuthHeader(const std::string& header,
                                                   std::string* problem) {
    auto fail = [&](const char* text) -> std::optional<std::string> {
        if (problem) *problem = text;
        return std::nullopt;
    };
    if (header.empty()) return fail("missing X-Skald-Auth header");
    if (header.rfind("Skald ", 0) != 0) return fail("X-Skald-Auth must start with \"Skald \"");
    std::optional<std::string> key;
    bool sawVersion = false;
    size_t start = 6;
    while (start <= header.size()) {
        size_t end = header.find(',', start);
        if (end == std::string::npos) end = header.size();
        const std::string pair = header.substr(start, end - start);
        const size_t equals = pair.find('=');
        if (equals == std::string::npos || equals == 0) return fail("malformed X-Skald-Auth pair");
        const std::string name = pair.substr(0, equals);
        const std::string value = pair.substr(equals + 1);
        if (name == "skald_key") key = value;
        if (name == "skald_version") sawVersion = true;
        start = end + 1;
    }
    if (!sawVersion) return fail("X-Skald-Auth has no skald_version");
    if (!key || key->empty()) return fail("X-Skald-Auth has no skald_key");
    return key;
}

Receiver::Receiver(ReceiverConfig config)
    : config_(std::move(config)),
      inbox_(std::make_unique<Inbox>(config_.inboxLimits)),
      webView_(std::make_unique<WebView>(*inbox_)),
      server_(std::make_unique<httplib::Server>()) {}

Receiver::~Receiver() {
    stop();
}

bool Receiver::start(std::string* error) {
    server_->set_payload_max_length(kMaxEnvelopeSize);
    // Idle keep-alive connections hold up stop(); keep them short.
    server_->set_keep_alive_timeout(1);
    server_->set_tcp_nodelay(true);
    server_->new_task_queue = [] { return new httplib::ThreadPool(kWebViewWorkerThreads); };
    auto route = [this](bool needsAuth) {
        return [this, needsAuth](const httplib::Request& request, httplib::Response& response) {
            const Answer answer =
                handle(request.path, request.get_header_value("X-Skald-Auth"),
                       request.get_header_value("Content-Encoding"),
                       request.get_header_value("Content-Type"),
                       request.get_header_value("User-Agent"), request.body, needsAuth);
            response.status = answer.status;
            if (answer.accepted) {
                std::lock_guard guard(mutex_);
                if (config_.rateLimitsHeader) {
                    response.set_header("X-Skald-Rate-Limits", *config_.rateLimitsHeader);
                }
                if (config_.retryAfterHeader) {
                    response.set_header("Retry-After", *config_.retryAfterHeader);
                }
            }
            response.set_content(answer.body, "text/plain");
        };
    };
    server_->set_error_handler(
        [this](const httplib::Request& request, httplib::Response& response) {
            if (!response.body.empty()) return;
            if (response.status == 400) {
                {
                    std::lock_guard guard(mutex_);
                    ++rejected_;
                }
                emit("rejected " + request.path + ": body is not valid gzip");
                response.set_content("body is not valid gzip\n", "text/plain");
            } else if (response.status == 404) {
                response.set_content(
                    "not found: envelopes go to /api/<project>/envelope/ or /stream, the web "
                    "view is at /\n",
                    "text/plain");
            }
        });
    server_->Post(R"((/[^?#]*)?/api/([^/]+)/envelope/?)", route(true));
    server_->Post("/stream", route(false));
    webView_->addRoutes(*server_);

    if (config_.port == 0) {
        port_ = server_->bind_to_any_port(config_.host.c_str());
        if (port_ < 0) port_ = 0;
    } else if (server_->bind_to_port(config_.host.c_str(), config_.port)) {
        port_ = config_.port;
    }
    if (port_ == 0) {
        if (error) *error = "cannot listen on " + config_.host + ":" + std::to_string(config_.port);
        return false;
    }
    if (!config_.storeDirectory.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(config_.storeDirectory, ec);
        if (ec) {
            if (error) *error = "cannot create " + config_.storeDirectory + ": " + ec.message();
            return false;
        }
    }
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    // A stop that comes before the loop runs would be lost: wait for it.
    while (!server_->is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return true;
}

void Receiver::stop() {
    // Open event streams wait on the inbox; they end before the server joins its threads.
    inbox_->close();
    if (server_) server_->stop();
    if (thread_.joinable()) thread_.join();
}

void Receiver::setStatus(int status) {
    std::lock_guard guard(mutex_);
    config_.status = status;
}

void Receiver::setRateLimitsHeader(std::optional<std::string> value) {
    std::lock_guard guard(mutex_);
    config_.rateLimitsHeader = std::move(value);
}

void Receiver::setRetryAfterHeader(std::optional<std::string> value) {
    std::lock_guard guard(mutex_);
    config_.retryAfterHeader = std::move(value);
}

std::vector<ReceivedEnvelope> Receiver::received() const {
    std::lock_guard guard(mutex_);
    return {received_.begin(), received_.end()};
}

bool Receiver::waitForEnvelopes(size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return arrived_.wait_for(lock, timeout, [&] { return accepted_ >= count; });
}

size_t Receiver::rejectedCount() const {
    std::lock_guard guard(mutex_);
    return rejected_;
}

Receiver::Answer Receiver::handle(const std::string& path, const std::string& auth,
                                  const std::string& encoding, const std::string& contentType,
                                  const std::string& userAgent, const std::string& body,
                                  bool needsAuth) {
    if (config_.responseDelay.count() > 0) std::this_thread::sleep_for(config_.responseDelay);
    auto reject = [&](int status, std::string why) {
        {
            std::lock_guard guard(mutex_);
            ++rejected_;
        }
        emit("rejected " + path + ": " + why);
        return Answer{status, why + "\n", false};
    };

    if (needsAuth) {
        std::string problem;
        const auto key = publicKeyFromAuthHeader(auth, &problem);
        if (!key) return reject(401, problem);
        std::optional<std::string> expected;
        {
            std::lock_guard guard(mutex_);
            expected = config_.expectedKey;
        }
        if (expected && *key != *expected) return reject(403, "unknown public key " + *key);
    }
    if (encoding != "gzip") return reject(415, "expected Content-Encoding: gzip");
    // The HTTP library inflates gzip bodies itself when it was built with zlib
    // (and refuses broken ones before we see them); inflate here otherwise.
    std::optional<std::string> envelope = body;
    if (body.size() >= 2 && static_cast<unsigned char>(body[0]) == 0x1f &&
        static_cast<unsigned char>(body[1]) == 0x8b) {
        envelope = gzipDecompress(body, kMaxEnvelopeSize);
    }
    if (!envelope) return reject(400, "body is not valid gzip");
    const auto parsed = Serialization::envelopeWithData(*envelope);
    if (!parsed) return reject(400, "body is not an envelope");

    ReceivedEnvelope record{path, auth, contentType, userAgent, std::move(*envelope), {}};
    int status;
    size_t number;
    {
        std::lock_guard guard(mutex_);
        number = ++sequence_;
        status = config_.status;
    }
    if (!config_.storeDirectory.empty()) {
        char name[64];
        std::snprintf(name, sizeof name, "%06zu.envelope", number);
        record.storedFile = (std::filesystem::path(config_.storeDirectory) / name).string();
        std::ofstream file(record.storedFile, std::ios::binary | std::ios::trunc);
        file.write(record.body.data(), static_cast<std::streamsize>(record.body.size()));
        if (!file) return reject(500, "cannot store " + record.storedFile);
    }
    for (const auto& line : summarizeEnvelope(*parsed)) {
        emit("#" + std::to_string(number) + " " + line);
    }
    inbox_->add(*parsed, record.body, number);
    {
        std::lock_guard guard(mutex_);
        receivedBytes_ += record.body.size();
        received_.push_back(std::move(record));
        ++accepted_;
        while (received_.size() > config_.maxKeptEnvelopes ||
               (received_.size() > 1 && receivedBytes_ > config_.maxKeptBytes)) {
            receivedBytes_ -= received_.front().body.size();
            received_.pop_front();
        }
    }
    arrived_.notify_all();
    return Answer{status, "{}", true};
}

void Receiver::emit(const std::string& line) {
    if (config_.output) {
        config_.output(line);
    } else {
        std::cout << line << std::endl;
    }
}

}  // namespace skald::tools
