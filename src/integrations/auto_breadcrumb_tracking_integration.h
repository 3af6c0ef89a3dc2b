#pragma once

#include <memory>

#include "core/integration.h"

namespace skald {

class BreadcrumbTracker;

/// Automatic breadcrumbs (option `enableAutoBreadcrumbTracking`): the start
/// marker, the application's activation changes and network connectivity,
/// added to the current scope through the SDK.
class AutoBreadcrumbTrackingIntegration : public BaseIntegration {
  public:
    static constexpr const char* kName = "SkaldAutoBreadcrumbTrackingIntegration";

    AutoBreadcrumbTrackingIntegration();
    ~AutoBreadcrumbTrackingIntegration() override;

    uint32_t integrationOptions() const override {
        return kIntegrationOptionEnableAutoBreadcrumbTracking;
    }
    bool installWithOptions(const Options& options) override;
    /// With a tracker supplied from outside (tests).
    void installWithTracker(std::shared_ptr<BreadcrumbTracker> tracker);
    void uninstall() override;

  private:
    std::shared_ptr<BreadcrumbTracker> tracker_;
};

}  // namespace skald
