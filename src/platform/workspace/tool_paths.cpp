#include "skald/platform/tool_paths.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <system_error>

namespace skald::platform {

namespace fs = std::filesystem;

namespace {

struct Overrides {
    std::mutex mutex;
    std::optional<std::string> hdiutil, unzip, open, urlOpener;
};

Overrides& overrides() {
    static auto* state = new Overrides;
    return *state;
}

std::optional<std::string> overridden(std::optional<std::string> Overrides::*field) {
    auto& state = overrides();
    std::lock_guard guard(state.mutex);
    return state.*field;
}

void setOverride(std::optional<std::string> Overrides::*field, std::optional<std::string> path) {
    auto& state = overrides();
    std::lock_guard guard(state.mutex);
    state.*field = std::move(path);
}

std::optional<std::string> environmentPath(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || value[0] == '\0') return std::nullopt;
    return std::string(value);
}

bool isExecutableFile(const fs::path& path) {
    std::error_code ec;
    return fs::is_regular_file(path, ec) && ::access(path.c_str(), X_OK) == 0;
}

std::optional<std::string> onPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string_view rest = path ? path : "/usr/local/bin:/usr/bin:/bin";
    while (!rest.empty()) {
        const auto colon = rest.find(':');
        const auto dir = rest.substr(0, colon);
        rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
        if (dir.empty()) continue;
        const fs::path candidate = fs::path(dir) / name;
        if (isExecutableFile(candidate)) return candidate.string();
    }
    return std::nullopt;
}

fs::path executableDirectory() {
    std::error_code ec;
    const auto self = fs::read_symlink("/proc/self/exe", ec);
    return ec ? fs::path() : self.parent_path();
}

std::string helperPath(std::optional<std::string> Overrides::*field, const char* variable,
                       const std::string& name) {
    if (auto path = overridden(field)) return *path;
    if (auto path = environmentPath(variable)) return *path;
    if (auto path = ToolPaths::findHelper(name)) return *path;
    return (executableDirectory() / name).string();
}

}  // namespace

std::vector<std::string> ToolPaths::helperSearchDirectories() {
    const fs::path dir = executableDirectory();
    if (dir.empty()) return {};
    std::vector<std::string> dirs;
    const auto addAround = [&dirs](const fs::path& base) {
        for (const fs::path& candidate : {base, base / ".." / "tools", base / ".." / ".." / "tools",
                                          base / ".." / "libexec" / "skald"}) {
            dirs.push_back(candidate.lexically_normal().string());
        }
    };
    addAround(dir);
    dirs.push_back((dir / ".." / "Helpers").lexically_normal().string());
    // A program inside "Name.app/Contents/MacOS" looks around the folder that
    // holds the bundle as a plain program looks around its own.
    if (dir.filename() == "MacOS" && dir.parent_path().filename() == "Contents") {
        addAround(dir.parent_path().parent_path().parent_path());
    }
    return dirs;
}

std::optional<std::string> ToolPaths::findHelper(const std::string& name) {
    for (const auto& dir : helperSearchDirectories()) {
        const fs::path candidate = fs::path(dir) / name;
        if (isExecutableFile(candidate)) return candidate.string();
    }
    return onPath(name);
}

std::string ToolPaths::hdiutilPath() {
    return helperPath(&Overrides::hdiutil, "VANTOREL_TOOL_HDIUTIL", "skald-hdiutil");
}

std::string ToolPaths::openPath() {
    return helperPath(&Overrides::open, "VANTOREL_TOOL_OPEN", "skald-open");
}

std::string ToolPaths::unzipPath() {
    if (auto path = overridden(&Overrides::unzip)) return *path;
    if (auto path = environmentPath("VANTOREL_TOOL_UNZIP")) return *path;
    return "/usr/bin/unzip";
}

std::string ToolPaths::urlOpenerPath() {
    if (auto path = overridden(&Overrides::urlOpener)) return *path;
    if (auto path = environmentPath("VANTOREL_TOOL_URL_OPENER")) return *path;
    if (auto path = onPath("xdg-open")) return *path;
    return "/usr/bin/xdg-open";
}

void ToolPaths::setHdiutilPath(std::optional<std::string> path) {
    setOverride(&Overrides::hdiutil, std::move(path));
}

void ToolPaths::setUnzipPath(std::optional<std::string> path) {
    setOverride(&Overrides::unzip, std::move(path));
}

void ToolPaths::setOpenPath(std::optional<std::string> path) {
    setOverride(&Overrides::open, std::move(path));
}

void ToolPaths::setUrlOpenerPath(std::optional<std::string> path) {
    setOverride(&Overrides::urlOpener, std::move(path));
}

}  // namespace skald::platform
