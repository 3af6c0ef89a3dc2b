#include "util/timer_factory.h"

#include "skald/platform/main_queue.h"
#include "platform/dispatch/serial_queue.h"

namespace skald {

TimerFactory::TimerFactory() : queue_(std::make_unique<platform::SerialQueue>("skald-timers")) {}

TimerFactory::~TimerFactory() = default;

std::shared_ptr<platform::Timer> TimerFactory::scheduledTimer(double interval, bool repeats,
                                                              platform::Block block) {
    auto shared = std::make_shared<platform::Block>(std::move(block));
    return queue_->scheduleTimer(platform::secondsToDuration(interval), repeats, [shared] {
        if (platform::MainQueue::hasLoop()) {
            platform::MainQueue::async([shared] { (*shared)(); });
        } else {
            (*shared)();
        }
    });
}

}  // namespace skald
