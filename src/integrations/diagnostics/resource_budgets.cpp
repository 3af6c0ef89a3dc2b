#include "integrations/diagnostics/resource_budgets.h"

namespace skald {

CpuBudgetWindow::CpuBudgetWindow(double share, double windowSeconds)
    : share_(share), windowSeconds_(windowSeconds) {}

CpuBudgetWindow::Reading CpuBudgetWindow::add(double now, double cpuSeconds) {
    Reading reading;
    // A clock or counter that went back starts the window afresh.
    if (!points_.empty() && (now <= points_.back().time || cpuSeconds < points_.back().cpu)) {
        points_.clear();
    }
    if (!points_.empty()) {
        const Point& last = points_.back();
        reading.overBudget = cpuSeconds - last.cpu >= share_ * (now - last.time);
    }
    points_.push_back({now, cpuSeconds});
    // Keep the newest reading at or before the window's start.
    while (points_.size() > 2 && points_[1].time <= now - windowSeconds_) points_.pop_front();

    const Point& first = points_.front();
    const double span = now - first.time;
    if (points_.size() >= 2 && span >= windowSeconds_ && cpuSeconds - first.cpu >= share_ * span) {
        reading.exceeded = Exceeded{cpuSeconds - first.cpu, span};
        points_.clear();
        points_.push_back({now, cpuSeconds});
    }
    return reading;
}

DiskWriteBudget::DiskWriteBudget(uint64_t budget, double periodSeconds)
    : budget_(budget), periodSeconds_(periodSeconds) {}

std::optional<DiskWriteBudget::Exceeded> DiskWriteBudget::add(double now, uint64_t bytesWritten) {
    if (!periodStart_ || now - *periodStart_ >= periodSeconds_ ||
        bytesWritten < periodStartBytes_) {
        periodStart_ = now;
        periodStartBytes_ = bytesWritten;
        reported_ = false;
        return std::nullopt;
    }
    const uint64_t written = bytesWritten - periodStartBytes_;
    if (reported_ || written <= budget_) return std::nullopt;
    reported_ = true;
    return Exceeded{written, now - *periodStart_};
}

}  // namespace skald
