#include "core/tracing/trace_profiler_hooks.h"

#include <mutex>

#include "platform/process/no_destructor.h"

namespace skald {

namespace {

struct SharedHooks {
    std::mutex mutex;
    std::shared_ptr<TraceProfilerHooks> hooks = std::make_shared<TraceProfilerHooks>();
};

SharedHooks& sharedHooks() {
    static platform::NoDestructor<SharedHooks> shared;
    return *shared;
}

}  // namespace

std::shared_ptr<TraceProfilerHooks> TraceProfilerHooks::shared() {
    std::lock_guard guard(sharedHooks().mutex);
    return sharedHooks().hooks;
}

void TraceProfilerHooks::setShared(std::shared_ptr<TraceProfilerHooks> hooks) {
    std::lock_guard guard(sharedHooks().mutex);
    sharedHooks().hooks = hooks ? std::move(hooks) : std::make_shared<TraceProfilerHooks>();
}

}  // namespace skald
