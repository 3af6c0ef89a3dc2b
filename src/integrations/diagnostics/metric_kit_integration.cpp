#include "integrations/diagnostics/metric_kit_integration.h"

#include <utility>

#include "core/dependency_container.h"
#include "integrations/diagnostics/resource_watcher.h"
#include "skald/attachment.h"
#include "skald/options.h"
#include "skald/scope.h"
#include "skald/sdk.h"
#include "util/log.h"
#include "util/measurement_formatter.h"

namespace skald {

namespace {

std::string formatted(const platform::DiagnosticMeasurement& measurement) {
    return formatMeasurement(measurement.value, measurement.unit);
}

// A missing number reads "(null)", as in the SDK's other formatted texts.
std::string numberText(const std::optional<int64_t>& number) {
    return number ? std::to_string(*number) : "(null)";
}

MXExceptionParams warningParams(std::string value, const char* type, const char* mechanism,
                                Date timeStampBegin) {
    MXExceptionParams params;
    params.handled = true;
    params.level = Level::Warning;
    params.exceptionValue = std::move(value);
    params.exceptionType = type;
    params.exceptionMechanism = mechanism;
    params.timeStampBegin = timeStampBegin;
    return params;
}

}  // namespace

MetricKitIntegration::MetricKitIntegration() : BaseIntegration(kName) {}

MetricKitIntegration::~MetricKitIntegration() {
    if (watcher_) watcher_->stop();
}

bool MetricKitIntegration::installWithOptions(const Options& options) {
    if (!BaseIntegration::installWithOptions(options)) return false;
    // The manager holds its delegate weakly: only a shared integration can be one.
    const auto self = weak_from_this().lock();
    if (!self) {
        SKALD_LOG_ERROR("%s must be made with std::make_shared to be installed.", kName);
        return false;
    }
    builder_.emplace(InAppLogic(options.inAppIncludes(), options.inAppExcludes()));
    attachDiagnosticAsAttachment_ = options.enableMetricKitRawPayload;
    manager_ = DependencyContainer::sharedInstance()->metricKitManager();
    manager_->setDelegate(self);
    manager_->receiveReports();

    const auto settings = ResourceWatcherSettings::fromOptions(options);
    if (settings.watchesAnything()) {
        watcher_ = std::make_shared<ResourceWatcher>(settings);
        watcher_->start();
    }
    return true;
}

void MetricKitIntegration::uninstall() {
    if (watcher_) {
        watcher_->stop();
        watcher_.reset();
    }
    if (manager_) {
        manager_->pauseReports();
        manager_->setDelegate({});
        manager_.reset();
    }
}

void MetricKitIntegration::didReceiveCrashDiagnostic(const platform::CrashDiagnostic& diagnostic,
                                                     const MXCallStackTree& callStackTree,
                                                     Date timeStampBegin, Date /*timeStampEnd*/) {
    MXExceptionParams params;
    params.handled = false;
    params.level = Level::Error;
    params.exceptionValue = "MachException Type:" + numberText(diagnostic.exceptionType) +
                            " Code:" + numberText(diagnostic.exceptionCode) +
                            " Signal:" + numberText(diagnostic.signal);
    params.exceptionType = "MXCrashDiagnostic";
    params.exceptionMechanism = "MXCrashDiagnostic";
    params.timeStampBegin = timeStampBegin;
    captureMXEvent(callStackTree, params, diagnostic.jsonRepresentation());
}

void MetricKitIntegration::didReceiveCpuExceptionDiagnostic(
    const platform::CpuExceptionDiagnostic& diagnostic, const MXCallStackTree& callStackTree,
    Date timeStampBegin, Date /*timeStampEnd*/) {
    if (callStackTree.callStackPerThread) {
        SKALD_LOG_WARNING(
            "MXCPUExceptionDiagnostics aren't expected to have call stacks per thread. Ignoring "
            "it.");
        return;
    }
    auto params =
        warningParams("MXCPUException totalCPUTime:" + formatted(diagnostic.totalCPUTime) +
                          " totalSampledTime:" + formatted(diagnostic.totalSampledTime),
                      "MXCPUException", "mx_cpu_exception", timeStampBegin);
    captureMXEvent(callStackTree, params, diagnostic.jsonRepresentation());
}

void MetricKitIntegration::didReceiveDiskWriteExceptionDiagnostic(
    const platform::DiskWriteExceptionDiagnostic& diagnostic, const MXCallStackTree& callStackTree,
    Date timeStampBegin, Date /*timeStampEnd*/) {
    auto params = warningParams(
        "MXDiskWriteException totalWritesCaused:" + formatted(diagnostic.totalWritesCaused),
        "MXDiskWriteException", "mx_disk_write_exception", timeStampBegin);
    captureMXEvent(callStackTree, params, diagnostic.jsonRepresentation());
}

void MetricKitIntegration::didReceiveHangDiagnostic(const platform::HangDiagnostic& diagnostic,
                                                    const MXCallStackTree& callStackTree,
                                                    Date timeStampBegin, Date /*timeStampEnd*/) {
    auto params = warningParams(
        std::string("MXHangDiagnostic") + " hangDuration:" + formatted(diagnostic.hangDuration),
        "MXHangDiagnostic", "mx_hang_diagnostic", timeStampBegin);
    captureMXEvent(callStackTree, params, diagnostic.jsonRepresentation());
}

void MetricKitIntegration::captureMXEvent(const MXCallStackTree& tree,
                                          const MXExceptionParams& params,
                                          const std::string& diagnosticJSON) {
    if (!builder_) return;
    for (auto& event : builder_->eventsForTree(tree, params)) {
        captureEvent(std::move(event), diagnosticJSON);
    }
}

void MetricKitIntegration::captureEvent(std::shared_ptr<Event> event,
                                        const std::string& diagnosticJSON) {
    if (attachDiagnosticAsAttachment_) {
        SDK::captureEvent(std::move(event), [&diagnosticJSON](Scope& scope) {
            scope.addAttachment(Attachment::fromData(diagnosticJSON, kAttachmentFilename));
        });
    } else {
        SDK::captureEvent(std::move(event));
    }
}

}  // namespace skald
