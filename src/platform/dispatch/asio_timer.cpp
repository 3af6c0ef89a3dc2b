#include "platform/dispatch/asio_timer.h"

#include <asio/post.hpp>

#include "platform/process/process_exit.h"

namespace skald::platform {

AsioTimer::AsioTimer(asio::io_context& io, std::weak_ptr<void> owner, Duration interval,
                     bool repeats, Block block)
    : io_(io),
      owner_(std::move(owner)),
      interval_(interval),
      repeats_(repeats),
      block_(std::move(block)) {}

void AsioTimer::start() {
    if (owner_.expired()) {
        valid_.store(false);
        return;
    }
    asio::post(io_, [self = shared_from_this()] {
        if (!self->valid_.load()) return;
        self->timer_.emplace(self->io_);
        self->deadline_ = std::chrono::steady_clock::now() + self->interval_;
        self->arm();
    });
}

void AsioTimer::invalidate() {
    if (!valid_.exchange(false)) return;
    if (auto owner = owner_.lock()) {
        asio::post(io_, [self = shared_from_this()] { self->timer_.reset(); });
    }
}

void AsioTimer::stopOnLoopThread() {
    valid_.store(false);
    timer_.reset();
}

void AsioTimer::arm() {
    timer_->expires_at(deadline_);
    timer_->async_wait([self = shared_from_this()](const std::error_code& ec) {
        if (ec || !self->valid_.load()) return;
        if (!self->repeats_) {
            self->stopOnLoopThread();
            ProcessExit::runOrPark(self->block_);
            return;
        }
        ProcessExit::runOrPark(self->block_);
        if (!self->valid_.load() || !self->timer_) return;
        // Fixed rate without bursts: ticks missed while the loop was busy are skipped.
        const auto now = std::chrono::steady_clock::now();
        self->deadline_ += self->interval_;
        if (self->interval_.count() > 0 && self->deadline_ < now) {
            self->deadline_ += ((now - self->deadline_) / self->interval_ + 1) * self->interval_;
        }
        self->arm();
    });
}

void TimerRegistry::add(const std::shared_ptr<AsioTimer>& timer) {
    std::lock_guard guard(mutex_);
    if (timers_.size() >= 64) {
        std::erase_if(timers_, [](const auto& weak) { return weak.expired(); });
    }
    timers_.push_back(timer);
}

void TimerRegistry::stopAll() {
    std::vector<std::weak_ptr<AsioTimer>> timers;
    {
        std::lock_guard guard(mutex_);
        timers.swap(timers_);
    }
    for (auto& weak : timers) {
        if (auto timer = weak.lock()) timer->stopOnLoopThread();
    }
}

}  // namespace skald::platform
