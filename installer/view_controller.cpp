// Start-up, the crash check, the running-instance check and the download.
#include "installer/view_controller.h"

#include <cstdio>
#include <sys/utsname.h>

#include <filesystem>

#include "installer/url_helpers.h"
#include "skald/app/alert.h"
#include "skald/app/application.h"
#include "skald/platform/main_queue.h"
#include "skald/platform/operation_queue.h"
#include "skald/platform/file_operations.h"
#include "skald/platform/workspace.h"
#include "skald/sdk.h"

namespace vantorel {

using skald::platform::FileOperations;
namespace app = skald::app;
namespace platform = skald::platform;

ViewController::ViewController(InstallerSettings settings) : settings_(std::move(settings)) {
    crashedLastRun = [] { return skald::SDK::crashedLastRun(); };
}

ViewController::~ViewController() {
    platform::NotificationCenter::defaultCenter().removeObserver(this);
}

std::shared_ptr<platform::UrlSession> ViewController::session() const {
    std::lock_guard guard(mutex_);
    return session_;
}

std::shared_ptr<platform::OperationQueue> ViewController::delegateQueue() const {
    std::lock_guard guard(mutex_);
    return delegateQueue_;
}

std::optional<std::string> ViewController::lastDestination() const {
    std::lock_guard guard(mutex_);
    return lastDestination_;
}

void ViewController::onMain(std::function<void()> block) {
    platform::MainQueue::async(std::move(block));
}

void ViewController::viewDidLoad() {
    app::ViewController::viewDidLoad();
    std::weak_ptr<ViewController> weak = weak_from_this();
    platform::NotificationCenter::defaultCenter().addObserver(
        this, platform::kApplicationDidFinishLaunchingNotification, nullptr,
        [weak](const platform::Notification& notification) {
            if (auto self = weak.lock()) self->applicationDidFinishLaunching(notification);
        });

    auto queue = platform::OperationQueue::make("com.vantorel.download-delegate", 1);
    auto configuration = platform::UrlSessionConfiguration::defaultConfiguration();
    configuration.waitsForConnectivity = true;
    // The download service may send us on to a mirror, but never off https.
    configuration.redirectPolicy = platform::UrlRedirectPolicy::NoDowngrade;
    auto session = platform::UrlSession::make(configuration, weak, queue);
    {
        std::lock_guard guard(mutex_);
        delegateQueue_ = std::move(queue);
        session_ = std::move(session);
    }
    alertIfVantorelIsRunning();
    downloadApp();
}

void ViewController::whenReporting(std::function<void()> report) {
    {
        std::lock_guard guard(mutex_);
        if (!reporting_) {
            pendingReports_.push_back(std::move(report));
            return;
        }
    }
    report();
}

void ViewController::startReporting() {
    std::vector<std::function<void()>> pending;
    {
        std::lock_guard guard(mutex_);
        reporting_ = true;
        pending.swap(pendingReports_);
    }
    for (const auto& report : pending) report();
}

void ViewController::applicationDidFinishLaunching(const platform::Notification&) {
    // The application delegate has started the SDK by now: the download,
    // which began before, may already have reported.
    startReporting();
    if (!crashedLastRun || !crashedLastRun()) return;
    addBreadcrumbWithMessage("Previous crash detected, showing download modal", std::nullopt);
    app::Alert alert;
    alert.setAlertStyle(app::AlertStyle::Critical);
    alert.setMessageText(
        "Vantorel Installer quit unexpectedly the last time it ran. If the problem continues, "
        "select \"Download in Safari\" to install Vantorel. Otherwise, please try again.");
    alert.addButtonWithTitle("Try again");
    alert.addButtonWithTitle("Download in Safari");
    if (alert.runModal() == app::kAlertSecondButtonReturn) {
        openDownloadPageInSafari();
        onMain([] {
            if (auto* application = app::Application::shared()) application->terminate();
        });
    }
}

void ViewController::alertIfVantorelIsRunning() {
    if (platform::Workspace::runningApplicationsWithBundleIdentifier(
            settings_.productBundleIdentifier)
            .empty())
        return;
    app::Alert alert;
    alert.setAlertStyle(app::AlertStyle::Critical);
    alert.setMessageText("Vantorel is already running");
    alert.setInformativeText("Please quit Vantorel, then try again.");
    alert.addButtonWithTitle("Try again");
    alert.addButtonWithTitle("Cancel");
    auto* window = this->window();
    if (window == nullptr) return;
    std::weak_ptr<ViewController> weak = weak_from_this();
    alert.beginSheetModalForWindow(*window, [weak](app::ModalResponse response) {
        auto self = weak.lock();
        if (!self) return;
        if (response == app::kAlertFirstButtonReturn) {
            self->alertIfVantorelIsRunning();
        } else if (auto* application = app::Application::shared()) {
            application->terminate();
        }
    });
}

std::optional<std::string> ViewController::getMachineHardwareName() {
    struct utsname name {};
    if (::uname(&name) != 0) return std::nullopt;
    const std::string machine = name.machine;
    return machine == "x86_64" ? std::string("x64") : machine;
}

std::string ViewController::downloadUrl() const {
    const char* hostVariable = std::getenv("VANTOREL_HOST");
    const std::string selector = hostVariable ? hostVariable : "";
    std::string host = settings_.productionHost;
    if (selector == "beta") {
        host = settings_.betaHost;
    } else if (selector == "staging") {
        host = settings_.stagingHost;
    }
    std::string origin = settings_.scheme + "://" + host;
    if (settings_.developmentOrigin) origin = *settings_.developmentOrigin;

    std::string query = "v2=true&platform=mac&arch=";
    if (auto arch = getMachineHardwareName()) {
        query += percentEncodeQueryValue(*arch);
    } else {
        query.pop_back();  // an item without value: "arch"
    }
    if (const char* build = std::getenv("VANTOREL_BUILD")) {
        query += "&build=" + percentEncodeQueryValue(build);
    }
    return origin + settings_.downloadPath + "?" + query;
}

void ViewController::downloadApp() {
    auto current = session();
    if (!current) return;
    if (auto task = current->downloadTaskWithUrl(downloadUrl())) task->resume();
}

void ViewController::openDownloadPageInSafari() {
    if (!platform::Workspace::openUrls({downloadUrl()}, settings_.browserBundleIdentifier)) {
        std::fprintf(stderr, "Vantorel Installer: could not open the download page in the browser.\n");
    }
}

void ViewController::quitAppAfterDelay() {
    auto quit = [] {
        platform::MainQueue::async([] {
            if (auto* application = app::Application::shared()) application->terminate();
        });
    };
    if (auto* application = app::Application::shared()) {
        application->dispatchAfter(platform::secondsToDuration(settings_.quitDelaySeconds), quit);
    }
}

void ViewController::didWriteData(platform::UrlSession&, platform::UrlSessionDownloadTask&, int64_t,
                                  int64_t totalBytesWritten, int64_t totalBytesExpectedToWrite) {
    if (totalBytesExpectedToWrite == platform::kUrlSessionTransferSizeUnknown) return;
    if (totalBytesExpectedToWrite <= 0) return;
    const double percent = static_cast<double>(totalBytesWritten) /
                           static_cast<double>(totalBytesExpectedToWrite) * 100.0;
    std::weak_ptr<ViewController> weak = weak_from_this();
    onMain([weak, percent] {
        auto self = weak.lock();
        if (self && self->window()) self->window()->progressIndicator().setDoubleValue(percent);
    });
}

void ViewController::didFinishDownloadingToUrl(platform::UrlSession&,
                                               platform::UrlSessionDownloadTask& task,
                                               const std::string& location) {
    addBreadcrumbWithMessage(
        "Download finished",
        skald::Json{{"filePath", debugAbsoluteString(fileUrlForPath(location))}});
    std::weak_ptr<ViewController> weak = weak_from_this();
    onMain([weak] {
        auto self = weak.lock();
        if (!self || !self->window()) return;
        self->window()->label().setText("Installing Vantorel...");
        self->window()->progressIndicator().setIndeterminate(true);
        self->window()->progressIndicator().startAnimation();
    });

    const std::string dataFolder =
        (std::filesystem::path(settings_.applicationSupportDirectory) / settings_.dataFolderName)
            .string();
    const auto response = task.response();
    std::string extension = response ? pathExtensionOfUrl(response->url) : "";
    if (extension.empty()) extension = settings_.defaultFileExtension;
    const std::string destination = dataFolder + "/Vantorel." + extension;

    addBreadcrumbWithMessage(
        "Creating download data folder",
        skald::Json{{"folderPath", dataFolder},
                    {"filePath", debugAbsoluteString(fileUrlForPath(destination))}});
    if (auto error = FileOperations::createDirectory(dataFolder)) {
        logError(*error, "create-app-support-dir");
        showErrorModal();
        return;
    }
    // The fresh download replaces a file an interrupted run may have left.
    if (FileOperations::moveItem(location, destination)) {
        const std::string staging = destination + ".partial";
        FileOperations::removeItem(staging);
        if (!FileOperations::copyItem(location, staging)) {
            FileOperations::moveItem(staging, destination);
        }
    }
    {
        std::lock_guard guard(mutex_);
        lastDestination_ = destination;
    }
    const std::string url = fileUrlForPath(destination);
    onMain([weak, url] {
        if (auto self = weak.lock()) self->installApp(url);
    });
}

void ViewController::didCompleteWithError(platform::UrlSession&, platform::UrlSessionTask&,
                                          const std::optional<skald::Error>& error) {
    if (error) downloadApp();
}

}  // namespace vantorel
