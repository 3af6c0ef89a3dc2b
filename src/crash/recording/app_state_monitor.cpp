#include "crash/recording/app_state_monitor.h"

#include <cstring>
#include <filesystem>
#include <string_view>

#include "crash/async_safe/json_decoder.h"
#include "crash/async_safe/text_format.h"
#include "util/file_io.h"
#include "util/log.h"

namespace skald::crash::appstate {

namespace {

constexpr int kVersionMismatch = 5;
constexpr uint64_t kMaxStateFileBytes = 50000;

struct Loading {
    AppState state;
    int depth = 0;
    int64_t version = -1;
};

void setNumber(Loading& loading, const char* name, double value) {
    if (loading.depth != 1 || name == nullptr) return;
    const std::string_view key(name);
    AppState& s = loading.state;
    if (key == "launchesSinceLastCrash") s.launchesSinceLastCrash = static_cast<int>(value);
    if (key == "sessionsSinceLastCrash") s.sessionsSinceLastCrash = static_cast<int>(value);
    if (key == "activeDurationSinceLastCrash") s.activeDurationSinceLastCrash = value;
    if (key == "backgroundDurationSinceLastCrash") s.backgroundDurationSinceLastCrash = value;
    if (key == "durationFromCrashStateInitToLastCrash") {
        s.durationFromCrashStateInitToLastCrash = value;
    }
}

int onInteger(const char* name, int64_t value, void* userData) {
    auto& loading = *static_cast<Loading*>(userData);
    if (loading.depth == 1 && name != nullptr && std::strcmp(name, "version") == 0) {
        if (value != 1) {
            SKALD_LOG_ERROR("Expected version 1 but got %lld", static_cast<long long>(value));
            return kVersionMismatch;
        }
        loading.version = value;
        return 0;
    }
    setNumber(loading, name, static_cast<double>(value));
    return 0;
}

int onUnsigned(const char* name, uint64_t value, void* userData) {
    if (name != nullptr && std::strcmp(name, "version") == 0) {
        SKALD_LOG_ERROR("Expected version 1 but got %llu", static_cast<unsigned long long>(value));
        return kVersionMismatch;
    }
    setNumber(*static_cast<Loading*>(userData), name, static_cast<double>(value));
    return 0;
}

int onFloat(const char* name, double value, void* userData) {
    setNumber(*static_cast<Loading*>(userData), name, value);
    return 0;
}

int onBoolean(const char* name, bool value, void* userData) {
    auto& loading = *static_cast<Loading*>(userData);
    if (loading.depth == 1 && name != nullptr && std::strcmp(name, "crashedLastLaunch") == 0) {
        loading.state.crashedLastLaunch = value;
    }
    return 0;
}

int onIgnored(const char*, void*) {
    return 0;
}
int onIgnoredString(const char*, const char*, int, void*) {
    return 0;
}
int onBegin(const char*, void* userData) {
    ++static_cast<Loading*>(userData)->depth;
    return 0;
}
int onEnd(void* userData) {
    --static_cast<Loading*>(userData)->depth;
    return 0;
}
int onEndData(void*) {
    return 0;
}

void load(const std::string& path) {
    // Anything but a regular file of ours under the name is removed, so that
    // the next save writes a fresh file instead of into whatever it was.
    FileReadStatus status = FileReadStatus::Failed;
    const auto contents = readOwnFile(path, kMaxStateFileBytes, &status);
    if (status == FileReadStatus::Missing) return;
    if (!contents) {
        SKALD_LOG_ERROR("%s: Could not load file", path.c_str());
        return;
    }
    const std::string_view text(*contents);

    static const json::DecodeCallbacks callbacks{onBoolean, onFloat,         onInteger, onUnsigned,
                                                 onIgnored, onIgnoredString, onBegin,   onBegin,
                                                 onEnd,     onEndData};
    Loading loading;
    char strings[1000];
    int errorOffset = 0;
    const int result = json::decode(text.data(), static_cast<int>(text.size()), strings,
                                    sizeof strings, &callbacks, &loading, &errorOffset);
    if (result == kVersionMismatch && loading.version != 1)
        return;  // another version: start afresh
    if (result != 0) {
        SKALD_LOG_ERROR("%s, offset %d: %s", path.c_str(), errorOffset,
                        json::stringForError(result));
    }
    // Whatever was decoded before an error is kept.
    state() = loading.state;
}

}  // namespace

void initialize(const std::string& installPath) {
    initTime() = now();
    const std::string folder = installPath + "/Data";
    const std::string path = folder + "/CrashState.json";
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    text::copyString(stateFilePath(), kStateFilePathCapacity, path.c_str());
    setEnabled(false);
    state() = AppState{};
    load(path);
}

void notifyAppActive(bool isActive) {
    if (!isEnabled()) return;
    AppState& s = state();
    s.applicationIsActive = isActive;
    if (isActive) {
        s.appStateTransitionTime = now();
    } else {
        const double duration = now() - s.appStateTransitionTime;
        s.activeDurationSinceLaunch += duration;
        s.activeDurationSinceLastCrash += duration;
    }
}

void notifyAppInForeground(bool isInForeground) {
    if (!isEnabled()) return;
    AppState& s = state();
    s.applicationIsInForeground = isInForeground;
    if (!isInForeground) {
        s.appStateTransitionTime = now();
        saveState();
    } else {
        const double duration = now() - s.appStateTransitionTime;
        s.backgroundDurationSinceLaunch += duration;
        s.backgroundDurationSinceLastCrash += duration;
        ++s.sessionsSinceLastCrash;
        ++s.sessionsSinceLaunch;
    }
}

void notifyAppTerminate() {
    if (!isEnabled()) return;
    AppState& s = state();
    s.backgroundDurationSinceLastCrash += now() - s.appStateTransitionTime;
    saveState();
}

const AppState& currentState() {
    return state();
}

}  // namespace skald::crash::appstate
