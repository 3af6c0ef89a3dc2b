#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "crash/async_safe/monitor_context.h"
#include "crash/reporting/crash_report_filters.h"
#include "skald/error.h"
#include "skald/json.h"

namespace skald::crash {

/// Completion of a batch of reports: the reports handled, whether the batch
/// was completed, and the error that stopped it.
using ReportsCompletion = CrashReportFilterCompletion;

/// The object front of the crash core: one per process, owning where crash
/// data lives and what happens with the reports of earlier runs.
class CrashReporter {
  public:
    /// What happens with stored reports after `sendAllReports`.
    enum DeleteBehavior : int { kDeleteNever = 0, kDeleteOnSuccess = 1, kDeleteAlways = 2 };

    /// The default monitors: Mach exception, signal, C++ exception, the
    /// application layer's exceptions and the application state.
    static constexpr MonitorType kDefaultMonitoring = 0x8F;

    explicit CrashReporter(std::optional<std::string> basePath);
    ~CrashReporter();
    CrashReporter(const CrashReporter&) = delete;
    CrashReporter& operator=(const CrashReporter&) = delete;

    /// The process's one reporter, created with the base path on first use.
    static CrashReporter& shared(const std::optional<std::string>& basePath = std::nullopt);

    /// Starts the crash core under "<basePath>/SkaldCrash/<bundleName>"; false
    /// without a base path or when no monitor could be turned on. From then
    /// on the application notifications of the default notification centre
    /// (did become active, will resign active, did enter background, will
    /// enter foreground, will terminate) reach the hooks below.
    bool install();
    /// Turns every monitor off, remembers them for the next `install`, and
    /// stops observing the application notifications.
    void uninstall();

    void setBasePath(std::optional<std::string> basePath);
    const std::optional<std::string>& basePath() const { return basePath_; }
    const std::string& bundleName() const { return bundleName_; }
    void setBundleName(const std::string& name);
    /// "<basePath>/SkaldCrash/<bundleName>" ("" without a base path).
    std::string installPath() const;

    /// The JSON of `userInfo` is embedded as the report's "user" section.
    void setUserInfo(const std::optional<Json>& userInfo);
    std::optional<Json> userInfo() const;

    void setMonitoring(MonitorType monitoring);
    MonitorType monitoring() const;
    void setIntrospectMemory(bool introspect);
    void setMaxReportCount(int count);
    void setDeleteBehaviorAfterSendAll(int behavior) { deleteBehaviorAfterSendAll_ = behavior; }
    /// Classes whose objects a report names by class only. This platform's
    /// crash reports introspect no objects, so the list is kept for callers.
    void setDoNotIntrospectClasses(std::vector<std::string> classNames);
    std::vector<std::string> doNotIntrospectClasses() const;
    /// Kept for callers: the reports' names are demangled when they are read.
    void setDemangleLanguages(uint32_t languages);
    uint32_t demangleLanguages() const;
    void setPrintPreviousLog(bool print);
    bool printPreviousLog() const;

    void setSink(std::shared_ptr<CrashReportFilter> sink);
    std::shared_ptr<CrashReportFilter> sink() const;

    /// Kept for the installation that sets it; `uninstall` drops it.
    void setOnCrash(std::function<void()> onCrash);
    bool hasOnCrash() const;

    /// Hands every stored report to the sink, then deletes them as the
    /// delete behaviour says.
    void sendAllReports(ReportsCompletion completion);
    /// The same for the reports of `reportIds` only (those still stored);
    /// only they are deleted afterwards.
    void sendReportsWithIDs(const std::vector<uint64_t>& reportIds, ReportsCompletion completion);
    void sendReports(const std::vector<Json>& reports, ReportsCompletion completion);

    /// Every stored report, fixed up, decoded and diagnosed, oldest first.
    std::vector<Json> allReports();
    std::optional<Json> reportWithIntID(uint64_t reportId);
    /// The same report, as the report store names it.
    std::optional<Json> reportWithID(uint64_t reportId) { return reportWithIntID(reportId); }
    std::vector<uint64_t> reportIDs();
    int reportCount();
    void deleteAllReports();
    void deleteReportWithID(uint64_t reportId);

    /// What the system-information collector gathered ("systemName",
    /// "machine", "memorySize", ...); free memory is read at the call.
    Json systemInfo() const;

    // The crash state of this and the previous launch.
    bool crashedLastLaunch() const;
    double activeDurationSinceLastCrash() const;
    double backgroundDurationSinceLastCrash() const;
    int launchesSinceLastCrash() const;
    int sessionsSinceLastCrash() const;
    double activeDurationSinceLaunch() const;
    double backgroundDurationSinceLaunch() const;
    int sessionsSinceLaunch() const;

    /// The application-state hooks. Calls that repeat the current state are
    /// ignored, so that a host posting a notification twice, or a resign
    /// without an activation, does not count time twice or from nowhere. An
    /// application that terminates while active or in the foreground first
    /// resigns and enters the background, so that its active time is counted
    /// as such.
    void applicationDidBecomeActive();
    void applicationWillResignActive();
    void applicationWillEnterForeground();
    void applicationDidEnterBackground();
    void applicationWillTerminate();

  private:
    /// Without `onlyIds` every stored report is deleted afterwards.
    void sendLoadedReports(std::vector<Json> reports, std::optional<std::vector<uint64_t>> onlyIds,
                           ReportsCompletion completion);
    void doctorReport(Json& report) const;
    void observeApplicationNotifications();
    void stopObservingApplicationNotifications();

    mutable std::mutex mutex_;
    std::optional<std::string> basePath_;
    std::string bundleName_;
    int deleteBehaviorAfterSendAll_ = kDeleteAlways;
    bool introspectMemory_ = true;
    int maxReportCount_ = 5;
    MonitorType monitoring_ = kDefaultMonitoring;
    MonitorType monitoringWhenUninstalled_ = 0;
    bool monitoringFromUninstalledToRestore_ = false;
    std::optional<Json> userInfo_;
    std::function<void()> onCrash_;
    std::shared_ptr<CrashReportFilter> sink_;
    std::vector<std::string> doNotIntrospectClasses_;
    uint32_t demangleLanguages_ = 0;
    bool printPreviousLog_ = false;
};

}  // namespace skald::crash
