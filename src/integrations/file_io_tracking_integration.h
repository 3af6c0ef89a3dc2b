#pragma once

#include "core/integration.h"

namespace skald {

/// Spans for the host's whole-file reads and writes through the file data
/// helpers, while installed.
class FileIOTrackingIntegration : public BaseIntegration {
  public:
    static constexpr const char* kName = "SkaldFileIOTrackingIntegration";

    FileIOTrackingIntegration() : BaseIntegration(kName) {}

    uint32_t integrationOptions() const override {
        return kIntegrationOptionEnableAutoPerformanceTracing |
               kIntegrationOptionEnableFileIOTracing | kIntegrationOptionEnableSwizzling |
               kIntegrationOptionIsTracingEnabled;
    }
    bool installWithOptions(const Options& options) override;
    void uninstall() override;
};

}  // namespace skald
