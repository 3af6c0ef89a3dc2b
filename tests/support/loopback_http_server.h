#pragma once

#include <gtest/gtest.h>
#include <httplib.h>

#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/eventually.h"

namespace skald::test {

/// An in-process HTTP(S) server on a loopback port, stopped at the end of its scope.
class LoopbackHttpServer {
  public:
    /// A plain HTTP server unless given another (an `httplib::SSLServer`).
    explicit LoopbackHttpServer(std::unique_ptr<httplib::Server> server = nullptr)
        : server_(server ? std::move(server) : std::make_unique<httplib::Server>()) {
        // Idle keep-alive connections would hold up `stop` for seconds.
        server_->set_keep_alive_max_count(1);
    }
    ~LoopbackHttpServer() { stop(); }
    LoopbackHttpServer(const LoopbackHttpServer&) = delete;
    LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;

    httplib::Server* operator->() { return server_.get(); }

    /// On `port`, or on a free one with 0.
    void start(int port = 0) {
        if (port == 0) {
            port_ = server_->bind_to_any_port("127.0.0.1");
        } else {
            ASSERT_TRUE(server_->bind_to_port("127.0.0.1", port));
            port_ = port;
        }
        ASSERT_GT(port_, 0);
        thread_ = std::thread([this] { server_->listen_after_bind(); });
        ASSERT_TRUE(eventually([this] { return server_->is_running(); }));
    }
    void stop() {
        if (!thread_.joinable()) return;
        server_->stop();
        thread_.join();
    }
    int port() const { return port_; }
    std::string url(const std::string& path, const std::string& scheme = "http") const {
        return scheme + "://127.0.0.1:" + std::to_string(port_) + path;
    }

  private:
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    int port_ = 0;
};

/// Keeps a copy of every request that server handlers hand it.
class HttpRequestLog {
  public:
    void add(const httplib::Request& request) {
        std::lock_guard guard(mutex_);
        requests_.push_back(request);
    }
    std::vector<httplib::Request> all() {
        std::lock_guard guard(mutex_);
        return requests_;
    }

  private:
    std::mutex mutex_;
    std::vector<httplib::Request> requests_;
};

}  // namespace skald::test
