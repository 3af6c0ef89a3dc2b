#include "tools/receiver/web_view.h"

#include <httplib.h>

#include <charconv>

#include "tools/receiver/inbox.h"
#include "tools/receiver/web_assets.h"
#include "util/json_bytes.h"

namespace skald::tools {

namespace {

// Each open stream holds one of the server's worker threads; leave at least
// half of them to envelopes.
constexpr size_t kUsualStreams = kWebViewWorkerThreads / 2 - 2;
constexpr size_t kMaxStreams = kWebViewWorkerThreads / 2;
// A stream learns that its page has gone only when a write fails: ping often,
// so that pages left behind free their thread within seconds.
constexpr auto kStreamPing = std::chrono::seconds(2);
// How soon a stream told to end notices.
constexpr auto kStreamCheck = std::chrono::milliseconds(250);
constexpr size_t kListLimit = 1000;

// Only the page's own files may run or load: nothing from received data, nothing
// from the network.
void secure(httplib::Response& response) {
    response.set_header("Content-Security-Policy",
                        "default-src 'none'; script-src 'self'; style-src 'self'; "
                        "img-src 'self' data:; connect-src 'self'; base-uri 'none'; "
                        "form-action 'none'; frame-ancestors 'none'");
    response.set_header("X-Content-Type-Options", "nosniff");
    response.set_header("Referrer-Policy", "no-referrer");
    response.set_header("Cache-Control", "no-store");
}

void sendJson(httplib::Response& response, const Json& value) {
    secure(response);
    response.set_content(describeJson(value), "application/json; charset=utf-8");
}

void notFound(httplib::Response& response, const std::string& what) {
    secure(response);
    response.status = 404;
    response.set_content(what + "\n", "text/plain; charset=utf-8");
}

uint64_t numberParam(const httplib::Request& request, const char* name, uint64_t fallback) {
    if (!request.has_param(name)) return fallback;
    const std::string text = request.get_param_value(name);
    uint64_t value = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    return result.ec == std::errc() && result.ptr == text.data() + text.size() ? value : fallback;
}

uint64_t numberMatch(const httplib::Request& request, size_t index) {
    const std::string text = request.matches[index];
    uint64_t value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    return value;
}

std::string sseEvent(const char* name, const Json& data) {
    // JSON text has no raw line feeds, so one "data:" line carries it.
    return std::string("event: ") + name + "\ndata: " + describeJson(data) + "\n\n";
}

}  // namespace

std::string attachmentDisposition(std::string_view filename) {
    std::string plain;
    std::string encoded;
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (const char c : filename.substr(0, 200)) {
        const auto byte = static_cast<unsigned char>(c);
        const bool safe = std::isalnum(byte) || c == '.' || c == '-' || c == '_';
        plain.push_back(safe && byte < 0x80 ? c : '_');
        if (safe && byte < 0x80) {
            encoded.push_back(c);
        } else {
            encoded += '%';
            encoded += kHex[byte >> 4];
            encoded += kHex[byte & 0xF];
        }
    }
    if (plain.empty() || plain.find_first_not_of('.') == std::string::npos) plain = "attachment";
    return "attachment; filename=\"" + plain + "\"; filename*=UTF-8''" + encoded;
}

WebView::WebView(Inbox& inbox) : inbox_(inbox) {}

void WebView::addRoutes(httplib::Server& server) {
    auto serveAsset = [](std::string_view path, httplib::Response& response) {
        for (const auto& asset : webAssets()) {
            if (asset.path != path) continue;
            secure(response);
            response.set_content(asset.data.data(), asset.data.size(),
                                 std::string(asset.contentType).c_str());
            return;
        }
        notFound(response, "no such file");
    };
    server.Get("/", [serveAsset](const httplib::Request&, httplib::Response& response) {
        serveAsset("/web/index.html", response);
    });
    server.Get(R"(/web/[A-Za-z0-9_.-]+)",
               [serveAsset](const httplib::Request& request, httplib::Response& response) {
                   serveAsset(request.path, response);
               });

    server.Get("/api/items", [this](const httplib::Request& request, httplib::Response& response) {
        const std::string kind = request.has_param("kind") ? request.get_param_value("kind") : "";
        sendJson(
            response,
            inbox_.list(kind, std::min<uint64_t>(numberParam(request, "limit", 500), kListLimit),
                        numberParam(request, "after", 0)));
    });
    server.Get(R"(/api/items/(\d{1,18}))",
               [this](const httplib::Request& request, httplib::Response& response) {
                   if (auto detail = inbox_.detail(numberMatch(request, 1))) {
                       sendJson(response, *detail);
                   } else {
                       notFound(response, "no such item (it may have made room for newer ones)");
                   }
               });
    server.Get(R"(/api/items/(\d{1,18})/attachments/(\d{1,9}))",
               [this](const httplib::Request& request, httplib::Response& response) {
                   const auto download =
                       inbox_.attachment(numberMatch(request, 1), numberMatch(request, 2));
                   if (!download) return notFound(response, "no such attachment");
                   secure(response);
                   // Never rendered by the browser: the bytes came from outside.
                   response.set_header("Content-Disposition",
                                       attachmentDisposition(download->filename));
                   response.set_content(download->data, "application/octet-stream");
               });
    server.Get("/api/sessions", [this](const httplib::Request&, httplib::Response& response) {
        sendJson(response, inbox_.sessions());
    });
    server.Get("/api/metrics", [this](const httplib::Request&, httplib::Response& response) {
        sendJson(response, inbox_.metrics());
    });

    server.Get("/stream", [this](const httplib::Request& request, httplib::Response& response) {
        secure(response);
        auto stream = openStream();
        if (!stream) {
            response.status = 503;
            response.set_content("too many open streams\n", "text/plain; charset=utf-8");
            return;
        }
        uint64_t last = numberParam(request, "after", inbox_.latestId());
        if (request.has_header("Last-Event-ID")) {
            const std::string text = request.get_header_value("Last-Event-ID");
            std::from_chars(text.data(), text.data() + text.size(), last);
        }
        response.set_header("X-Accel-Buffering", "no");
        using Clock = std::chrono::steady_clock;
        response.set_chunked_content_provider(
            "text/event-stream",
            [this, stream, last, started = false, lastWrite = Clock::now()](
                size_t, httplib::DataSink& sink) mutable {
                auto write = [&](const std::string& text) {
                    lastWrite = Clock::now();
                    return sink.write(text.data(), text.size());
                };
                if (!started) {
                    started = true;
                    return write("retry: 1000\n" +
                                 sseEvent("hello", {{"latest", inbox_.latestId()}}));
                }
                const uint64_t latest = inbox_.waitForNewer(last, kStreamCheck);
                if (inbox_.isClosed() || stream->evicted) return false;
                if (latest > last) {
                    const Json items = inbox_.list("", kListLimit, last)["items"];
                    std::string out;
                    // Oldest first, so the page can put each on top as it comes.
                    for (auto it = items.rbegin(); it != items.rend(); ++it) {
                        out += "id: " + std::to_string((*it)["id"].get<uint64_t>()) + "\n";
                        out += sseEvent("item", *it);
                    }
                    last = latest;
                    return write(out);
                }
                if (Clock::now() - lastWrite >= kStreamPing) return write(": ping\n\n");
                return true;
            },
            [this, stream](bool) { closeStream(stream); });
    });
}

std::shared_ptr<WebView::Stream> WebView::openStream() {
    std::lock_guard guard(streamsMutex_);
    if (streams_.size() >= kMaxStreams) return nullptr;
    size_t live = 0;
    for (const auto& stream : streams_) live += stream->evicted ? 0 : 1;
    if (live >= kUsualStreams) {
        for (const auto& stream : streams_) {
            if (!stream->evicted) {
                stream->evicted = true;
                break;
            }
        }
    }
    streams_.push_back(std::make_shared<Stream>());
    return streams_.back();
}

void WebView::closeStream(const std::shared_ptr<Stream>& stream) {
    std::lock_guard guard(streamsMutex_);
    std::erase(streams_, stream);
}

}  // namespace skald::tools
