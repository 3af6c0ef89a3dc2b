#include "skald/platform/workspace.h"

#include <dirent.h>

#include <algorithm>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <system_error>

#include "skald/platform/bundle.h"
#include "skald/platform/task.h"
#include "skald/platform/paths.h"
#include "skald/platform/tool_paths.h"

namespace skald::platform {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kDeletedSuffix = " (deleted)";

std::optional<pid_t> processId(const char* name) {
    if (name[0] == '\0') return std::nullopt;
    char* end = nullptr;
    const long value = std::strtol(name, &end, 10);
    if (*end != '\0' || value <= 0) return std::nullopt;
    return static_cast<pid_t>(value);
}

}  // namespace

std::vector<RunningApplication> Workspace::runningApplicationsWithBundleIdentifier(
    const std::string& bundleIdentifier) {
    std::vector<RunningApplication> found;
    DIR* proc = ::opendir("/proc");
    if (!proc) return found;
    // Several processes may run from one bundle: read its dictionary once.
    std::map<std::string, std::shared_ptr<const Bundle>> bundles;
    while (dirent* entry = ::readdir(proc)) {
        const auto pid = processId(entry->d_name);
        if (!pid) continue;
        std::error_code ec;
        std::string executable =
            fs::read_symlink(fs::path("/proc") / entry->d_name / "exe", ec).string();
        if (ec || executable.empty()) continue;
        if (executable.size() > kDeletedSuffix.size() &&
            executable.compare(executable.size() - kDeletedSuffix.size(), kDeletedSuffix.size(),
                               kDeletedSuffix) == 0) {
            executable.resize(executable.size() - kDeletedSuffix.size());
        }
        const fs::path path(executable);
        if (path.parent_path().filename() != "MacOS" ||
            path.parent_path().parent_path().filename() != "Contents") {
            continue;
        }
        const std::string bundlePath = path.parent_path().parent_path().parent_path().string();
        auto& bundle = bundles[bundlePath];
        if (!bundle) bundle = Bundle::forExecutable(executable);
        if (!bundle || bundle->bundleIdentifier() != bundleIdentifier) continue;
        RunningApplication application;
        application.processIdentifier = *pid;
        application.bundleIdentifier = bundleIdentifier;
        application.bundlePath = bundle->bundlePath();
        application.executablePath = executable;
        application.localizedName = bundle->infoText("CFBundleName");
        found.push_back(std::move(application));
    }
    ::closedir(proc);
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
        return a.processIdentifier < b.processIdentifier;
    });
    return found;
}

std::vector<std::string> Workspace::applicationDirectories() {
    return {"/Applications", Paths::homeDirectory() + "/Applications"};
}

std::optional<std::string> Workspace::applicationPathForBundleIdentifier(
    const std::string& bundleIdentifier) {
    for (const auto& dir : applicationDirectories()) {
        std::error_code ec;
        std::vector<fs::path> candidates;
        for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
            if (it->path().extension() == ".app") candidates.push_back(it->path());
        }
        // Directory order is arbitrary; names make the choice repeatable.
        std::sort(candidates.begin(), candidates.end());
        for (const auto& candidate : candidates) {
            auto bundle = Bundle::atPath(candidate.string());
            if (bundle && bundle->bundleIdentifier() == bundleIdentifier) {
                return candidate.string();
            }
        }
    }
    return std::nullopt;
}

bool Workspace::openUrls(const std::vector<std::string>& urls,
                         const std::string& bundleIdentifier) {
    if (urls.empty()) return false;
    if (bundleIdentifier == kDefaultBrowserBundleIdentifier) {
        const std::string opener = ToolPaths::urlOpenerPath();
        bool allLaunched = true;
        for (const auto& url : urls) {
            // "--" would be taken for the URL by xdg-open; a URL never starts with "-".
            if (url.empty() || url[0] == '-') {
                allLaunched = false;
                continue;
            }
            if (launchDetached(opener, {url}).error) allLaunched = false;
        }
        return allLaunched;
    }
    const auto path = applicationPathForBundleIdentifier(bundleIdentifier);
    if (!path) return false;
    const auto bundle = Bundle::atPath(*path);
    if (!bundle || !bundle->executablePath()) return false;
    return !launchDetached(*bundle->executablePath(), urls).error;
}

}  // namespace skald::platform
