#pragma once

#include <memory>

#include "core/integration.h"

namespace skald {

class SessionTracker;

/// Release health: a session tracker on the default notification centre
/// while installed (option `enableAutoSessionTracking`).
class AutoSessionTrackingIntegration : public BaseIntegration {
  public:
    static constexpr const char* kName = "SkaldAutoSessionTrackingIntegration";

    AutoSessionTrackingIntegration();
    ~AutoSessionTrackingIntegration() override;

    uint32_t integrationOptions() const override {
        return kIntegrationOptionEnableAutoSessionTracking;
    }
    bool installWithOptions(const Options& options) override;
    void uninstall() override;

  private:
    std::unique_ptr<SessionTracker> tracker_;
};

}  // namespace skald
