#include "integrations/crash_report_sink.h"

#include <utility>

#include "core/crash_wrapper.h"
#include "core/sdk_state.h"
#include "crash/reporting/crash_report_converter.h"
#include "skald/hub.h"
#include "skald/scope.h"
#include "skald/sdk.h"
#include "util/dispatch_queue_wrapper.h"
#include "util/log.h"

namespace skald::crash {

namespace {

constexpr double kStartUpCrashSeconds = 2.0;
constexpr double kStartUpFlushTimeoutSeconds = 5.0;

}  // namespace

CrashReportSink::CrashReportSink(std::shared_ptr<InAppLogic> inAppLogic,
                                 std::shared_ptr<CrashWrapper> crashWrapper,
                                 std::shared_ptr<DispatchQueueWrapper> dispatchQueue)
    : inAppLogic_(std::move(inAppLogic)),
      crashWrapper_(std::move(crashWrapper)),
      dispatchQueue_(std::move(dispatchQueue)) {}

void CrashReportSink::filterReports(std::vector<Json> reports,
                                    CrashReportFilterCompletion onCompletion) {
    if (lastCrashWasAtStartUp(crashWrapper_.get())) {
        SKALD_LOG_WARNING("Startup crash: detected.");
        SdkState::setDetectedStartUpCrash(true);
        sendReports(inAppLogic_, reports, onCompletion);
        SDK::flush(kStartUpFlushTimeoutSeconds);
        SKALD_LOG_DEBUG("Startup crash: Finished flushing.");
        return;
    }

    // The block owns what it needs: the sink may be gone when it runs.
    auto send = [inAppLogic = inAppLogic_, reports = std::move(reports),
                 onCompletion = std::move(onCompletion)] {
        sendReports(inAppLogic, reports, onCompletion);
    };
    if (dispatchQueue_)
        dispatchQueue_->dispatchAsync(std::move(send));
    else
        send();
}

bool CrashReportSink::lastCrashWasAtStartUp(CrashWrapper* crashWrapper) {
    const double durationToCrash =
        crashWrapper ? crashWrapper->durationFromCrashStateInitToLastCrash() : 0;
    return durationToCrash > 0 && durationToCrash <= kStartUpCrashSeconds;
}

void CrashReportSink::sendReports(const std::vector<Json>& reports,
                                  const CrashReportFilterCompletion& onCompletion) const {
    sendReports(inAppLogic_, reports, onCompletion);
}

void CrashReportSink::sendReports(const std::shared_ptr<InAppLogic>& inAppLogic,
                                  const std::vector<Json>& reports,
                                  const CrashReportFilterCompletion& onCompletion) {
    std::vector<Json> sentReports;
    if (SDK::currentHub()->getClient()) {
        for (const auto& report : reports) {
            CrashReportConverter converter(report, inAppLogic);
            if (auto event = converter.convertReportToEvent())
                handleConvertedEvent(std::move(event), report, sentReports);
        }
    } else {
        SKALD_LOG_ERROR(
            "Crash reports were found but no [SkaldSDK.currentHub getClient] is set. Cannot send "
            "crash reports to Skald. This is probably a misconfiguration, make sure you set the "
            "client with [SkaldSDK.currentHub bindClient] before calling "
            "startCrashHandlerWithError:.");
        sentReports = reports;
    }
    if (onCompletion) onCompletion(std::move(sentReports), true, std::nullopt);
}

void CrashReportSink::handleConvertedEvent(std::shared_ptr<Event> event, const Json& report,
                                           std::vector<Json>& sentReports) {
    sentReports.push_back(report);
    // The attachments belong to this crash only; the live scope stays as it is.
    auto scope = std::make_shared<Scope>(*SDK::currentHub()->scope());
    const auto attachments = report.is_object() ? report.find("attachments") : report.end();
    if (attachments != report.end() && attachments->is_array()) {
        for (const auto& path : *attachments) {
            if (path.is_string()) scope->addCrashReportAttachmentInPath(path.get<std::string>());
        }
    }
    SDK::captureCrashEvent(std::move(event), scope);
}

}  // namespace skald::crash
