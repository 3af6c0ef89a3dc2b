#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "installer/installer_settings.h"
#include "skald/app/window.h"
#include "skald/platform/url_session.h"
#include "skald/platform/notification_center.h"
#include "skald/error.h"
#include "skald/json.h"

namespace skald::platform {
class OperationQueue;
}

namespace vantorel {

/// Error domain and codes of the installer's own errors.
inline constexpr const char* kInstallerErrorDomain = "com.vantorel";
inline constexpr int64_t kNoAppFoundErrorCode = 1001;
inline constexpr int64_t kMountFailedErrorCode = 1002;

/// The window's controller: downloads the current build, installs it, launches
/// it and quits, reporting every failing step.
///
/// Session callbacks run on `delegateQueue`; everything that touches the
/// window or runs an installation step runs on the main queue.
class ViewController : public skald::app::ViewController,
                       public skald::platform::UrlSessionDelegate,
                       public std::enable_shared_from_this<ViewController> {
  public:
    explicit ViewController(InstallerSettings settings);
    ~ViewController() override;

    // --- Start-up and download ------------------------------------------------
    void viewDidLoad() override;
    /// The crash check, when the application has finished launching.
    void applicationDidFinishLaunching(const skald::platform::Notification& notification);
    void alertIfVantorelIsRunning();
    std::string downloadUrl() const;
    void downloadApp();
    static std::optional<std::string> getMachineHardwareName();
    void openDownloadPageInSafari();
    void quitAppAfterDelay();

    void didWriteData(skald::platform::UrlSession& session,
                      skald::platform::UrlSessionDownloadTask& task, int64_t bytesWritten,
                      int64_t totalBytesWritten, int64_t totalBytesExpectedToWrite) override;
    void didFinishDownloadingToUrl(skald::platform::UrlSession& session,
                                   skald::platform::UrlSessionDownloadTask& task,
                                   const std::string& location) override;
    void didCompleteWithError(skald::platform::UrlSession& session,
                              skald::platform::UrlSessionTask& task,
                              const std::optional<skald::Error>& error) override;
    void didResumeAtOffset(skald::platform::UrlSession&, skald::platform::UrlSessionDownloadTask&,
                           int64_t, int64_t) override {}

    // --- Installation steps (main thread) ------------------------------------------
    void installApp(const std::string& fileUrl);
    std::optional<std::string> mountDmg(const std::string& fileUrl);
    std::optional<std::string> unzipFile(const std::string& fileUrl);
    std::optional<std::string> findAppBundleInDirectory(const std::string& directory);
    std::optional<std::string> copyToApplicationsFolder(const std::string& bundlePath);
    void deleteExistingAppAtPath(const std::string& path);
    void cleanUpOriginalFile(const std::string& fileUrl);
    void launchAppAtPath(const std::string& path);

    // --- Reporting (any thread) -------------------------------------------------------
    void showErrorModal();
    void logError(const skald::Error& error, const std::string& tag);
    void addBreadcrumbWithMessage(const std::string& message,
                                  const std::optional<skald::Json>& data);

    /// Where the last download was put (for tests and the demo).
    std::optional<std::string> lastDestination() const;

    /// Whether the previous run crashed; the SDK's answer unless replaced (tests).
    std::function<bool()> crashedLastRun;

    const InstallerSettings& settings() const { return settings_; }
    std::shared_ptr<skald::platform::UrlSession> session() const;
    std::shared_ptr<skald::platform::OperationQueue> delegateQueue() const;

  private:
    void onMain(std::function<void()> block);
    /// Runs `report` once the SDK has been started; until then reports wait
    /// in order, so that nothing the download reports early is lost.
    void whenReporting(std::function<void()> report);
    void startReporting();
    /// Copies the bundle to `destination` without ever leaving a partial copy
    /// there: into a staging name beside it, then renamed into place. The old
    /// copy, set aside by `deleteExistingAppAtPath`, comes back on failure.
    std::optional<skald::Error> installCopy(const std::string& bundlePath,
                                            const std::string& destination);

    InstallerSettings settings_;
    mutable std::mutex mutex_;
    std::shared_ptr<skald::platform::OperationQueue> delegateQueue_;
    std::shared_ptr<skald::platform::UrlSession> session_;
    std::optional<std::string> lastDestination_;
    /// Existing copies set aside by `deleteExistingAppAtPath`, by their path.
    std::map<std::string, std::string> setAside_;
    bool reporting_ = false;
    std::vector<std::function<void()>> pendingReports_;
};

}  // namespace vantorel
