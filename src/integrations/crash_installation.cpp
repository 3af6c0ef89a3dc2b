#include "integrations/crash_installation.h"

#include "crash/reporting/crash_report_filters.h"
#include "integrations/crash_report_sink.h"
#include "util/log.h"

namespace skald::crash {

namespace {
std::mutex gInstallMutex;
// Under gInstallMutex.
const Installation::CrashHandlerData* gActiveCrashHandlerData = nullptr;
}  // namespace

Installation::Installation(std::vector<std::string> requiredProperties)
    : requiredProperties_(std::move(requiredProperties)),
      crashHandlerData_(std::make_unique<CrashHandlerData>()) {}

Installation::~Installation() {
    const std::lock_guard lock(gInstallMutex);
    // A reporter that outlives this installation must not reach its data.
    if (gActiveCrashHandlerData == crashHandlerData_.get()) {
        gActiveCrashHandlerData = nullptr;
        CrashReporter::shared().setOnCrash(nullptr);
    }
}

void Installation::install(const std::string& basePath) {
    const std::lock_guard lock(gInstallMutex);
    CrashReporter& reporter = CrashReporter::shared();
    reporter.setBasePath(basePath);
    gActiveCrashHandlerData = crashHandlerData_.get();
    // This installation's crash-time fields live in its data block; the
    // reporter keeps the hook and never calls it while writing.
    reporter.setOnCrash([data = crashHandlerData_.get()] { (void)data; });
    reporter.install();
}

void Installation::uninstall() {
    const std::lock_guard lock(gInstallMutex);
    CrashReporter& reporter = CrashReporter::shared();
    if (gActiveCrashHandlerData == crashHandlerData_.get()) {
        gActiveCrashHandlerData = nullptr;
        reporter.setOnCrash(nullptr);
    }
    reporter.uninstall();
}

const Installation::CrashHandlerData* Installation::activeCrashHandlerData() {
    const std::lock_guard lock(gInstallMutex);
    return gActiveCrashHandlerData;
}

bool Installation::hasProperty(const std::string&) const {
    return false;
}

void Installation::sendAllReports(ReportsCompletion completion) {
    sendReports(std::nullopt, std::move(completion));
}

void Installation::sendReportsWithIDs(std::vector<uint64_t> reportIds,
                                      ReportsCompletion completion) {
    sendReports(std::move(reportIds), std::move(completion));
}

void Installation::sendReports(std::optional<std::vector<uint64_t>> reportIds,
                               ReportsCompletion completion) {
    std::string missing;
    for (const auto& name : requiredProperties_) {
        if (hasProperty(name)) continue;
        if (!missing.empty()) missing += ", ";
        missing += name + " is nil";
    }
    if (!missing.empty()) {
        Error error("Installation", 0, "Installation properties failed validation: " + missing);
        if (completion) completion({}, false, error);
        return;
    }
    auto target = sink();
    if (!target) {
        Error error("Installation", 0, "No sink set. Crash reports not sent.");
        if (completion) completion({}, false, error);
        return;
    }
    auto pipeline = std::make_shared<CrashReportFilterPipeline>();
    pipeline->addFilter(std::move(target));
    CrashReporter& reporter = CrashReporter::shared();
    reporter.setSink(pipeline);
    if (reportIds) {
        reporter.sendReportsWithIDs(*reportIds, std::move(completion));
    } else {
        reporter.sendAllReports(std::move(completion));
    }
}

std::string Installation::makeKeyPath(const std::string& keyPath) {
    if (keyPath.empty() || keyPath.front() == '/') return keyPath;
    return "user/" + keyPath;
}

std::vector<std::string> Installation::makeKeyPaths(const std::vector<std::string>& keyPaths) {
    std::vector<std::string> result;
    result.reserve(keyPaths.size());
    for (const auto& keyPath : keyPaths) result.push_back(makeKeyPath(keyPath));
    return result;
}

InstallationReporter::InstallationReporter(std::shared_ptr<InAppLogic> inAppLogic,
                                           std::shared_ptr<CrashWrapper> crashWrapper,
                                           std::shared_ptr<DispatchQueueWrapper> dispatchQueue)
    : Installation({}),
      inAppLogic_(std::move(inAppLogic)),
      crashWrapper_(std::move(crashWrapper)),
      dispatchQueue_(std::move(dispatchQueue)) {}

std::shared_ptr<CrashReportFilter> InstallationReporter::sink() {
    return std::make_shared<CrashReportSink>(inAppLogic_, crashWrapper_, dispatchQueue_);
}

void InstallationReporter::sendReports(std::optional<std::vector<uint64_t>> reportIds,
                                       ReportsCompletion completion) {
    Installation::sendReports(std::move(reportIds), [completion = std::move(completion)](
                                                        std::vector<Json> reports, bool completed,
                                                        std::optional<Error> error) {
        if (error) SKALD_LOG_ERROR("%s", error->description().c_str());
        SKALD_LOG_DEBUG("Sent %lu crash report(s)", static_cast<unsigned long>(reports.size()));
        if (completed && completion) completion(std::move(reports), completed, std::move(error));
    });
}

}  // namespace skald::crash
