#include "integrations/crash_reporter.h"

#include <cstdlib>
#include <filesystem>
#include <utility>

#include "crash/async_safe/report_paths.h"
#include "crash/async_safe/report_writer.h"
#include "crash/recording/app_state_monitor.h"
#include "crash/recording/crash_core.h"
#include "crash/recording/crash_snapshot_setters.h"
#include "crash/recording/json_codec.h"
#include "crash/recording/report_fixer.h"
#include "crash/recording/report_store.h"
#include "crash/recording/system_info.h"
#include "crash/reporting/crash_doctor.h"
#include "crash/reporting/crash_report_filters.h"
#include "platform/base/hex.h"
#include "skald/platform/bundle.h"
#include "skald/platform/notification_center.h"
#include "util/log.h"

namespace skald::crash {

namespace {

constexpr int kMaxListedReports = 10000;

// The crash state is one per process; its hooks may be called from any
// thread that posts a notification, so they take turns. Crash-time code reads
// the state without this lock.
struct AppStateHooks {
    std::mutex mutex;
    bool terminated = false;
};

AppStateHooks& appStateHooks() {
    static auto* hooks = new AppStateHooks;
    return *hooks;
}

std::string defaultBundleName() {
    std::string name = "Unknown";
    if (const auto bundle = platform::Bundle::main()) {
        if (const auto bundleName = bundle->infoText("CFBundleName")) name = *bundleName;
    }
    return name;
}

std::string withoutSlashes(std::string name) {
    for (char& c : name) {
        if (c == '/') c = '-';
    }
    return name;
}

}  // namespace

CrashReporter::CrashReporter(std::optional<std::string> basePath)
    : basePath_(std::move(basePath)), bundleName_(withoutSlashes(defaultBundleName())) {}

CrashReporter::~CrashReporter() {
    stopObservingApplicationNotifications();
}

CrashReporter& CrashReporter::shared(const std::optional<std::string>& basePath) {
    // Crash handling lasts as long as the process: never destroyed.
    static auto* reporter = new CrashReporter(basePath);
    return *reporter;
}

std::string CrashReporter::installPath() const {
    if (!basePath_) return {};
    return *basePath_ + "/SkaldCrash/" + bundleName_;
}

void CrashReporter::setBasePath(std::optional<std::string> basePath) {
    const std::lock_guard lock(mutex_);
    basePath_ = std::move(basePath);
}

void CrashReporter::setBundleName(const std::string& name) {
    const std::lock_guard lock(mutex_);
    bundleName_ = withoutSlashes(name);
}

bool CrashReporter::install() {
    const std::lock_guard lock(mutex_);
    if (!basePath_ || basePath_->empty()) {
        SKALD_LOG_ERROR("Failed to initialize crash handler. Crash reporting disabled.");
        return false;
    }
    if (monitoringFromUninstalledToRestore_ && monitoringWhenUninstalled_ != 0) {
        monitoring_ = monitoringWhenUninstalled_;
        monitoringWhenUninstalled_ = 0;
        monitoringFromUninstalledToRestore_ = false;
    }
    writer::setIntrospectMemory(introspectMemory_);
    core::setMonitoring(monitoring_);
    core::install(bundleName_, installPath());
    setMaxReportCount(maxReportCount_);
    monitoring_ = core::setMonitoring(monitoring_);
    observeApplicationNotifications();
    return monitoring_ != 0;
}

void CrashReporter::setOnCrash(std::function<void()> onCrash) {
    const std::lock_guard lock(mutex_);
    onCrash_ = std::move(onCrash);
}

bool CrashReporter::hasOnCrash() const {
    const std::lock_guard lock(mutex_);
    return static_cast<bool>(onCrash_);
}

void CrashReporter::uninstall() {
    const std::lock_guard lock(mutex_);
    monitoringWhenUninstalled_ = monitoring_;
    monitoring_ = core::setMonitoring(0);
    monitoringFromUninstalledToRestore_ = true;
    onCrash_ = nullptr;
    core::uninstall();
    stopObservingApplicationNotifications();
}

void CrashReporter::observeApplicationNotifications() {
    {
        // A new launch of the crash state: it may terminate again.
        const std::lock_guard lock(appStateHooks().mutex);
        appStateHooks().terminated = false;
    }
    auto& center = platform::NotificationCenter::defaultCenter();
    center.removeObserver(this);
    const std::pair<const char*, void (CrashReporter::*)()> hooks[] = {
        {platform::kApplicationDidBecomeActiveNotification,
         &CrashReporter::applicationDidBecomeActive},
        {platform::kApplicationWillResignActiveNotification,
         &CrashReporter::applicationWillResignActive},
        {platform::kApplicationWillEnterForegroundNotification,
         &CrashReporter::applicationWillEnterForeground},
        {platform::kApplicationDidEnterBackgroundNotification,
         &CrashReporter::applicationDidEnterBackground},
        {platform::kApplicationWillTerminateNotification, &CrashReporter::applicationWillTerminate},
    };
    for (const auto& [name, hook] : hooks) {
        center.addObserver(this, name, nullptr,
                           [this, hook = hook](const platform::Notification&) { (this->*hook)(); });
    }
}

void CrashReporter::stopObservingApplicationNotifications() {
    platform::NotificationCenter::defaultCenter().removeObserver(this);
}

void CrashReporter::setUserInfo(const std::optional<Json>& userInfo) {
    const std::lock_guard lock(mutex_);
    if (!userInfo) {
        userInfo_.reset();
        writer::setUserInfoJSON(nullptr);
        return;
    }
    Error error;
    const auto json = JSONCodec::encode(*userInfo, JSONCodec::EncodeOptionSorted, &error);
    if (!json) {
        SKALD_LOG_ERROR("Could not serialize user info: %s", error.description().c_str());
        return;
    }
    userInfo_ = userInfo;
    writer::setUserInfoJSON(json->c_str());
}

std::optional<Json> CrashReporter::userInfo() const {
    const std::lock_guard lock(mutex_);
    return userInfo_;
}

void CrashReporter::setMonitoring(MonitorType monitoring) {
    const std::lock_guard lock(mutex_);
    monitoring_ = core::setMonitoring(monitoring);
}

MonitorType CrashReporter::monitoring() const {
    const std::lock_guard lock(mutex_);
    return monitoring_;
}

void CrashReporter::setIntrospectMemory(bool introspect) {
    introspectMemory_ = introspect;
    writer::setIntrospectMemory(introspect);
}

void CrashReporter::setDoNotIntrospectClasses(std::vector<std::string> classNames) {
    const std::lock_guard lock(mutex_);
    doNotIntrospectClasses_ = std::move(classNames);
}

std::vector<std::string> CrashReporter::doNotIntrospectClasses() const {
    const std::lock_guard lock(mutex_);
    return doNotIntrospectClasses_;
}

void CrashReporter::setDemangleLanguages(uint32_t languages) {
    const std::lock_guard lock(mutex_);
    demangleLanguages_ = languages;
}

uint32_t CrashReporter::demangleLanguages() const {
    const std::lock_guard lock(mutex_);
    return demangleLanguages_;
}

void CrashReporter::setPrintPreviousLog(bool print) {
    const std::lock_guard lock(mutex_);
    printPreviousLog_ = print;
}

bool CrashReporter::printPreviousLog() const {
    const std::lock_guard lock(mutex_);
    return printPreviousLog_;
}

Json CrashReporter::systemInfo() const {
    return systeminfo::systemInfo();
}

void CrashReporter::setMaxReportCount(int count) {
    maxReportCount_ = count;
    crash::setMaxReportCount(count);
}

void CrashReporter::setSink(std::shared_ptr<CrashReportFilter> sink) {
    const std::lock_guard lock(mutex_);
    sink_ = std::move(sink);
}

std::shared_ptr<CrashReportFilter> CrashReporter::sink() const {
    const std::lock_guard lock(mutex_);
    return sink_;
}

void CrashReporter::sendAllReports(ReportsCompletion completion) {
    sendLoadedReports(allReports(), std::nullopt, std::move(completion));
}

void CrashReporter::sendReportsWithIDs(const std::vector<uint64_t>& reportIds,
                                       ReportsCompletion completion) {
    std::vector<Json> reports;
    for (const uint64_t reportId : reportIds) {
        if (auto report = reportWithIntID(reportId)) reports.push_back(std::move(*report));
    }
    sendLoadedReports(std::move(reports), reportIds, std::move(completion));
}

void CrashReporter::sendLoadedReports(std::vector<Json> reports,
                                      std::optional<std::vector<uint64_t>> onlyIds,
                                      ReportsCompletion completion) {
    SKALD_LOG_INFO("Sending %lu crash reports", static_cast<unsigned long>(reports.size()));
    sendReports(reports, [this, onlyIds = std::move(onlyIds), completion = std::move(completion)](
                             std::vector<Json> sent, bool completed, std::optional<Error> error) {
        SKALD_LOG_DEBUG("Process finished with completion: %d", completed ? 1 : 0);
        if (error) SKALD_LOG_ERROR("Failed to send reports: %s", error->description().c_str());
        if (deleteBehaviorAfterSendAll_ == kDeleteAlways ||
            (deleteBehaviorAfterSendAll_ == kDeleteOnSuccess && completed)) {
            if (onlyIds) {
                for (const uint64_t reportId : *onlyIds) deleteReportWithID(reportId);
            } else {
                deleteAllReports();
            }
        }
        if (completion) completion(std::move(sent), completed, std::move(error));
    });
}

void CrashReporter::sendReports(const std::vector<Json>& reports, ReportsCompletion completion) {
    if (reports.empty()) {
        if (completion) completion(reports, true, std::nullopt);
        return;
    }
    const auto filter = sink();
    if (!filter) {
        Error error("CrashReporter", 0, "No sink set. Crash reports not sent.");
        SKALD_LOG_ERROR("No sink set. Crash reports not sent.");
        if (completion) completion(reports, false, error);
        return;
    }
    filter->filterReports(reports, std::move(completion));
}

std::vector<Json> CrashReporter::allReports() {
    std::vector<Json> reports;
    for (const uint64_t reportId : reportIDs()) {
        if (auto report = reportWithIntID(reportId)) reports.push_back(std::move(*report));
    }
    return reports;
}

std::optional<Json> CrashReporter::reportWithIntID(uint64_t reportId) {
    if (reportId == 0) {
        SKALD_LOG_ERROR("Report ID was %llx", static_cast<unsigned long long>(reportId));
        return std::nullopt;
    }
    const std::optional<std::string> raw = readReport(reportId);
    if (!raw) {
        SKALD_LOG_ERROR("Failed to load report ID %llx", static_cast<unsigned long long>(reportId));
        return std::nullopt;
    }
    char* fixed = fixupCrashReport(raw->c_str());
    if (fixed == nullptr) {
        SKALD_LOG_ERROR("Failed to fixup report ID %llx",
                        static_cast<unsigned long long>(reportId));
        return std::nullopt;
    }
    Error error;
    const int options = JSONCodec::DecodeOptionIgnoreNullInArray |
                        JSONCodec::DecodeOptionIgnoreNullInObject |
                        JSONCodec::DecodeOptionKeepPartialObject;
    std::optional<Json> report = JSONCodec::decode(fixed, options, &error);
    std::free(fixed);
    if (!error.domain.empty()) {
        SKALD_LOG_ERROR("Encountered error loading crash report %llx: %s",
                        static_cast<unsigned long long>(reportId), error.description().c_str());
    }
    if (!report || !report->is_object()) {
        SKALD_LOG_ERROR("Could not load crash report");
        return std::nullopt;
    }

    const std::string name = "-report-" + platform::hexNumber(reportId, 16) + "-attachments";
    const std::filesystem::path attachments =
        std::string(reportsDirectory()) + "/" + reportsAppName() + name;
    // Only regular files of a real folder: a symlink would send what lies elsewhere.
    std::error_code ignored;
    Json paths = Json::array();
    if (std::filesystem::symlink_status(attachments, ignored).type() ==
        std::filesystem::file_type::directory) {
        for (const auto& entry : std::filesystem::directory_iterator(attachments, ignored)) {
            if (entry.symlink_status(ignored).type() == std::filesystem::file_type::regular) {
                paths.push_back(entry.path().string());
            }
        }
    }
    if (!paths.empty()) (*report)["attachments"] = std::move(paths);
    doctorReport(*report);
    return report;
}

void CrashReporter::doctorReport(Json& report) const {
    const auto diagnosis = CrashDoctor::diagnoseCrash(report);
    if (!diagnosis) return;
    if (report.contains("crash") && report["crash"].is_object()) {
        report["crash"]["diagnosis"] = *diagnosis;
    }
    if (report.contains("recrash_report") && report["recrash_report"].is_object() &&
        report["recrash_report"].contains("crash") &&
        report["recrash_report"]["crash"].is_object()) {
        report["recrash_report"]["crash"]["diagnosis"] = *diagnosis;
    }
}

std::vector<uint64_t> CrashReporter::reportIDs() {
    std::vector<uint64_t> ids(static_cast<size_t>(kMaxListedReports));
    const int count = crash::reportIds(ids.data(), kMaxListedReports);
    ids.resize(count > 0 ? static_cast<size_t>(count) : 0);
    return ids;
}

int CrashReporter::reportCount() {
    return crash::reportCount();
}

void CrashReporter::deleteAllReports() {
    crash::deleteAllReports();
}

void CrashReporter::deleteReportWithID(uint64_t reportId) {
    crash::deleteReportWithId(reportId);
}

bool CrashReporter::crashedLastLaunch() const {
    return appstate::currentState().crashedLastLaunch;
}
double CrashReporter::activeDurationSinceLastCrash() const {
    return appstate::currentState().activeDurationSinceLastCrash;
}
double CrashReporter::backgroundDurationSinceLastCrash() const {
    return appstate::currentState().backgroundDurationSinceLastCrash;
}
int CrashReporter::launchesSinceLastCrash() const {
    return appstate::currentState().launchesSinceLastCrash;
}
int CrashReporter::sessionsSinceLastCrash() const {
    return appstate::currentState().sessionsSinceLastCrash;
}
double CrashReporter::activeDurationSinceLaunch() const {
    return appstate::currentState().activeDurationSinceLaunch;
}
double CrashReporter::backgroundDurationSinceLaunch() const {
    return appstate::currentState().backgroundDurationSinceLaunch;
}
int CrashReporter::sessionsSinceLaunch() const {
    return appstate::currentState().sessionsSinceLaunch;
}

void CrashReporter::applicationDidBecomeActive() {
    const std::lock_guard lock(appStateHooks().mutex);
    const appstate::AppState& state = appstate::currentState();
    if (state.applicationIsActive) return;
    // An active application is in the foreground, also for a host that
    // reports only the activation.
    if (!state.applicationIsInForeground) core::notifyAppInForeground(true);
    core::notifyAppActive(true);
}

void CrashReporter::applicationWillResignActive() {
    const std::lock_guard lock(appStateHooks().mutex);
    if (!appstate::currentState().applicationIsActive) return;
    core::notifyAppActive(false);
}

void CrashReporter::applicationWillEnterForeground() {
    const std::lock_guard lock(appStateHooks().mutex);
    if (appstate::currentState().applicationIsInForeground) return;
    core::notifyAppInForeground(true);
}

void CrashReporter::applicationDidEnterBackground() {
    const std::lock_guard lock(appStateHooks().mutex);
    if (!appstate::currentState().applicationIsInForeground) return;
    core::notifyAppInForeground(false);
}

void CrashReporter::applicationWillTerminate() {
    auto& hooks = appStateHooks();
    const std::lock_guard lock(hooks.mutex);
    if (hooks.terminated) return;
    const appstate::AppState& state = appstate::currentState();
    if (state.applicationIsActive) core::notifyAppActive(false);
    if (state.applicationIsInForeground) core::notifyAppInForeground(false);
    core::notifyAppTerminate();
    // The monitor counts termination only while it is enabled.
    hooks.terminated = appstate::isEnabled();
}

}  // namespace skald::crash
