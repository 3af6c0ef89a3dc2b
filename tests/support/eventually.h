#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace skald::test {

/// Polls `done` until it turns true or `limit` passes; gives its last answer.
inline bool eventually(const std::function<bool()>& done,
                       std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return done();
}

}  // namespace skald::test
