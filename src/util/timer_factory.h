#pragma once

#include <memory>

#include "skald/platform/block.h"
#include "skald/platform/timer.h"

namespace skald {

namespace platform {
class SerialQueue;
}

/// Makes scheduled timers. A timer fires on the main loop when one is
/// registered at the time it fires, otherwise on the SDK's timer thread, so
/// that hosts without a main loop still get their timers.
class TimerFactory {
  public:
    TimerFactory();
    virtual ~TimerFactory();

    virtual std::shared_ptr<platform::Timer> scheduledTimer(double interval, bool repeats,
                                                            platform::Block block);

  private:
    std::unique_ptr<platform::SerialQueue> queue_;
};

}  // namespace skald
