#pragma once

#include <memory>
#include <optional>
#include <string>

#include "core/diagnostics/mx_manager.h"
#include "core/integration.h"
#include "integrations/diagnostics/mx_event_builder.h"

namespace skald {

class ResourceWatcher;

/// Turns the diagnostics of the metric manager's payloads into warning and
/// error events (option `enableMetricKit`), with the diagnostic's JSON as an
/// attachment when `enableMetricKitRawPayload` is on. With a CPU or
/// disk-write budget set it also watches the process's own use.
class MetricKitIntegration : public BaseIntegration,
                             public MXManagerDelegate,
                             public std::enable_shared_from_this<MetricKitIntegration> {
  public:
    static constexpr const char* kName = "SkaldMetricKitIntegration";
    static constexpr const char* kAttachmentFilename = "MXDiagnosticPayload.json";

    MetricKitIntegration();
    ~MetricKitIntegration() override;

    uint32_t integrationOptions() const override { return kIntegrationOptionEnableMetricKit; }
    bool installWithOptions(const Options& options) override;
    void uninstall() override;

    void didReceiveCrashDiagnostic(const platform::CrashDiagnostic& diagnostic,
                                   const MXCallStackTree& callStackTree, Date timeStampBegin,
                                   Date timeStampEnd) override;
    void didReceiveCpuExceptionDiagnostic(const platform::CpuExceptionDiagnostic& diagnostic,
                                          const MXCallStackTree& callStackTree, Date timeStampBegin,
                                          Date timeStampEnd) override;
    void didReceiveDiskWriteExceptionDiagnostic(
        const platform::DiskWriteExceptionDiagnostic& diagnostic,
        const MXCallStackTree& callStackTree, Date timeStampBegin, Date timeStampEnd) override;
    void didReceiveHangDiagnostic(const platform::HangDiagnostic& diagnostic,
                                  const MXCallStackTree& callStackTree, Date timeStampBegin,
                                  Date timeStampEnd) override;

  private:
    void captureMXEvent(const MXCallStackTree& tree, const MXExceptionParams& params,
                        const std::string& diagnosticJSON);
    void captureEvent(std::shared_ptr<Event> event, const std::string& diagnosticJSON);

    std::shared_ptr<MXManager> manager_;
    std::optional<MXEventBuilder> builder_;
    bool attachDiagnosticAsAttachment_ = false;
    std::shared_ptr<ResourceWatcher> watcher_;
};

}  // namespace skald
