// Download tasks as an installer drives them: a session with a delegate on a
// serial operation queue, against real loopback servers and real files.
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "fake_netlink_source.h"
#include "skald/platform/operation_queue.h"
#include "platform/dispatch/serial_queue.h"
#include "platform/net/reachability.h"
#include "skald/platform/url_session.h"
#include "support/eventually.h"
#include "support/loopback_http_server.h"

namespace skald::platform {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::eventually;

using LoopbackServer = test::LoopbackHttpServer;

/// A loopback port nobody listens on, held until released.
class RefusingPort {
  public:
    RefusingPort() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t length = sizeof address;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
    }
    ~RefusingPort() { release(); }
    void release() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    int port() const { return port_; }
    std::string url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }

  private:
    int fd_ = -1;
    int port_ = 0;
};

/// Records every callback in order, and whether two ever overlapped.
class InstallerLikeDelegate : public UrlSessionDelegate {
  public:
    void didWriteData(UrlSession& session, UrlSessionDownloadTask&, int64_t written, int64_t total,
                      int64_t expected) override {
        enter(session);
        {
            std::lock_guard guard(mutex);
            progress.push_back({written, total, expected});
            events.push_back("progress");
        }
        // Slow enough that a queue running callbacks side by side would show it.
        std::this_thread::sleep_for(1ms);
        leave();
    }
    void didFinishDownloadingToUrl(UrlSession& session, UrlSessionDownloadTask& task,
                                   const std::string& location) override {
        enter(session);
        std::lock_guard guard(mutex);
        events.push_back("finished");
        finishedLocation = location;
        std::ifstream file(location, std::ios::binary);
        finishedContent.assign(std::istreambuf_iterator<char>(file), {});
        if (auto response = task.response()) finishedResponseUrl = response->url;
        // What the installer does: move the file away while it still exists.
        if (!moveTo.empty()) fs::rename(location, moveTo);
        leave();
    }
    void didCompleteWithError(UrlSession& session, UrlSessionTask&,
                              const std::optional<Error>& error) override {
        enter(session);
        {
            std::lock_guard guard(mutex);
            events.push_back(error ? "failed " + std::to_string(error->code) : "completed");
        }
        leave();
        ++completions;
    }
    void taskIsWaitingForConnectivity(UrlSession&, UrlSessionTask&) override { ++waiting; }

    void enter(UrlSession& session) {
        if (inside.fetch_add(1) != 0) overlapped = true;
        if (!session.delegateQueue()->isCurrent()) offQueue = true;
    }
    void leave() { inside.fetch_sub(1); }

    std::vector<std::string> eventsSnapshot() {
        std::lock_guard guard(mutex);
        return events;
    }

    struct Progress {
        int64_t written, total, expected;
    };
    std::mutex mutex;
    std::vector<Progress> progress;
    std::vector<std::string> events;
    std::string finishedLocation;
    std::string finishedContent;
    std::string finishedResponseUrl;
    std::string moveTo;
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    std::atomic<bool> offQueue{false};
    std::atomic<int> completions{0};
    std::atomic<int> waiting{0};
};

std::string patterned(size_t size) {
    std::string content(size, '\0');
    for (size_t i = 0; i < size; ++i) content[i] = static_cast<char>((i * 7 + i / 251) % 256);
    return content;
}

/// Download files left in a directory.
size_t leftoverDownloads(const fs::path& dir) {
    size_t count = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (entry.path().filename().string().rfind("skald-download-", 0) == 0) ++count;
    }
    return count;
}

class DownloadTaskTest : public ::testing::Test {
  protected:
    void SetUp() override {
        tmp = fs::temp_directory_path() /
              ("skald-download-test-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(tmp);
        fs::create_directories(tmp);
        if (const char* previous = std::getenv("TMPDIR")) savedTmpdir = previous;
        ::setenv("TMPDIR", tmp.c_str(), 1);
    }
    void TearDown() override {
        server.stop();
        if (savedTmpdir) {
            ::setenv("TMPDIR", savedTmpdir->c_str(), 1);
        } else {
            ::unsetenv("TMPDIR");
        }
        fs::remove_all(tmp);
    }

    /// A session made the way the installer makes its own.
    std::shared_ptr<UrlSession> installerSession(
        UrlSessionConfiguration configuration = UrlSessionConfiguration::defaultConfiguration()) {
        queue = OperationQueue::make("download-delegate", 1);
        return UrlSession::make(std::move(configuration), delegate, queue);
    }

    fs::path tmp;
    std::optional<std::string> savedTmpdir;
    LoopbackServer server;
    std::shared_ptr<OperationQueue> queue;
    std::shared_ptr<InstallerLikeDelegate> delegate = std::make_shared<InstallerLikeDelegate>();
};

TEST_F(DownloadTaskTest, ProgressAddsUpAndTheFileIsThereOnlyDuringTheFinishedCallback) {
    const std::string content = patterned(3 * 1024 * 1024 + 17);
    server->Get("/Vantorel.dmg", [&](const httplib::Request&, httplib::Response& response) {
        response.set_content(content, "application/x-apple-diskimage");
    });
    server.start();
    auto session = installerSession();
    EXPECT_EQ(session->delegateOperationQueue(), queue);
    auto task = session->downloadTaskWithUrl(server.url("/Vantorel.dmg"));
    EXPECT_EQ(task->state(), UrlSessionTaskState::Suspended);
    task->resume();
    EXPECT_EQ(task->state(), UrlSessionTaskState::Running);
    ASSERT_TRUE(eventually([&] { return delegate->completions.load() == 1; }));

    const auto events = delegate->eventsSnapshot();
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(events[events.size() - 2], "finished");
    EXPECT_EQ(events.back(), "completed");
    for (size_t i = 0; i + 2 < events.size(); ++i) EXPECT_EQ(events[i], "progress");
    int64_t sum = 0;
    for (const auto& step : delegate->progress) {
        EXPECT_GT(step.written, 0);
        sum += step.written;
        EXPECT_EQ(step.total, sum);
        EXPECT_EQ(step.expected, static_cast<int64_t>(content.size()));
    }
    EXPECT_EQ(sum, static_cast<int64_t>(content.size()));
    EXPECT_TRUE(delegate->finishedContent == content);
    EXPECT_EQ(fs::path(delegate->finishedLocation).parent_path(), tmp) << "written under $TMPDIR";
    EXPECT_FALSE(fs::exists(delegate->finishedLocation)) << "removed once the callback returned";
    EXPECT_FALSE(delegate->overlapped.load());
    EXPECT_FALSE(delegate->offQueue.load());
    EXPECT_EQ(task->state(), UrlSessionTaskState::Completed);
    EXPECT_FALSE(task->error());
}

TEST_F(DownloadTaskTest, AnUnknownSizeIsReportedAsSuchAndAMovedFileStaysMoved) {
    server->Get("/stream", [](const httplib::Request&, httplib::Response& response) {
        response.set_chunked_content_provider(
            "application/octet-stream", [](size_t offset, httplib::DataSink& sink) {
                if (offset >= 5 * 65536) {
                    sink.done();
                    return true;
                }
                const std::string chunk(65536, static_cast<char>('a' + offset / 65536));
                std::this_thread::sleep_for(5ms);
                return sink.write(chunk.data(), chunk.size());
            });
    });
    server.start();
    delegate->moveTo = (tmp / "kept.bin").string();
    auto session = installerSession();
    session->downloadTaskWithUrl(server.url("/stream"))->resume();
    ASSERT_TRUE(eventually([&] { return delegate->completions.load() == 1; }));
    std::lock_guard guard(delegate->mutex);
    ASSERT_FALSE(delegate->progress.empty());
    for (const auto& step : delegate->progress) {
        EXPECT_EQ(step.expected, kUrlSessionTransferSizeUnknown);
    }
    EXPECT_EQ(delegate->progress.back().total, 5 * 65536);
    EXPECT_EQ(fs::file_size(delegate->moveTo), 5u * 65536);
    EXPECT_EQ(delegate->events.back(), "completed");
}

TEST_F(DownloadTaskTest, TheResponseUrlIsTheOneAfterRedirectsWithItsExtension) {
    server->Get("/download", [](const httplib::Request& request, httplib::Response& response) {
        response.set_redirect(request.get_param_value("to"), 302);
    });
    server->Get("/files/Vantorel-2.0.ZIP", [](const httplib::Request&, httplib::Response& r) {
        r.set_content("zip bytes", "application/zip");
    });
    server->Get("/files/latest", [](const httplib::Request&, httplib::Response& r) {
        r.set_content("no extension", "application/octet-stream");
    });
    server.start();
    auto session = installerSession();
    auto zip =
        session->downloadTaskWithUrl(server.url("/download?v2=true&to=/files/Vantorel-2.0.ZIP"));
    zip->resume();
    ASSERT_TRUE(eventually([&] { return delegate->completions.load() == 1; }));
    EXPECT_EQ(delegate->finishedResponseUrl, server.url("/files/Vantorel-2.0.ZIP"))
        << "the response is known inside the finished callback";
    ASSERT_TRUE(zip->response());
    EXPECT_EQ(fs::path(zip->response()->url).extension(), ".ZIP");
    EXPECT_EQ(zip->currentRequest().url, server.url("/files/Vantorel-2.0.ZIP"));
    EXPECT_EQ(zip->originalRequest().url,
              server.url("/download?v2=true&to=/files/Vantorel-2.0.ZIP"));

    auto bare = session->downloadTaskWithUrl(server.url("/download?to=/files/latest"));
    bare->resume();
    ASSERT_TRUE(eventually([&] { return delegate->completions.load() == 2; }));
    EXPECT_EQ(fs::path(bare->response()->url).extension(), "");
    EXPECT_EQ(delegate->finishedContent, "no extension");
}

TEST_F(DownloadTaskTest, ADroppedTransferFailsWithoutAFinishedCallbackOrAFileLeft) {
    const size_t size = 4 * 1024 * 1024;
    server->Get("/Vantorel.zip", [&](const httplib::Request&, httplib::Response& response) {
        auto block = std::make_shared<std::string>(patterned(64 * 1024));
        response.set_content_provider(
            size, "application/zip", [block, size](size_t offset, size_t, httplib::DataSink& sink) {
                // Hangs up halfway, short of the announced length.
                if (offset >= size / 2) return false;
                return sink.write(block->data(), block->size());
            });
    });
    server.start();
    auto session = installerSession();
    auto task = session->downloadTaskWithUrl(server.url("/Vantorel.zip"));
    task->resume();
    ASSERT_TRUE(eventually([&] { return delegate->completions.load() == 1; }));
    const auto events = delegate->eventsSnapshot();
    EXPECT_EQ(std::count(events.begin(), events.end(), "finished"), 0);
    EXPECT_EQ(events.back(), "failed " + std::to_string(kUrlErrorNetworkConnectionLost));
    ASSERT_TRUE(task->error());
    EXPECT_EQ(task->error()->domain, kUrlErrorDomain);
    EXPECT_TRUE(eventually([&] { return leftoverDownloads(tmp) == 0; }));
    {
        std::lock_guard guard(delegate->mutex);
        ASSERT_FALSE(delegate->progress.empty());
        EXPECT_LT(delegate->progress.back().total, static_cast<int64_t>(size));
    }

    // Cancelling mid-transfer also leaves nothing behind.
    server.stop();
    LoopbackServer slow;
    slow->Get("/slow", [&](const httplib::Request&, httplib::Response& response) {
        response.set_content_provider(size, "application/zip",
                                      [](size_t, size_t, httplib::DataSink& sink) {
                                          std::this_thread::sleep_for(20ms);
                                          return sink.write("x", 1);
                                      });
    });
    slow.start();
    auto cancelled = session->downloadTaskWithUrl(slow.url("/slow"));
    cancelled->resume();
    ASSERT_TRUE(eventually([&] {
        std::lock_guard guard(delegate->mutex);
        return delegate->progress.size() > 1 && delegate->progress.back().total > 0 &&
               delegate->events.back() == "progress";
    }));
    cancelled->cancel();
    ASSERT_TRUE(eventually([&] { return delegate->completions.load() == 2; }));
    EXPECT_EQ(delegate->eventsSnapshot().back(), "failed " + std::to_string(kUrlErrorCancelled));
    EXPECT_EQ(cancelled->state(), UrlSessionTaskState::Completed);
    EXPECT_TRUE(eventually([&] { return leftoverDownloads(tmp) == 0; }));
}

TEST_F(DownloadTaskTest, ARefusedConnectionFailsAtOnceUnlessTheSessionWaitsForConnectivity) {
    RefusingPort port;
    auto failing = installerSession();
    failing->downloadTaskWithUrl(port.url("/Vantorel.dmg"))->resume();
    ASSERT_TRUE(eventually([&] { return delegate->completions.load() == 1; }, 5s));
    EXPECT_EQ(delegate->eventsSnapshot().back(),
              "failed " + std::to_string(kUrlErrorCannotConnectToHost));
    EXPECT_EQ(delegate->waiting.load(), 0);

    auto kernel = test::makeFakeNetlink();
    auto configuration = UrlSessionConfiguration::defaultConfiguration();
    configuration.waitsForConnectivity = true;
    configuration.connectivityRetryInterval = 0.05;
    configuration.maximumConnectivityRetryInterval = 0.1;
    configuration.reachabilityMonitor =
        std::make_shared<ReachabilityMonitor>(std::make_unique<test::FakeNetlinkSource>(kernel));
    auto waiting = installerSession(configuration);
    auto task = waiting->downloadTaskWithUrl(port.url("/Vantorel.dmg"));
    task->resume();
    ASSERT_TRUE(eventually([&] { return delegate->waiting.load() == 1; }));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(delegate->completions.load(), 1) << "still waiting";
    EXPECT_EQ(task->state(), UrlSessionTaskState::Running);

    // The server appears on that port: the next retry gets through, no route change needed.
    server->Get("/Vantorel.dmg", [](const httplib::Request&, httplib::Response& response) {
        response.set_content("image", "application/x-apple-diskimage");
    });
    port.release();
    server.start(port.port());
    ASSERT_TRUE(eventually([&] { return delegate->completions.load() == 2; }));
    EXPECT_EQ(delegate->eventsSnapshot().back(), "completed");
    EXPECT_EQ(delegate->finishedContent, "image");
    EXPECT_EQ(delegate->waiting.load(), 1) << "told once";
}

TEST_F(DownloadTaskTest, RetriesBackOffUntilTheNetworkChanges) {
    auto kernel = test::makeFakeNetlink();
    auto monitor =
        std::make_shared<ReachabilityMonitor>(std::make_unique<test::FakeNetlinkSource>(kernel));
    auto configuration = UrlSessionConfiguration::defaultConfiguration();
    configuration.waitsForConnectivity = true;
    // Attempts at about 0.1, 0.3, 0.7, 1.5, 3.1 and 6.3 seconds.
    configuration.connectivityRetryInterval = 0.1;
    configuration.maximumConnectivityRetryInterval = 60;
    configuration.reachabilityMonitor = monitor;
    auto session = installerSession(configuration);
    RefusingPort port;
    auto task = session->downloadTaskWithUrl(port.url("/Vantorel.zip"));
    task->resume();
    ASSERT_TRUE(eventually([&] { return delegate->waiting.load() == 1; }));
    const auto waitingSince = std::chrono::steady_clock::now();
    ASSERT_TRUE(monitor->waitForFirstReport(5s));

    std::this_thread::sleep_until(waitingSince + 1900ms);
    server->Get("/Vantorel.zip", [](const httplib::Request&, httplib::Response& response) {
        response.set_content("zip", "application/zip");
    });
    port.release();
    server.start(port.port());
    std::this_thread::sleep_until(waitingSince + 2400ms);
    EXPECT_EQ(delegate->completions.load(), 0) << "the pause had grown past a second";

    // A route appears: the task tries at once.
    const auto routed = std::chrono::steady_clock::now();
    kernel->addRoute(test::defaultRouteVia(2));
    ASSERT_TRUE(eventually([&] { return delegate->completions.load() == 1; }));
    EXPECT_LT(std::chrono::steady_clock::now() - routed, 600ms);
    EXPECT_EQ(delegate->eventsSnapshot().back(), "completed");
}

TEST_F(DownloadTaskTest, CancellingTheDelegateQueueDoesNotLoseTheTasksEnd) {
    server->Get("/file", [](const httplib::Request&, httplib::Response& response) {
        response.set_content("data", "application/octet-stream");
    });
    server.start();
    auto session = installerSession();
    // A long first operation keeps the queue busy while the task's callbacks queue up.
    struct Blocker : AsynchronousOperation {
        std::shared_ptr<SerialQueue> executor = std::make_shared<SerialQueue>("blocker");
        void main() override {
            auto self = std::static_pointer_cast<Blocker>(shared_from_this());
            executor->after(std::chrono::milliseconds(300), [self] { self->completeOperation(); });
        }
    };
    queue->addOperation(std::make_shared<Blocker>());
    auto task = session->downloadTaskWithUrl(server.url("/file"));
    task->resume();
    ASSERT_TRUE(eventually([&] { return queue->operationCount() >= 3; }));
    queue->cancelAllOperations();
    ASSERT_TRUE(eventually([&] { return delegate->completions.load() == 1; }));
    EXPECT_EQ(delegate->eventsSnapshot(),
              (std::vector<std::string>{"progress", "finished", "completed"}));
    EXPECT_EQ(task->state(), UrlSessionTaskState::Completed);
    EXPECT_TRUE(eventually([&] { return leftoverDownloads(tmp) == 0; }));
}

}  // namespace
}  // namespace skald::platform
