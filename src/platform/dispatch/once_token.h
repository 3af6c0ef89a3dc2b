#pragma once

#include <atomic>
#include <mutex>

#include "skald/platform/block.h"

namespace skald::platform {

/// Runs a block once until reset. Concurrent callers wait for the first run.
class OnceToken {
  public:
    void run(const Block& block) {
        if (done_.load(std::memory_order_acquire)) return;
        std::lock_guard guard(mutex_);
        if (done_.load(std::memory_order_relaxed)) return;
        if (block) block();
        done_.store(true, std::memory_order_release);
    }
    /// Lets the next `run` execute again (an integration uninstalled and installed anew).
    void reset() {
        std::lock_guard guard(mutex_);
        done_.store(false, std::memory_order_release);
    }
    bool done() const { return done_.load(std::memory_order_acquire); }

  private:
    std::mutex mutex_;
    std::atomic<bool> done_{false};
};

}  // namespace skald::platform
