#pragma once

#include <atomic>
#include <mutex>

#include "util/current_date_provider.h"

namespace skald::test {

/// A clock that only moves when the test says so.
class TestCurrentDateProvider final : public CurrentDateProvider {
  public:
    TestCurrentDateProvider() : date_(dateWithTimeIntervalSince1970(1714558830.123)) {}

    Date date() override {
        std::lock_guard guard(mutex_);
        return date_;
    }
    int64_t timezoneOffset() override { return timezoneOffset_; }
    uint64_t systemTime() override { return systemTime_; }
    double systemUptime() override { return static_cast<double>(systemTime_) / 1e9; }

    void setDate(Date date) {
        std::lock_guard guard(mutex_);
        date_ = date;
    }
    /// Moves the date and the system time forward together.
    void advance(double seconds) {
        std::lock_guard guard(mutex_);
        date_ += std::chrono::duration_cast<Date::duration>(std::chrono::duration<double>(seconds));
        systemTime_ += static_cast<uint64_t>(seconds * 1e9);
    }
    void setTimezoneOffset(int64_t offset) { timezoneOffset_ = offset; }
    void setSystemTime(uint64_t nanoseconds) { systemTime_ = nanoseconds; }

  private:
    std::mutex mutex_;
    Date date_;
    std::atomic<int64_t> timezoneOffset_{0};
    std::atomic<uint64_t> systemTime_{1'000'000'000};
};

}  // namespace skald::test
