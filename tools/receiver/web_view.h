#pragma once

#include <atomic>
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
    Inbox& inbox_;
    std::atomic<int> streams_{0};
};

/// A Content-Disposition value that downloads under `filename`, whatever it holds.
std::string attachmentDisposition(std::string_view filename);

}  // namespace skald::tools
