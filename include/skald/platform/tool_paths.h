#pragma once

#include <optional>
#include <string>
#include <vector>

namespace skald::platform {

/// Where the programs live that stand in for the system's command-line
/// tools. Each path is, first found wins:
///  1. the path set with its setter (tests);
///  2. its environment variable:
///       VANTOREL_TOOL_HDIUTIL     the disk-image tool ("attach IMAGE -plist")
///       VANTOREL_TOOL_UNZIP       the zip tool
///       VANTOREL_TOOL_OPEN        the application launcher ("open -a APP")
///       VANTOREL_TOOL_URL_OPENER  the desktop's URL handler;
///  3. for the project's helpers (skald-hdiutil, skald-open), the first
///     executable of that name in `helperSearchDirectories()`, then on PATH;
///  4. the default: "/usr/bin/unzip", "xdg-open" from PATH (else
///     "/usr/bin/xdg-open"), and for a helper that was found nowhere its
///     path beside the running executable (launching it then fails with
///     "no such file").
///
/// Never "/usr/bin/open": on Linux that is openvt.
struct ToolPaths {
    static std::string hdiutilPath();
    static std::string unzipPath();
    static std::string openPath();
    static std::string urlOpenerPath();

    /// Overrides for tests; nullopt brings back the lookup above.
    static void setHdiutilPath(std::optional<std::string> path);
    static void setUnzipPath(std::optional<std::string> path);
    static void setOpenPath(std::optional<std::string> path);
    static void setUrlOpenerPath(std::optional<std::string> path);

    /// The running executable's directory, its "../tools" and "../../tools"
    /// (build trees), "../libexec/skald" (installed) and "../Helpers" (inside
    /// a bundle's Contents); for an executable in "Name.app/Contents/MacOS",
    /// then the same four around the folder that holds the bundle.
    static std::vector<std::string> helperSearchDirectories();
    /// The first executable called `name` in the search directories or on PATH.
    static std::optional<std::string> findHelper(const std::string& name);
};

}  // namespace skald::platform
