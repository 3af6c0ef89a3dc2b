#pragma once

#include <atomic>

#include "skald/platform/block.h"

namespace skald::platform {

/// A block that can be cancelled before it runs. Cancelling a block that is
/// already running does not stop it.
class DispatchBlock {
  public:
    explicit DispatchBlock(Block block) : block_(std::move(block)) {}

    void operator()() {
        if (!cancelled_.load() && block_) block_();
    }
    void cancel() { cancelled_.store(true); }
    bool isCancelled() const { return cancelled_.load(); }

  private:
    Block block_;
    std::atomic<bool> cancelled_{false};
};

}  // namespace skald::platform
