#pragma once

#include <memory>

#include "skald/platform/block.h"

namespace skald::platform {

class Timer;

/// A main loop for hosts that have none of their own. Run on the main thread,
/// it is the main queue for as long as it runs.
class RunLoop {
  public:
    RunLoop();
    ~RunLoop();
    RunLoop(const RunLoop&) = delete;
    RunLoop& operator=(const RunLoop&) = delete;

    void post(Block block);
    void postAfter(Duration delay, Block block);
    std::shared_ptr<Timer> scheduleTimer(Duration interval, bool repeats, Block block);

    /// Runs blocks until `stop`.
    void run();
    /// Runs blocks until `stop` or until `duration` has passed; true when stopped.
    bool runFor(Duration duration);
    /// Thread-safe; the loop returns after the block that is running.
    void stop();

  private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace skald::platform
