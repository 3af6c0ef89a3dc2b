#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace skald::platform {

/// A process that runs an application bundle's executable.
struct RunningApplication {
    pid_t processIdentifier = 0;
    std::string bundleIdentifier;
    /// The "Name.app" directory.
    std::string bundlePath;
    std::string executablePath;
    /// CFBundleName, when the bundle has one.
    std::optional<std::string> localizedName;
};

/// The desktop: which applications run, and opening URLs with them.
class Workspace {
  public:
    /// Stands for the user's default web browser.
    static constexpr const char* kDefaultBrowserBundleIdentifier = "com.apple.Safari";

    /// The processes whose executable lies in "X.app/Contents/MacOS/" of a
    /// bundle whose CFBundleIdentifier is `bundleIdentifier`, by process id.
    /// Found by reading /proc/<pid>/exe; processes of other users that we may
    /// not inspect are not seen. An executable replaced on disk while it runs
    /// still counts when the bundle now at its path has that identifier.
    static std::vector<RunningApplication> runningApplicationsWithBundleIdentifier(
        const std::string& bundleIdentifier);

    /// Opens `urls` with the application of `bundleIdentifier`, without
    /// waiting for it. The default browser's identifier runs the URL opener
    /// (ToolPaths::urlOpenerPath, xdg-open) once per URL; any other
    /// identifier launches the executable of the first bundle with that
    /// identifier in `applicationDirectories()` with the URLs as arguments.
    /// False when no URL was given, no such application exists or a launch
    /// failed; whether the application then managed to show them is not known.
    static bool openUrls(const std::vector<std::string>& urls, const std::string& bundleIdentifier);

    /// The bundle path of the first application with `bundleIdentifier`
    /// directly inside one of `applicationDirectories()`.
    static std::optional<std::string> applicationPathForBundleIdentifier(
        const std::string& bundleIdentifier);
    /// "/Applications" and the user's "~/Applications".
    static std::vector<std::string> applicationDirectories();
};

}  // namespace skald::platform
