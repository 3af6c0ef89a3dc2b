#include "platform/dispatch/run_loop.h"

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <atomic>

#include "platform/dispatch/asio_timer.h"
#include "skald/platform/main_queue.h"

namespace skald::platform {

struct RunLoop::State {
    asio::io_context io{1};
    asio::executor_work_guard<asio::io_context::executor_type> work{asio::make_work_guard(io)};
    std::atomic<bool> stopped{false};
    TimerRegistry timers;
};

RunLoop::RunLoop() : state_(std::make_shared<State>()) {}

RunLoop::~RunLoop() {
    stop();
    // Blocks still queued are dropped with the io_context; timers stop first.
    state_->timers.stopAll();
}

void RunLoop::post(Block block) {
    if (block) asio::post(state_->io, std::move(block));
}

void RunLoop::postAfter(Duration delay, Block block) {
    if (!block) return;
    if (delay <= Duration::zero()) {
        post(std::move(block));
        return;
    }
    scheduleTimer(delay, false, std::move(block));
}

std::shared_ptr<Timer> RunLoop::scheduleTimer(Duration interval, bool repeats, Block block) {
    auto timer =
        std::make_shared<AsioTimer>(state_->io, state_, interval, repeats, std::move(block));
    state_->timers.add(timer);
    timer->start();
    return timer;
}

void RunLoop::run() {
    runFor(Duration::max());
}

bool RunLoop::runFor(Duration duration) {
    const bool onMain = MainQueue::isMainThread();
    if (onMain) {
        std::weak_ptr<State> weak = state_;
        MainQueue::registerLoop([weak](Block block) {
            if (auto state = weak.lock()) asio::post(state->io, std::move(block));
        });
    }
    state_->stopped.store(false);
    state_->io.restart();
    if (duration == Duration::max()) {
        state_->io.run();
    } else {
        state_->io.run_for(duration);
    }
    if (onMain) MainQueue::unregisterLoop();
    return state_->stopped.load();
}

void RunLoop::stop() {
    state_->stopped.store(true);
    state_->io.stop();
}

}  // namespace skald::platform
