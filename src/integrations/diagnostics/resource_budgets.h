#pragma once

#include <cstdint>
#include <deque>
#include <optional>

namespace skald {

/// Whether the process used more CPU than `share` of one core over a whole
/// window, from readings of its CPU time taken about once a second.
class CpuBudgetWindow {
  public:
    struct Exceeded {
        /// CPU seconds used within the window, and the window's length.
        double cpuSeconds = 0;
        double sampledSeconds = 0;
    };
    struct Reading {
        /// The interval since the previous reading ran above the share.
        bool overBudget = false;
        /// Set once a full window averaged above the share; the next window
        /// then starts at this reading.
        std::optional<Exceeded> exceeded;
    };

    CpuBudgetWindow(double share, double windowSeconds);

    /// `now` on a monotonic clock and the process's total CPU time, both in seconds.
    Reading add(double now, double cpuSeconds);

  private:
    struct Point {
        double time;
        double cpu;
    };
    double share_;
    double windowSeconds_;
    std::deque<Point> points_;
};

/// Whether the process wrote more than `budget` bytes within one period
/// (a day); told once per period.
class DiskWriteBudget {
  public:
    struct Exceeded {
        uint64_t bytesWritten = 0;
        /// Seconds since the period began.
        double elapsedSeconds = 0;
    };

    DiskWriteBudget(uint64_t budget, double periodSeconds);

    /// `now` on a monotonic clock, in seconds, and the process's total bytes written.
    std::optional<Exceeded> add(double now, uint64_t bytesWritten);

  private:
    uint64_t budget_;
    double periodSeconds_;
    std::optional<double> periodStart_;
    uint64_t periodStartBytes_ = 0;
    bool reported_ = false;
};

}  // namespace skald
