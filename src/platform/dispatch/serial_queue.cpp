#include "platform/dispatch/serial_queue.h"

#include <pthread.h>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <future>
#include <mutex>
#include <optional>

#include "platform/dispatch/asio_timer.h"
#include "platform/process/process_exit.h"

namespace skald::platform {

namespace {
thread_local const void* tCurrentQueue = nullptr;
}

struct SerialQueue::State {
    asio::io_context io{1};
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work{
        asio::make_work_guard(io)};
    std::atomic<bool> accepting{true};
    TimerRegistry timers;

    // Runs on the queue thread as its last block.
    void shutDown() {
        timers.stopAll();
        work.reset();
        io.stop();
    }
};

SerialQueue::SerialQueue(std::string label)
    : label_(std::move(label)), state_(std::make_shared<State>()) {
    thread_ = std::thread([state = state_, name = label_, self = static_cast<const void*>(this)] {
        // Thread names are limited to 15 characters.
        ::pthread_setname_np(::pthread_self(), name.substr(0, 15).c_str());
        tCurrentQueue = self;
        state->io.run();
        tCurrentQueue = nullptr;
    });
}

SerialQueue::~SerialQueue() {
    state_->accepting.store(false);
    asio::post(state_->io, [state = state_] { state->shutDown(); });
    // Once the process exits the thread parks instead of finishing: a queue
    // destroyed by a late exit handler must not wait for it.
    if (thread_.get_id() == std::this_thread::get_id() || ProcessExit::isClosed()) {
        thread_.detach();
    } else {
        thread_.join();
    }
}

void SerialQueue::async(Block block) {
    if (!block || !state_->accepting.load()) return;
    asio::post(state_->io, [block = std::move(block)] { ProcessExit::runOrPark(block); });
}

void SerialQueue::after(Duration delay, Block block) {
    if (!block || !state_->accepting.load()) return;
    if (delay <= Duration::zero()) {
        async(std::move(block));
        return;
    }
    scheduleTimer(delay, false, std::move(block));
}

void SerialQueue::sync(const Block& block) {
    if (!block) return;
    if (isCurrent()) {
        block();
        return;
    }
    if (!state_->accepting.load() || ProcessExit::isClosed()) return;
    // Shared so that a block dropped by a queue that is shutting down breaks
    // the promise instead of leaving this caller waiting for ever.
    auto done = std::make_shared<std::promise<void>>();
    auto finished = done->get_future();
    // 0: waiting, 1: started, 2: given up by the caller.
    auto state = std::make_shared<std::atomic<int>>(0);
    asio::post(state_->io, [&block, done, state] {
        ProcessExit::runOrPark([&] {
            int waiting = 0;
            if (!state->compare_exchange_strong(waiting, 1)) return;
            block();
            done->set_value();
        });
    });
    // Once the process exits, the queue's thread parks: an exit handler that
    // calls into the SDK must not wait for a block that will never start.
    while (finished.wait_for(std::chrono::milliseconds(50)) == std::future_status::timeout) {
        int waiting = 0;
        if (ProcessExit::isClosed() && state->compare_exchange_strong(waiting, 2)) return;
    }
}

std::shared_ptr<Timer> SerialQueue::scheduleTimer(Duration interval, bool repeats, Block block) {
    auto timer =
        std::make_shared<AsioTimer>(state_->io, state_, interval, repeats, std::move(block));
    if (!state_->accepting.load()) {
        timer->invalidate();
        return timer;
    }
    state_->timers.add(timer);
    timer->start();
    return timer;
}

bool SerialQueue::isCurrent() const {
    return tCurrentQueue == this;
}

}  // namespace skald::platform
