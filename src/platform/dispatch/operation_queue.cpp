#include "skald/platform/operation_queue.h"

#include <algorithm>

namespace skald::platform {

void AsynchronousOperation::start() {
    bool cancelled;
    {
        std::lock_guard guard(mutex_);
        cancelled = cancelled_;
    }
    if (cancelled) {
        set(false, true, true);
        return;
    }
    set(true, false, false);
    main();
}

void AsynchronousOperation::cancel() {
    set(false, true, true);
}

void AsynchronousOperation::completeOperation() {
    bool cancelled;
    {
        std::lock_guard guard(mutex_);
        cancelled = cancelled_;
    }
    set(false, true, cancelled);
}

bool AsynchronousOperation::isExecuting() const {
    std::lock_guard guard(mutex_);
    return executing_;
}

bool AsynchronousOperation::isFinished() const {
    std::lock_guard guard(mutex_);
    return finished_;
}

bool AsynchronousOperation::isCancelled() const {
    std::lock_guard guard(mutex_);
    return cancelled_;
}

void AsynchronousOperation::setObserver(Observer observer) {
    std::lock_guard guard(mutex_);
    observer_ = std::move(observer);
}

void AsynchronousOperation::set(bool executing, bool finished, bool cancelled) {
    std::vector<const char*> changed;
    Observer observer;
    {
        std::lock_guard guard(mutex_);
        if (executing_ != executing) changed.push_back("isExecuting");
        if (cancelled_ != cancelled) changed.push_back("isCancelled");
        if (finished_ != finished) changed.push_back("isFinished");
        executing_ = executing;
        finished_ = finished;
        cancelled_ = cancelled;
        observer = observer_;
    }
    // Announced outside the lock: an observer may read the flags again.
    if (!observer) return;
    for (const char* key : changed) observer(*this, key);
}

std::shared_ptr<OperationQueue> OperationQueue::make(std::string name, size_t maxConcurrent) {
    return std::shared_ptr<OperationQueue>(new OperationQueue(std::move(name), maxConcurrent));
}

OperationQueue::OperationQueue(std::string name, size_t maxConcurrent)
    : name_(std::move(name)), maxConcurrent_(std::max<size_t>(1, maxConcurrent)) {}

void OperationQueue::addOperation(std::shared_ptr<AsynchronousOperation> operation) {
    if (!operation) return;
    std::weak_ptr<OperationQueue> weak = weak_from_this();
    operation->setObserver([weak](AsynchronousOperation& op, const char* key) {
        if (std::string_view(key) != "isFinished" || !op.isFinished()) return;
        if (auto queue = weak.lock()) queue->operationFinished(op);
    });
    {
        std::lock_guard guard(mutex_);
        waiting_.push_back(std::move(operation));
    }
    startReady();
}

size_t OperationQueue::operationCount() const {
    std::lock_guard guard(mutex_);
    return waiting_.size() + running_.size();
}

void OperationQueue::cancelAllOperations() {
    std::vector<std::shared_ptr<AsynchronousOperation>> all;
    {
        std::lock_guard guard(mutex_);
        all.assign(waiting_.begin(), waiting_.end());
        all.insert(all.end(), running_.begin(), running_.end());
    }
    for (auto& operation : all) operation->cancel();
}

void OperationQueue::operationFinished(AsynchronousOperation& operation) {
    {
        std::lock_guard guard(mutex_);
        std::erase_if(running_, [&](const auto& op) { return op.get() == &operation; });
        std::erase_if(waiting_, [&](const auto& op) { return op.get() == &operation; });
    }
    startReady();
}

void OperationQueue::startReady() {
    while (true) {
        std::shared_ptr<AsynchronousOperation> next;
        {
            std::lock_guard guard(mutex_);
            if (running_.size() >= maxConcurrent_ || waiting_.empty()) return;
            next = waiting_.front();
            waiting_.pop_front();
            running_.push_back(next);
        }
        // Operations are asynchronous: start only kicks off their work.
        next->start();
    }
}

}  // namespace skald::platform
