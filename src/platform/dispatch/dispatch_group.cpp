#include "platform/dispatch/dispatch_group.h"

namespace skald::platform {

void DispatchGroup::enter() {
    std::lock_guard guard(mutex_);
    ++count_;
}

void DispatchGroup::leave() {
    std::lock_guard guard(mutex_);
    if (count_ == 0) return;
    if (--count_ == 0) empty_.notify_all();
}

bool DispatchGroup::wait(Duration timeout) {
    std::unique_lock lock(mutex_);
    return empty_.wait_for(lock, timeout, [this] { return count_ == 0; });
}

void DispatchGroup::wait() {
    std::unique_lock lock(mutex_);
    empty_.wait(lock, [this] { return count_ == 0; });
}

int DispatchGroup::count() const {
    std::lock_guard guard(mutex_);
    return count_;
}

}  // namespace skald::platform
