#pragma once

#include <memory>
#include <vector>

#include "crash/reporting/crash_report_filters.h"
#include "model/in_app_logic.h"
#include "skald/event.h"
#include "skald/json.h"

namespace skald {
class CrashWrapper;
class DispatchQueueWrapper;
}  // namespace skald

namespace skald::crash {

/// Where the crash reporter hands the previous run's reports: each becomes a
/// fatal event sent through the current hub.
class CrashReportSink : public CrashReportFilter {
  public:
    CrashReportSink(std::shared_ptr<InAppLogic> inAppLogic,
                    std::shared_ptr<CrashWrapper> crashWrapper,
                    std::shared_ptr<DispatchQueueWrapper> dispatchQueue);

    /// A crash within two seconds of start-up is sent on the calling thread,
    /// which then waits up to five seconds for the flush: the program may
    /// crash again before a background send gets its turn. Any other crash is
    /// sent on the sink's queue.
    void filterReports(std::vector<Json> reports,
                       CrashReportFilterCompletion onCompletion) override;

    /// Whether the last crash came within two seconds of its run's start.
    static bool lastCrashWasAtStartUp(CrashWrapper* crashWrapper);

    /// Converts and sends each report. Completes with the reports handled:
    /// without a client that is every report, so that none is kept forever.
    void sendReports(const std::vector<Json>& reports,
                     const CrashReportFilterCompletion& onCompletion) const;

    /// Sends `event` with a copy of the current scope that carries the
    /// report's attachments, and records `report` as handled.
    static void handleConvertedEvent(std::shared_ptr<Event> event, const Json& report,
                                     std::vector<Json>& sentReports);

  private:
    static void sendReports(const std::shared_ptr<InAppLogic>& inAppLogic,
                            const std::vector<Json>& reports,
                            const CrashReportFilterCompletion& onCompletion);

    std::shared_ptr<InAppLogic> inAppLogic_;
    std::shared_ptr<CrashWrapper> crashWrapper_;
    std::shared_ptr<DispatchQueueWrapper> dispatchQueue_;
};

}  // namespace skald::crash
