#include "core/global_event_processor.h"

namespace skald {

GlobalEventProcessor& GlobalEventProcessor::shared() {
    // Never destroyed: captures on other threads may still run at exit.
    static auto* instance = new GlobalEventProcessor;
    return *instance;
}

void GlobalEventProcessor::addEventProcessor(EventProcessor processor) {
    // An empty one would throw when called.
    if (!processor) return;
    std::lock_guard guard(mutex_);
    processors_.push_back(std::move(processor));
}

void GlobalEventProcessor::removeAllProcessors() {
    std::lock_guard guard(mutex_);
    processors_.clear();
}

std::vector<EventProcessor> GlobalEventProcessor::processors() const {
    std::lock_guard guard(mutex_);
    return processors_;
}

}  // namespace skald
