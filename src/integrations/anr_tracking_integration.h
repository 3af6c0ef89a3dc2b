#pragma once

#include <atomic>
#include <memory>

#include "core/anr_tracker.h"
#include "core/app_hang_control.h"
#include "core/integration.h"

namespace skald {

/// Reports a main thread that stopped answering as an "App Hanging" error
/// event carrying every thread's stack (options `enableAppHangTracking` and
/// `appHangTimeoutInterval`; never while a debugger is attached).
class ANRTrackingIntegration : public BaseIntegration,
                               public ANRTrackerListener,
                               public AppHangControl,
                               public std::enable_shared_from_this<ANRTrackingIntegration> {
  public:
    static constexpr const char* kName = "SkaldANRTrackingIntegration";

    ANRTrackingIntegration();
    ~ANRTrackingIntegration() override;

    uint32_t integrationOptions() const override {
        return kIntegrationOptionEnableAppHangTracking | kIntegrationOptionDebuggerNotAttached;
    }
    bool installWithOptions(const Options& options) override;
    void uninstall() override;

    void pauseAppHangTracking() override { reportAppHangs_ = false; }
    void resumeAppHangTracking() override { reportAppHangs_ = true; }

    void anrDetected() override;
    void anrStopped() override {}

  private:
    std::shared_ptr<ANRTracker> tracker_;
    double timeoutInterval_ = 0;
    std::atomic<bool> reportAppHangs_{false};
};

}  // namespace skald
