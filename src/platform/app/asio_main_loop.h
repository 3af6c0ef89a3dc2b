#pragma once

#include <memory>

#include "skald/app/main_loop.h"

namespace asio {
class io_context;
}

namespace skald::app {

/// The main loop of the terminal and scripted frontends: an asio io_context
/// run on the main thread.
///
/// Posted blocks and timer blocks never run inside an asio handler: the
/// handlers only move them into a ready list that `runUntil` works off. That
/// keeps a nested `runUntil` (a modal alert) from re-entering the
/// io_context, which asio does not allow from inside a handler.
class AsioMainLoop final : public MainLoop {
  public:
    AsioMainLoop();
    ~AsioMainLoop() override;
    AsioMainLoop(const AsioMainLoop&) = delete;
    AsioMainLoop& operator=(const AsioMainLoop&) = delete;

    void post(Block block) override;
    std::shared_ptr<platform::Timer> scheduleTimer(Duration interval, bool repeats,
                                                   Block block) override;
    void runUntil(const std::function<bool()>& done) override;
    void wake() override;

    /// For frontends that wait for signals on the loop. Their handlers must
    /// not run host code directly; they `post` it.
    asio::io_context& io();

  private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace skald::app
