// The installation steps and the two reporting operations.
#include <cstdio>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>

#include "installer/url_helpers.h"
#include "installer/view_controller.h"
#include "skald/app/alert.h"
#include "skald/platform/property_list.h"
#include "skald/platform/main_queue.h"
#include "skald/platform/file_operations.h"
#include "skald/platform/task.h"
#include "skald/platform/tool_paths.h"
#include "skald/breadcrumb.h"
#include "skald/event.h"
#include "skald/id.h"
#include "skald/message.h"
#include "skald/sdk.h"

namespace vantorel {

using skald::platform::FileOperations;
namespace app = skald::app;
namespace platform = skald::platform;

namespace {

constexpr int64_t kFileNoSuchFile = platform::kFileNoSuchFileError;
constexpr int64_t kFileWriteFileExists = platform::kFileWriteFileExistsError;
// The property-list parser's "not in the correct format".
constexpr int64_t kPropertyListReadCorrupt = 3840;

std::string pathFromFileUrl(const std::string& url) {
    constexpr std::string_view prefix = "file://";
    if (url.compare(0, prefix.size(), prefix) != 0) return url;
    std::string path;
    for (size_t i = prefix.size(); i < url.size(); ++i) {
        if (url[i] == '%' && i + 2 < url.size() && std::isxdigit(url[i + 1]) &&
            std::isxdigit(url[i + 2])) {
            path += static_cast<char>(std::stoi(url.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            path += url[i];
        }
    }
    return path;
}

std::string lowercase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string extensionOf(const std::string& path) {
    const auto name = std::filesystem::path(path).filename().string();
    const auto dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) return "";
    return name.substr(dot + 1);
}

std::string joinPath(const std::string& directory, const std::string& name) {
    return (std::filesystem::path(directory) / name).string();
}

}  // namespace

void ViewController::installApp(const std::string& fileUrl) {
    const std::string extension = lowercase(extensionOf(pathFromFileUrl(fileUrl)));
    std::optional<std::string> directory;
    if (extension == "dmg") {
        directory = mountDmg(fileUrl);
    } else if (extension == "zip") {
        directory = unzipFile(fileUrl);
    } else {
        showErrorModal();
        return;
    }
    if (!directory) return;
    const auto bundle = findAppBundleInDirectory(*directory);
    if (!bundle) return;
    const auto installed = copyToApplicationsFolder(*bundle);
    if (!installed) return;
    cleanUpOriginalFile(fileUrl);
    launchAppAtPath(*installed);
    quitAppAfterDelay();
}

std::optional<std::string> ViewController::mountDmg(const std::string& fileUrl) {
    const auto result = platform::Task::run(platform::ToolPaths::hdiutilPath(),
                                            {"attach", pathFromFileUrl(fileUrl), "-plist"});
    const auto plist = platform::parsePropertyList(result.standardOutput);
    if (!plist) {
        skald::Error error("NSCocoaErrorDomain", kPropertyListReadCorrupt,
                           "The data couldn't be read because it isn't in the correct format.");
        if (result.launchError)
            error.underlyingError = std::make_shared<skald::Error>(*result.launchError);
        logError(error, "parse-mount-output");
        showErrorModal();
        return std::nullopt;
    }
    if (plist->is_object()) {
        auto entities = plist->find("system-entities");
        if (entities != plist->end() && entities->is_array()) {
            for (const auto& entity : *entities) {
                if (!entity.is_object()) continue;
                auto mountPoint = entity.find("mount-point");
                if (mountPoint != entity.end() && mountPoint->is_string() &&
                    !mountPoint->get<std::string>().empty())
                    return mountPoint->get<std::string>();
            }
        }
    }
    logError(skald::Error(kInstallerErrorDomain, kMountFailedErrorCode, "Failed to mount dmg"),
             "mount-dmg");
    showErrorModal();
    return std::nullopt;
}

std::optional<std::string> ViewController::unzipFile(const std::string& fileUrl) {
    const std::string target = joinPath(settings_.temporaryDirectory, skald::Id().uuidString());
    if (auto error = FileOperations::createDirectory(target)) {
        logError(*error, "create-temp-dir");
        showErrorModal();
        return std::nullopt;
    }
    platform::Task::run(platform::ToolPaths::unzipPath(),
                        {"-q", pathFromFileUrl(fileUrl), "-d", target});
    return target;
}

std::optional<std::string> ViewController::findAppBundleInDirectory(const std::string& directory) {
    skald::Error error;
    const auto entries = FileOperations::contentsOfDirectory(directory, &error);
    if (!entries) {
        logError(error, "list-directory-contents");
        showErrorModal();
        return std::nullopt;
    }
    for (const auto& entry : *entries) {
        if (extensionOf(entry) == "app") return joinPath(directory, entry);
    }
    logError(
        skald::Error(kInstallerErrorDomain, kNoAppFoundErrorCode, "No .app found in directory"),
        "find-app-bundle");
    showErrorModal();
    return std::nullopt;
}

std::optional<std::string> ViewController::copyToApplicationsFolder(const std::string& bundlePath) {
    const std::string bundleName = std::filesystem::path(bundlePath).filename().string();
    const std::string destination = joinPath(settings_.applicationsFolder, bundleName);
    alertIfVantorelIsRunning();
    deleteExistingAppAtPath(destination);
    addBreadcrumbWithMessage(
        "Attempting copy to root apps folder",
        skald::Json{{"sourceFilePath", bundlePath}, {"destinationFilePath", destination}});
    auto error = installCopy(bundlePath, destination);
    if (!error || error->code == kFileWriteFileExists) return destination;

    // The system-wide folder is not writable: the user's own folder.
    const std::string userFolder = joinPath(settings_.homeDirectory, "Applications");
    addBreadcrumbWithMessage(
        "Attempting to create user apps folder",
        skald::Json{{"filePath", debugAbsoluteString(fileUrlForPath(userFolder))}});
    if (auto created = FileOperations::createDirectory(userFolder)) {
        logError(*created, "create-user-app-dir");
        showErrorModal();
        return std::nullopt;
    }
    const std::string userDestination = joinPath(userFolder, bundleName);
    deleteExistingAppAtPath(userDestination);
    addBreadcrumbWithMessage(
        "Attempting copy to user apps folder",
        skald::Json{{"sourceFilePath", bundlePath}, {"destinationFilePath", userDestination}});
    error = installCopy(bundlePath, userDestination);
    if (!error || error->code == kFileWriteFileExists) return userDestination;
    logError(*error, "copy-to-user-app-dir");
    showErrorModal();
    return std::nullopt;
}

void ViewController::deleteExistingAppAtPath(const std::string& path) {
    addBreadcrumbWithMessage("Attempting delete of existing app", skald::Json{{"filePath", path}});
    if (!FileOperations::fileExists(path)) return;  // the file does not exist: nothing to report
    // Set aside rather than deleted, so a failed copy can bring it back.
    const std::string aside = path + ".previous-" + std::to_string(::getpid());
    FileOperations::removeItem(aside);
    if (auto error = FileOperations::moveItem(path, aside)) {
        if (error->domain == platform::kCocoaErrorDomain && error->code == kFileNoSuchFile) return;
        logError(*error, "delete-existing-app");
        return;
    }
    std::lock_guard guard(mutex_);
    setAside_[path] = aside;
}

std::optional<skald::Error> ViewController::installCopy(const std::string& bundlePath,
                                                        const std::string& destination) {
    std::optional<std::string> aside;
    {
        std::lock_guard guard(mutex_);
        auto it = setAside_.find(destination);
        if (it != setAside_.end()) {
            aside = it->second;
            setAside_.erase(it);
        }
    }
    const std::string staging = destination + ".installing-" + std::to_string(::getpid());
    FileOperations::removeItem(staging);
    auto error = FileOperations::copyItem(bundlePath, staging);
    if (!error) error = FileOperations::moveItem(staging, destination);
    if (error) {
        FileOperations::removeItem(staging);
        // The working copy goes back in place of the failed one.
        if (aside) FileOperations::moveItem(*aside, destination);
        return error;
    }
    if (aside) FileOperations::removeItem(*aside);
    return std::nullopt;
}

void ViewController::cleanUpOriginalFile(const std::string& fileUrl) {
    if (auto error = FileOperations::removeItem(pathFromFileUrl(fileUrl))) {
        logError(*error, "delete-original-file");
        showErrorModal();
    }
}

void ViewController::launchAppAtPath(const std::string& path) {
    addBreadcrumbWithMessage("Launching Vantorel", skald::Json{{"filePath", path}});
    auto task = std::make_shared<platform::Task>();
    task->setLaunchPath(platform::ToolPaths::openPath());
    task->setArguments({"-a", path});
    if (auto error = task->launch()) {
        std::fprintf(stderr, "Vantorel Installer: could not launch %s: %s\n", path.c_str(),
                     error->description().c_str());
    }
}

void ViewController::showErrorModal() {
    std::weak_ptr<ViewController> weak = weak_from_this();
    platform::MainQueue::async([weak] {
        auto self = weak.lock();
        if (!self) return;
        app::Alert alert;
        alert.setAlertStyle(app::AlertStyle::Critical);
        alert.setMessageText(
            "We're sorry, Vantorel Installer cannot automatically install Vantorel on your "
            "computer. Select \"Download in Safari\" to download & install the app manually.");
        alert.addButtonWithTitle("Download in Safari");
        alert.runModal();
        self->openDownloadPageInSafari();
        self->quitAppAfterDelay();
    });
}

void ViewController::logError(const skald::Error& error, const std::string& tag) {
    auto event = std::make_shared<skald::Event>(error);
    event->message = std::make_shared<skald::Message>(error.localizedDescription);
    event->level = skald::Level::Error;
    event->tags = std::map<std::string, std::string>{{"error-type", tag}};
    skald::Json extra = {{"localizedDescription", error.localizedDescription},
                         {"domain", error.domain},
                         {"code", error.code}};
    if (error.localizedFailureReason)
        extra["localizedFailureReason"] = *error.localizedFailureReason;
    if (error.localizedRecoverySuggestion)
        extra["localizedRecoverySuggestion"] = *error.localizedRecoverySuggestion;
    if (error.filePath) extra["filePath"] = *error.filePath;
    event->extra = std::move(extra);
    whenReporting([event] { skald::SDK::captureEvent(event); });
    std::fprintf(stderr, "%s\n%s\n", tag.c_str(), error.description().c_str());
}

void ViewController::addBreadcrumbWithMessage(const std::string& message,
                                              const std::optional<skald::Json>& data) {
    auto crumb = std::make_shared<skald::Breadcrumb>(skald::Level::Info, "Vantorel");
    crumb->message = message;
    crumb->data = data;
    whenReporting([crumb] { skald::SDK::addBreadcrumb(crumb); });
}

}  // namespace vantorel
