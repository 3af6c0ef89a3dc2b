#pragma once

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace httplib {
class Server;
}

namespace skald::tools {

class Inbox;

/// Worker threads the receiver's server needs: envelopes and open event streams share them.
constexpr int kWebViewWorkerThreads = 16;

/// The web view's routes: the page and its files at "/", JSON at "/api/...",
/// attachments to download, and server-sent events of new items at GET "/stream".
class WebView {
  public:
    explicit WebView(Inbox& inbox);
    void addRoutes(httplib::Server& server);

  private:
    struct Stream {
        std::atomic<bool> evicted{false};
    };
    /// A slot for a new stream, or nothing when too many are open. Beyond the
    /// usual number the oldest stream is told to end: a page that was left may
    /// not be noticed for a while, and the newest page should get its updates.
    std::shared_ptr<Stream> openStream();
    void closeStream(const std::shared_ptr<Stream>& stream);

    Inbox& inbox_;
    std::mutex streamsMutex_;
    std::deque<std::shared_ptr<Stream>> streams_;  // oldest first
};

/// A Content-Disposition value that downloads under `filename`, whatever it holds.
std::string attachmentDisposition(std::string_view filename);

}  // namespace skald::tools
