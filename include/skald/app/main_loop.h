#pragma once

#include <functional>
#include <memory>

#include "skald/platform/block.h"
#include "skald/platform/timer.h"

namespace skald::app {

using platform::Block;
using platform::Duration;

/// The main loop a frontend runs the application on. It runs on the main
/// thread only; `post`, `scheduleTimer` and `wake` may be called from any
/// thread.
///
/// Loops nest: a block may call `runUntil` again (a modal alert does) and
/// the nested run keeps running posted blocks, timers and input.
class MainLoop {
  public:
    virtual ~MainLoop() = default;

    /// Runs the block on the loop, after the blocks posted before it.
    virtual void post(Block block) = 0;
    /// A timer whose block runs on the loop, first after `interval`, then
    /// every `interval` when `repeats`.
    virtual std::shared_ptr<platform::Timer> scheduleTimer(Duration interval, bool repeats,
                                                           Block block) = 0;
    /// Runs until `done` answers true; `done` is asked after every block or
    /// event the loop handled.
    virtual void runUntil(const std::function<bool()>& done) = 0;
    /// Makes a waiting `runUntil` ask its condition again.
    virtual void wake() = 0;
};

}  // namespace skald::app
