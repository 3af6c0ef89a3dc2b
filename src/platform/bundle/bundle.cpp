#include "skald/platform/bundle.h"

#include <filesystem>
#include <mutex>
#include <system_error>

#include "skald/platform/property_list.h"
#include "platform/process/no_destructor.h"

namespace skald::platform {

namespace fs = std::filesystem;

namespace {

std::optional<Json> readInfoDictionary(const fs::path& bundlePath) {
    auto info = readPropertyListFile(bundlePath / "Contents" / "Info.plist");
    if (!info || !info->is_object()) return std::nullopt;
    return info;
}

struct MainBundleState {
    std::mutex mutex;
    std::shared_ptr<const Bundle> discovered;
    std::shared_ptr<const Bundle> handedOver;
};

MainBundleState& mainState() {
    static platform::NoDestructor<MainBundleState> state;
    return *state;
}

std::shared_ptr<const Bundle> discoverMain() {
    std::error_code ec;
    const auto executable = fs::read_symlink("/proc/self/exe", ec);
    return Bundle::forExecutable(ec ? std::string() : executable.string());
}

}  // namespace

std::shared_ptr<const Bundle> Bundle::main() {
    auto& state = mainState();
    std::lock_guard lock(state.mutex);
    if (state.handedOver) return state.handedOver;
    if (!state.discovered) state.discovered = discoverMain();
    return state.discovered;
}

void Bundle::setMainInfoDictionary(std::optional<Json> info) {
    if (info && !info->is_object()) return;
    auto& state = mainState();
    std::lock_guard lock(state.mutex);
    if (!info) {
        state.handedOver.reset();
        return;
    }
    if (!state.discovered) state.discovered = discoverMain();
    state.handedOver = std::shared_ptr<const Bundle>(new Bundle(
        state.discovered->bundlePath_, state.discovered->executablePath_, std::move(info)));
}

std::shared_ptr<const Bundle> Bundle::atPath(const std::string& path) {
    std::error_code ec;
    if (path.empty() || !fs::is_directory(path, ec)) return nullptr;
    auto info = readInfoDictionary(path);
    std::optional<std::string> executable;
    if (info) {
        if (const auto it = info->find("CFBundleExecutable");
            it != info->end() && it->is_string()) {
            const auto candidate = fs::path(path) / "Contents" / "MacOS" / it->get<std::string>();
            if (fs::is_regular_file(candidate, ec)) executable = candidate.string();
        }
    }
    return std::shared_ptr<const Bundle>(new Bundle(path, std::move(executable), std::move(info)));
}

std::shared_ptr<const Bundle> Bundle::forExecutable(const std::string& executablePath) {
    const fs::path executable(executablePath);
    const fs::path macos = executable.parent_path();
    const fs::path contents = macos.parent_path();
    if (!executable.empty() && macos.filename() == "MacOS" && contents.filename() == "Contents") {
        const fs::path bundlePath = contents.parent_path();
        return std::shared_ptr<const Bundle>(
            new Bundle(bundlePath.string(), executablePath, readInfoDictionary(bundlePath)));
    }
    return std::shared_ptr<const Bundle>(new Bundle(
        macos.string(),
        executablePath.empty() ? std::nullopt : std::optional<std::string>(executablePath),
        std::nullopt));
}

std::optional<std::string> Bundle::infoText(const std::string& key) const {
    if (!info_) return std::nullopt;
    const auto it = info_->find(key);
    if (it == info_->end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

}  // namespace skald::platform
