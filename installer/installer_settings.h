#pragma once

#include <optional>
#include <string>

namespace vantorel {

/// Build settings of the installer: where it downloads from, where it
/// reports to and where it installs. Development overrides (environment
/// variables, below) point it at local services without changing what it does.
struct InstallerSettings {
    std::string scheme = "https";
    std::string productionHost = "downloads.vantorel.com";
    std::string betaHost = "beta.downloads.vantorel.com";
    std::string stagingHost = "staging.downloads.vantorel.com";
    std::string downloadPath = "/download";
    /// Replaces scheme, host and port of the download URL after the host was
    /// chosen, e.g. "http://127.0.0.1:8080" (VANTOREL_DEV_DOWNLOAD_ORIGIN).
    std::optional<std::string> developmentOrigin;

    std::string dsn = "https://3f9c1e7a5b2d4c6e8f0a1b3c5d7e9f21@errors.vantorel.com/4242";

    std::string productBundleIdentifier = "com.vantorel.tidewheel";
    std::string browserBundleIdentifier = "com.apple.Safari";
    std::string dataFolderName = "Vantorel";
    std::string defaultFileExtension = "dmg";
    /// The system-wide folder; the user's "~/Applications" is the fallback
    /// (VANTOREL_DEV_APPLICATIONS_DIR).
    std::string applicationsFolder = "/Applications";
    /// The user's home, whose "Applications" folder is the fallback (HOME).
    std::string homeDirectory;
    /// Where the download's data folder lives (XDG_DATA_HOME).
    std::string applicationSupportDirectory;
    std::string temporaryDirectory;
    double quitDelaySeconds = 2.5;

    /// The defaults with the environment's overrides: VANTOREL_DEV_DOWNLOAD_ORIGIN,
    /// VANTOREL_DEV_DSN and VANTOREL_DEV_APPLICATIONS_DIR.
    static InstallerSettings fromEnvironment();
};

}  // namespace vantorel
