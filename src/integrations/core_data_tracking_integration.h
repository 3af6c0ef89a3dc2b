#pragma once

#include <memory>

#include "core/integration.h"

namespace skald {

class CoreDataTracker;

/// Spans for every fetch and save of the object store's contexts while
/// installed; otherwise they run untouched.
class CoreDataTrackingIntegration : public BaseIntegration {
  public:
    static constexpr const char* kName = "SkaldCoreDataTrackingIntegration";

    CoreDataTrackingIntegration();
    ~CoreDataTrackingIntegration() override;

    uint32_t integrationOptions() const override {
        return kIntegrationOptionEnableAutoPerformanceTracing |
               kIntegrationOptionEnableCoreDataTracing | kIntegrationOptionEnableSwizzling |
               kIntegrationOptionIsTracingEnabled;
    }
    bool installWithOptions(const Options& options) override;
    void uninstall() override;

  private:
    std::shared_ptr<CoreDataTracker> tracker_;
};

}  // namespace skald
