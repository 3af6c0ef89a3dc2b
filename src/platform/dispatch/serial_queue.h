#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "skald/platform/block.h"

namespace asio {
class io_context;
}

namespace skald::platform {

class Timer;

/// A serial queue: one thread that runs blocks one at a time in the order
/// they were queued. Delayed blocks and timers run on the same thread.
///
/// Destruction runs the blocks already queued for immediate execution,
/// abandons delayed blocks and timers that have not fired yet, and joins the
/// thread (unless it is destroyed from its own thread).
class SerialQueue {
  public:
    explicit SerialQueue(std::string label);
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    const std::string& label() const { return label_; }

    void async(Block block);
    void after(Duration delay, Block block);
    /// Runs the block on the queue and waits for it; inline when called from the queue.
    void sync(const Block& block);

    /// A timer whose block runs on this queue, first after `interval`, then
    /// every `interval` when `repeats` (fixed rate, no catch-up bursts).
    std::shared_ptr<Timer> scheduleTimer(Duration interval, bool repeats, Block block);

    /// Whether the caller runs on this queue's thread.
    bool isCurrent() const;

  private:
    struct State;
    std::string label_;
    std::shared_ptr<State> state_;
    std::thread thread_;
};

}  // namespace skald::platform
