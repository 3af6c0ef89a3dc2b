#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "util/log.h"

namespace skald::test {

/// Turns the SDK log on at `level` and collects its lines for the scope's lifetime.
class LogCapture {
  public:
    explicit LogCapture(Level level = Level::Debug);
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> lines() const;
    /// Whether some line contains `text`.
    bool contains(const std::string& text) const;
    size_t count(const std::string& text) const;
    void clear();

  private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

}  // namespace skald::test
