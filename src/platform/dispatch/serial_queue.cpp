#include "platform/dispatch/serial_queue.h"

#include <pthread.h>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <future>
#include <mutex>
#include <optional>

#include "platform/dispatch/asio_timer.h"

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
    if (thread_.get_id() == std::this_thread::get_id()) {
        thread_.detach();
    } else {
        thread_.join();
    }
}

void SerialQueue::async(Block block) {
    if (!block || !state_->accepting.load()) return;
    asio::post(state_->io, std::move(block));
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
    if (!state_->accepting.load()) return;
    // Shared so that a block dropped by a queue that is shutting down breaks
    // the promise instead of leaving this caller waiting for ever.
    auto done = std::make_shared<std::promise<void>>();
    auto finished = done->get_future();
    asio::post(state_->io, [&block, done] {
        block();
        done->set_value();
    });
    finished.wait();
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
