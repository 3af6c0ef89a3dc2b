#include "integrations/crash_integration.h"

#include <mutex>

#include "core/crash_wrapper.h"
#include "core/dependency_container.h"
#include "crash/async_safe/crash_attachments.h"
#include "crash/async_safe/crash_event_handler.h"
#include "crash/async_safe/monitors.h"
#include "crash/recording/crash_attachment_table.h"
#include "crash/recording/crash_scope_observer.h"
#include "integrations/crash_installation.h"
#include "integrations/crash_report_sink.h"
#include "integrations/crash_reporter.h"
#include "integrations/session_crashed_handler.h"
#include "model/in_app_logic.h"
#include "platform/process/no_destructor.h"
#include "platform/system/locale.h"
#include "skald/hub.h"
#include "skald/options.h"
#include "skald/platform/notification_center.h"
#include "skald/scope.h"
#include "skald/sdk.h"
#include "util/dispatch_queue_wrapper.h"
#include "util/json_bytes.h"

namespace skald {

namespace {

// One installation per process; the start runs once until uninstalled.
std::mutex gMutex;
platform::NoDestructor<std::shared_ptr<crash::InstallationReporter>> gInstallation;
bool gStarted = false;

}  // namespace

CrashIntegration::CrashIntegration()
    : CrashIntegration(DependencyContainer::sharedInstance()->crashWrapper(),
                       DependencyContainer::sharedInstance()->dispatchQueueWrapper()) {}

CrashIntegration::CrashIntegration(std::shared_ptr<CrashWrapper> crashWrapper,
                                   std::shared_ptr<DispatchQueueWrapper> dispatchQueueWrapper)
    : BaseIntegration(kName),
      crashWrapper_(std::move(crashWrapper)),
      dispatchQueueWrapper_(std::move(dispatchQueueWrapper)) {}

bool CrashIntegration::installWithOptions(const Options& options) {
    if (!BaseIntegration::installWithOptions(options)) return false;
    releaseName_ = options.releaseName;
    dist_ = options.dist;
    inAppIncludes_ = options.inAppIncludes();
    inAppExcludes_ = options.inAppExcludes();
    crashedSessionHandler_ = std::make_shared<SessionCrashedHandler>(crashWrapper_);
    scopeObserver_ = std::make_shared<crash::CrashScopeObserver>(
        static_cast<int>(options.maxBreadcrumbs), options.maxAttachmentSize);
    startCrashHandler(options.cacheDirectoryPath, options.enableSigtermReporting);
    configureScope();
    return true;
}

void CrashIntegration::startCrashHandler(const std::string& cacheDirectoryPath,
                                         bool enableSigtermReporting) {
    std::shared_ptr<crash::InstallationReporter> installation;
    bool created = false;
    {
        const std::lock_guard lock(gMutex);
        if (gStarted) return;
        gStarted = true;
        if (!*gInstallation) {
            auto inAppLogic = std::make_shared<InAppLogic>(inAppIncludes_, inAppExcludes_);
            *gInstallation = std::make_shared<crash::InstallationReporter>(
                std::move(inAppLogic), crashWrapper_, dispatchQueueWrapper_);
            created = true;
        }
        installation = *gInstallation;
    }
    crash::setSigtermMonitoringEnabled(enableSigtermReporting);
    installation->install(cacheDirectoryPath);
    // The scope's attachments are copied next to the report at crash time and
    // sent with the crash event at the next start.
    crash::handler::setAttachmentCallback(crash::writeCrashAttachments);
    if (crashedSessionHandler_) crashedSessionHandler_->endCurrentSessionAsCrashedWhenCrashOrOOM();
    // Reports are sent once per process: a later start after uninstall
    // reuses the installation and does not send them again.
    if (created) sendStoredReports(installation);
}

void CrashIntegration::sendStoredReports(
    const std::shared_ptr<crash::InstallationReporter>& installation) {
    // A crash right after start-up is sent before start returns, as the
    // program may crash again before a background send gets its turn. Any
    // other report is read on the background queue: reading, fixing up and
    // decoding one took longer than the rest of start. Only the reports
    // stored now are those of earlier runs.
    if (crash::CrashReportSink::lastCrashWasAtStartUp(crashWrapper_.get()) ||
        !dispatchQueueWrapper_) {
        installation->sendAllReports(nullptr);
        return;
    }
    auto reportIds = crash::CrashReporter::shared().reportIDs();
    dispatchQueueWrapper_->dispatchAsync(
        [installation, reportIds = std::move(reportIds)]() mutable {
            installation->sendReportsWithIDs(std::move(reportIds), nullptr);
        });
}

void CrashIntegration::configureScope() {
    const auto hub = SDK::currentHub();
    if (!hub) return;
    const auto scope = hub->scope();
    Json userInfo = scope->serialize();
    if (!userInfo.is_object()) userInfo = Json::object();
    if (releaseName_) userInfo["release"] = *releaseName_;
    if (dist_) userInfo["dist"] = *dist_;
    // The crash-time encoder refuses text that is not UTF-8, which would lose
    // the whole scope for one bad value: it gets the replaced text instead.
    if (auto text = jsonBytes(userInfo)) userInfo = parseJsonBytes(*text).value_or(userInfo);
    crash::CrashReporter::shared().setUserInfo(userInfo);
    scope->addObserver(scopeObserver_);
    scopeObserver_->setAttachments(scope->attachments());
    // Registered for this integration, so that uninstall removes exactly it.
    auto& center = platform::NotificationCenter::defaultCenter();
    center.removeObserver(this);
    center.addObserver(this, platform::kCurrentLocaleDidChangeNotification, nullptr,
                       [](const platform::Notification&) { currentLocaleDidChange(); });
}

void CrashIntegration::currentLocaleDidChange() {
    const auto hub = SDK::currentHub();
    if (!hub) return;
    const auto scope = hub->scope();
    Json device = Json::object();
    const Json contexts = scope->context();
    if (contexts.is_object()) {
        const auto found = contexts.find("device");
        if (found != contexts.end() && found->is_object()) device = *found;
    }
    device["locale"] = platform::Locale::current().identifier();
    scope->setContextValue(std::move(device), "device");
}

CrashIntegration::~CrashIntegration() {
    platform::NotificationCenter::defaultCenter().removeObserver(this);
}

void CrashIntegration::uninstall() {
    std::shared_ptr<crash::InstallationReporter> installation;
    {
        const std::lock_guard lock(gMutex);
        installation = *gInstallation;
        gStarted = false;
    }
    platform::NotificationCenter::defaultCenter().removeObserver(this);
    crash::handler::setAttachmentCallback(nullptr);
    crash::clearCrashAttachments();
    if (installation) installation->uninstall();
}

void CrashIntegration::resetForTesting() {
    const std::lock_guard lock(gMutex);
    gInstallation->reset();
    gStarted = false;
}

}  // namespace skald
