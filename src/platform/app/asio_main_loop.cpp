#include "platform/app/asio_main_loop.h"

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <atomic>
#include <deque>

#include "platform/dispatch/asio_timer.h"

namespace skald::app {

struct AsioMainLoop::State {
    asio::io_context io{1};
    asio::executor_work_guard<asio::io_context::executor_type> work{asio::make_work_guard(io)};
    platform::TimerRegistry timers;
    // Loop thread only: blocks taken out of the io_context, waiting to run.
    std::deque<Block> ready;
};

namespace {

// The handle given out for a loop timer. A tick that was moved to the ready
// list before `invalidate` must not run any more, which the asio timer alone
// cannot know.
class LoopTimer final : public platform::Timer {
  public:
    void invalidate() override {
        cancelled.store(true);
        if (timer) timer->invalidate();
    }
    bool isValid() const override { return !cancelled.load() && timer && timer->isValid(); }

    std::shared_ptr<platform::AsioTimer> timer;
    std::atomic<bool> cancelled{false};
};

}  // namespace

AsioMainLoop::AsioMainLoop() : state_(std::make_shared<State>()) {}

AsioMainLoop::~AsioMainLoop() {
    // Timers are stopped here, on the loop thread, before the io_context goes.
    state_->timers.stopAll();
}

void AsioMainLoop::post(Block block) {
    if (!block) return;
    std::weak_ptr<State> weak = state_;
    asio::post(state_->io, [weak, block = std::move(block)]() mutable {
        if (auto state = weak.lock()) state->ready.push_back(std::move(block));
    });
}

std::shared_ptr<platform::Timer> AsioMainLoop::scheduleTimer(Duration interval, bool repeats,
                                                             Block block) {
    auto handle = std::make_shared<LoopTimer>();
    std::weak_ptr<State> weakState = state_;
    std::weak_ptr<LoopTimer> weakHandle = handle;
    auto shared = std::make_shared<Block>(std::move(block));
    auto tick = [weakState, weakHandle, shared] {
        auto state = weakState.lock();
        if (!state) return;
        state->ready.push_back([weakHandle, shared] {
            // A dropped handle leaves the timer running; only `invalidate` stops it.
            auto handle = weakHandle.lock();
            if (handle && handle->cancelled.load()) return;
            if (*shared) (*shared)();
        });
    };
    handle->timer = std::make_shared<platform::AsioTimer>(state_->io, state_, interval, repeats,
                                                          std::move(tick));
    state_->timers.add(handle->timer);
    handle->timer->start();
    return handle;
}

void AsioMainLoop::runUntil(const std::function<bool()>& done) {
    State& state = *state_;
    while (!done()) {
        if (!state.ready.empty()) {
            Block block = std::move(state.ready.front());
            state.ready.pop_front();
            block();
            continue;
        }
        if (state.io.stopped()) state.io.restart();
        // Blocks until one handler ran: a posted block, a timer, or a wake-up.
        state.io.run_one();
    }
}

void AsioMainLoop::wake() {
    asio::post(state_->io, [] {});
}

asio::io_context& AsioMainLoop::io() {
    return state_->io;
}

}  // namespace skald::app
