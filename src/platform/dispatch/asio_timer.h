#pragma once

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>
#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "skald/platform/block.h"
#include "skald/platform/timer.h"

namespace skald::platform {

/// A timer on an io_context run by one thread. Its asio timer is created,
/// armed, cancelled and destroyed only on that thread, and the owner of the
/// io_context stops every timer before the io_context goes away, so a timer
/// object that outlives its loop is harmless.
class AsioTimer final : public Timer, public std::enable_shared_from_this<AsioTimer> {
  public:
    /// `owner` keeps `io` alive; the timer only posts to `io` while it can lock it.
    AsioTimer(asio::io_context& io, std::weak_ptr<void> owner, Duration interval, bool repeats,
              Block block);

    void start();
    void invalidate() override;
    bool isValid() const override { return valid_.load(); }

    /// Loop thread only: stops the timer for good.
    void stopOnLoopThread();

  private:
    void arm();

    asio::io_context& io_;
    std::weak_ptr<void> owner_;
    Duration interval_;
    bool repeats_;
    Block block_;
    std::atomic<bool> valid_{true};
    std::optional<asio::steady_timer> timer_;
    std::chrono::steady_clock::time_point deadline_;
};

/// The timers of one loop, so that the loop can stop them when it ends.
class TimerRegistry {
  public:
    void add(const std::shared_ptr<AsioTimer>& timer);
    /// Loop thread only.
    void stopAll();

  private:
    std::mutex mutex_;
    std::vector<std::weak_ptr<AsioTimer>> timers_;
};

}  // namespace skald::platform
