#include "util/dispatch_queue_wrapper.h"

#include "skald/platform/main_queue.h"
#include "platform/dispatch/serial_queue.h"
#include "util/log.h"

namespace skald {

DispatchQueueWrapper::DispatchQueueWrapper() : DispatchQueueWrapper("skald-default") {}

DispatchQueueWrapper::DispatchQueueWrapper(std::string label)
    : label_(std::move(label)), queue_(std::make_unique<platform::SerialQueue>(label_)) {}

DispatchQueueWrapper::~DispatchQueueWrapper() = default;

void DispatchQueueWrapper::dispatchAsync(Block block) {
    queue_->async(std::move(block));
}

void DispatchQueueWrapper::dispatchAsyncOnMainQueue(Block block) {
    if (platform::MainQueue::async(std::move(block)) == platform::MainQueue::Dispatch::Pending) {
        SKALD_LOG_WARNING(
            "No main loop is registered: the block waits until one is registered or the main "
            "thread drains the main queue.");
    }
}

void DispatchQueueWrapper::dispatchSync(Block block) {
    queue_->sync(block);
}

bool DispatchQueueWrapper::dispatchSyncOnMainQueue(Block block, double timeoutSeconds) {
    const bool finished = platform::MainQueue::syncWithTimeout(
        std::move(block), platform::secondsToDuration(timeoutSeconds));
    if (!finished) {
        SKALD_LOG_WARNING("The main queue did not run the block within %.3f seconds.",
                          timeoutSeconds);
    }
    return finished;
}

void DispatchQueueWrapper::dispatchAfter(double seconds, Block block) {
    queue_->after(platform::secondsToDuration(seconds), std::move(block));
}

void DispatchQueueWrapper::dispatchAfter(double seconds,
                                         const std::shared_ptr<DispatchBlock>& block) {
    if (!block) return;
    queue_->after(platform::secondsToDuration(seconds), [block] { (*block)(); });
}

std::shared_ptr<platform::Timer> DispatchQueueWrapper::scheduleTimer(double seconds, bool repeats,
                                                                     Block block) {
    return queue_->scheduleTimer(platform::secondsToDuration(seconds), repeats, std::move(block));
}

std::shared_ptr<DispatchBlock> DispatchQueueWrapper::createDispatchBlock(Block block) {
    return std::make_shared<DispatchBlock>(std::move(block));
}

void DispatchQueueWrapper::dispatchCancel(const std::shared_ptr<DispatchBlock>& block) {
    if (block) block->cancel();
}

void DispatchQueueWrapper::dispatchOnce(OnceToken& token, const Block& block) {
    token.run(block);
}

bool DispatchQueueWrapper::isCurrentQueue() const {
    return queue_->isCurrent();
}

}  // namespace skald
