#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace skald::platform {

class OperationQueue;

/// An operation that finishes when it says so, not when `main` returns.
/// Its three flags change under its own lock; each real change is announced
/// to the observer under the key "isExecuting", "isFinished" or "isCancelled".
class AsynchronousOperation : public std::enable_shared_from_this<AsynchronousOperation> {
  public:
    virtual ~AsynchronousOperation() = default;

    /// Runs `main`, or finishes at once when the operation was cancelled.
    void start();
    virtual void cancel();

    bool isExecuting() const;
    bool isFinished() const;
    bool isCancelled() const;

    using Observer = std::function<void(AsynchronousOperation&, const char* key)>;
    void setObserver(Observer observer);

  protected:
    virtual void main() {}
    /// Called by subclasses when their work is done.
    void completeOperation();

  private:
    void set(bool executing, bool finished, bool cancelled);

    mutable std::mutex mutex_;
    bool executing_ = false;
    bool finished_ = false;
    bool cancelled_ = false;
    Observer observer_;
};

/// Runs operations in the order they were added, at most
/// `maxConcurrentOperationCount` at once.
class OperationQueue : public std::enable_shared_from_this<OperationQueue> {
  public:
    static std::shared_ptr<OperationQueue> make(std::string name,
                                                size_t maxConcurrentOperationCount);

    const std::string& name() const { return name_; }
    void addOperation(std::shared_ptr<AsynchronousOperation> operation);
    /// Operations queued or running, not yet finished.
    size_t operationCount() const;
    void cancelAllOperations();

  private:
    OperationQueue(std::string name, size_t maxConcurrent);
    void operationFinished(AsynchronousOperation& operation);
    void startReady();

    const std::string name_;
    const size_t maxConcurrent_;
    mutable std::mutex mutex_;
    std::deque<std::shared_ptr<AsynchronousOperation>> waiting_;
    std::vector<std::shared_ptr<AsynchronousOperation>> running_;
};

}  // namespace skald::platform
