#pragma once

#include <mutex>
#include <vector>

#include "util/dispatch_queue_wrapper.h"

namespace skald::test {

/// Runs everything at once on the calling thread, except delayed blocks,
/// which wait until the test fires them.
class TestDispatchQueueWrapper : public DispatchQueueWrapper {
  public:
    TestDispatchQueueWrapper() : DispatchQueueWrapper("skald-test") {}

    void dispatchAsync(Block block) override {
        ++asyncCount;
        if (block) block();
    }
    void dispatchAsyncOnMainQueue(Block block) override {
        ++mainQueueCount;
        if (block) block();
    }
    void dispatchSync(Block block) override {
        if (block) block();
    }
    bool dispatchSyncOnMainQueue(Block block, double) override {
        ++mainQueueCount;
        if (block) block();
        return true;
    }
    void dispatchAfter(double seconds, Block block) override {
        std::lock_guard guard(mutex_);
        delayed_.push_back({seconds, std::make_shared<DispatchBlock>(std::move(block))});
    }
    void dispatchAfter(double seconds, const std::shared_ptr<DispatchBlock>& block) override {
        std::lock_guard guard(mutex_);
        delayed_.push_back({seconds, block});
    }

    struct Delayed {
        double seconds;
        std::shared_ptr<DispatchBlock> block;
    };
    std::vector<Delayed> delayed() const {
        std::lock_guard guard(mutex_);
        return delayed_;
    }
    /// Runs every delayed block that was not cancelled, in the order they came.
    void fireDelayed() {
        std::vector<Delayed> due;
        {
            std::lock_guard guard(mutex_);
            due.swap(delayed_);
        }
        for (auto& entry : due) (*entry.block)();
    }

    int asyncCount = 0;
    int mainQueueCount = 0;

  private:
    mutable std::mutex mutex_;
    std::vector<Delayed> delayed_;
};

}  // namespace skald::test
