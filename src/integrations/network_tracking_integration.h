#pragma once

#include "core/integration.h"

namespace skald {

/// Request tracking on every URL session of the process: spans and trace
/// headers with tracing on, "http" breadcrumbs and failed-request events as
/// their options say.
class NetworkTrackingIntegration : public BaseIntegration {
  public:
    static constexpr const char* kName = "SkaldNetworkTrackingIntegration";

    NetworkTrackingIntegration() : BaseIntegration(kName) {}

    /// What spans need; breadcrumbs and failed requests do without.
    uint32_t integrationOptions() const override {
        return kIntegrationOptionEnableAutoPerformanceTracing |
               kIntegrationOptionEnableNetworkTracking | kIntegrationOptionIsTracingEnabled;
    }
    bool installWithOptions(const Options& options) override;
    void uninstall() override;
};

}  // namespace skald
