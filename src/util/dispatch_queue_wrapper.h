#pragma once

#include <memory>
#include <string>

#include "skald/platform/block.h"
#include "platform/dispatch/dispatch_block.h"
#include "platform/dispatch/once_token.h"

namespace skald {

namespace platform {
class SerialQueue;
class Timer;
}

using platform::Block;
using platform::DispatchBlock;
using platform::OnceToken;

/// The SDK's serial background queue and its way to the main queue.
/// Virtual so that tests can run everything inline.
class DispatchQueueWrapper {
  public:
    /// The SDK's background queue, "skald-default".
    DispatchQueueWrapper();
    explicit DispatchQueueWrapper(std::string label);
    virtual ~DispatchQueueWrapper();
    DispatchQueueWrapper(const DispatchQueueWrapper&) = delete;
    DispatchQueueWrapper& operator=(const DispatchQueueWrapper&) = delete;

    const std::string& label() const { return label_; }

    virtual void dispatchAsync(Block block);
    /// Runs at once on the main thread, else is queued on the main queue.
    virtual void dispatchAsyncOnMainQueue(Block block);
    virtual void dispatchSync(Block block);
    /// Runs the block on the main thread and waits at most `timeoutSeconds`;
    /// false when it did not finish in time or no main loop can run it.
    virtual bool dispatchSyncOnMainQueue(Block block, double timeoutSeconds);
    virtual void dispatchAfter(double seconds, Block block);
    virtual void dispatchAfter(double seconds, const std::shared_ptr<DispatchBlock>& block);
    /// A timer whose block runs on this queue, first after `seconds`, then
    /// every `seconds` when `repeats`; `invalidate` stops it.
    virtual std::shared_ptr<platform::Timer> scheduleTimer(double seconds, bool repeats,
                                                           Block block);
    virtual std::shared_ptr<DispatchBlock> createDispatchBlock(Block block);
    virtual void dispatchCancel(const std::shared_ptr<DispatchBlock>& block);
    virtual void dispatchOnce(OnceToken& token, const Block& block);

    /// Whether the caller runs on this wrapper's queue.
    virtual bool isCurrentQueue() const;

  private:
    std::string label_;
    std::unique_ptr<platform::SerialQueue> queue_;
};

}  // namespace skald
