#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "skald/app/application.h"
#include "skald/platform/main_queue.h"

namespace skald::app::test {

using namespace std::chrono_literals;

/// A delegate whose methods run the given functions.
struct LambdaDelegate : ApplicationDelegate {
    std::function<void()> didFinishLaunching;
    std::function<void()> didBecomeActive;
    std::function<void()> willResignActive;
    std::function<void()> didEnterBackground;
    std::function<void()> willEnterForeground;
    std::function<void()> willTerminate;

    void applicationDidFinishLaunching(const Notification&) override {
        if (didFinishLaunching) didFinishLaunching();
    }
    void applicationDidBecomeActive(const Notification&) override {
        if (didBecomeActive) didBecomeActive();
    }
    void applicationWillResignActive(const Notification&) override {
        if (willResignActive) willResignActive();
    }
    void applicationDidEnterBackground(const Notification&) override {
        if (didEnterBackground) didEnterBackground();
    }
    void applicationWillEnterForeground(const Notification&) override {
        if (willEnterForeground) willEnterForeground();
    }
    void applicationWillTerminate(const Notification&) override {
        if (willTerminate) willTerminate();
    }
};

/// Ends a run that would otherwise hang, as a failure.
inline std::shared_ptr<platform::Timer> armWatchdog(Application& application,
                                                    Duration limit = 20s) {
    return application.scheduleTimer(limit, false, [&application] {
        ADD_FAILURE() << "the application did not terminate in time";
        application.terminate();
    });
}

/// A pipe whose ends close with it.
struct Pipe {
    int read = -1;
    int write = -1;
    Pipe() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) == 0) {
            read = fds[0];
            write = fds[1];
        }
    }
    ~Pipe() {
        closeRead();
        closeWrite();
    }
    void closeRead() {
        if (read >= 0) ::close(read);
        read = -1;
    }
    void closeWrite() {
        if (write >= 0) ::close(write);
        write = -1;
    }
    void put(const std::string& text) const {
        ASSERT_EQ(::write(write, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
};

/// Collects everything written to a pipe, on a thread so that the writer
/// never blocks on a full pipe.
class PipeCollector {
  public:
    explicit PipeCollector(int fd)
        : thread_([this, fd] {
              char buffer[4096];
              ssize_t count;
              while ((count = ::read(fd, buffer, sizeof buffer)) > 0) {
                  std::lock_guard guard(mutex_);
                  text_.append(buffer, static_cast<size_t>(count));
              }
          }) {}
    ~PipeCollector() {
        if (thread_.joinable()) thread_.join();
    }
    /// After the pipe's write end was closed: all that was written.
    std::string finish() {
        if (thread_.joinable()) thread_.join();
        return text();
    }
    std::string text() const {
        std::lock_guard guard(mutex_);
        return text_;
    }

  private:
    mutable std::mutex mutex_;
    std::string text_;
    std::thread thread_;
};

/// Test bodies run the application on the process's main thread.
class AppTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(platform::MainQueue::isMainThread());
        platform::MainQueue::unregisterLoop();
        platform::MainQueue::drainPending();
    }
    void TearDown() override {
        platform::setUncaughtExceptionHandler(nullptr);
        platform::MainQueue::unregisterLoop();
        platform::MainQueue::drainPending();
    }
};

}  // namespace skald::app::test
