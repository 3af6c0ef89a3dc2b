#pragma once

#include <condition_variable>
#include <mutex>

#include "skald/platform/block.h"

namespace skald::platform {

/// Counts outstanding work; waiters wake when the count returns to zero.
class DispatchGroup {
  public:
    void enter();
    /// Unbalanced calls are ignored rather than driving the count negative.
    void leave();
    /// Waits until every `enter` has been left; false when `timeout` passed first.
    bool wait(Duration timeout);
    void wait();
    int count() const;

  private:
    mutable std::mutex mutex_;
    std::condition_variable empty_;
    int count_ = 0;
};

}  // namespace skald::platform
