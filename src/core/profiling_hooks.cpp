#include "core/profiling_hooks.h"

#include <mutex>

#include "platform/process/no_destructor.h"

namespace skald {

namespace {

struct SharedHooks {
    std::mutex mutex;
    std::shared_ptr<ProfilingHooks> hooks = std::make_shared<ProfilingHooks>();
};

SharedHooks& sharedHooks() {
    static platform::NoDestructor<SharedHooks> shared;
    return *shared;
}

}  // namespace

std::shared_ptr<ProfilingHooks> ProfilingHooks::shared() {
    std::lock_guard guard(sharedHooks().mutex);
    return sharedHooks().hooks;
}

void ProfilingHooks::setShared(std::shared_ptr<ProfilingHooks> hooks) {
    std::lock_guard guard(sharedHooks().mutex);
    sharedHooks().hooks = hooks ? std::move(hooks) : std::make_shared<ProfilingHooks>();
}

}  // namespace skald
