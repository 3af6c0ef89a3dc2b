// Async-signal-safe: the crash state and the application-state monitor as an
// entry of the monitor table; its crash notification runs on the crashing
// thread. Loading the state file at start is app_state_monitor.cpp's.
#include "crash/async_safe/app_state.h"

#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>

#include "crash/async_safe/crash_log.h"
#include "crash/async_safe/file_utils.h"
#include "crash/async_safe/json_encoder.h"
#include "crash/async_safe/monitors.h"

namespace skald::crash::appstate {

namespace {

double systemClock() {
    struct timeval tv {};
    ::gettimeofday(&tv, nullptr);
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
}

Clock gClock = systemClock;
AppState gState;
double gInitTime = 0;
char gPath[kStateFilePathCapacity];
bool gEnabled = false;

int writeToFd(const char* data, int length, void* userData) {
    const int fd = *static_cast<int*>(userData);
    return writeAll(fd, data, static_cast<size_t>(length)) ? 0 : 3;
}

}  // namespace

void setClock(Clock clock) {
    gClock = clock ? clock : systemClock;
}
double now() {
    return gClock();
}
AppState& state() {
    return gState;
}
double& initTime() {
    return gInitTime;
}
char* stateFilePath() {
    return gPath;
}

bool saveState() {
    if (gPath[0] == '\0') return false;
    // A symlink put in the file's place is not followed (its target would be
    // truncated), and a FIFO cannot block the crashing thread.
    int fd = ::open(gPath, O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) {
        logError("Could not open file ", gPath, " for writing: ", errorText(errno));
        return false;
    }
    json::EncodeContext context;
    json::beginEncode(&context, true, writeToFd, &fd);
    const AppState& s = gState;
    int result = json::beginObject(&context, nullptr);
    if (result == 0) result = json::addIntegerElement(&context, "version", 1);
    if (result == 0)
        result = json::addBooleanElement(&context, "crashedLastLaunch", s.crashedThisLaunch);
    if (result == 0) {
        result = json::addFloatingPointElement(&context, "durationFromCrashStateInitToLastCrash",
                                               s.crashedThisLaunch ? now() - gInitTime : 0);
    }
    if (result == 0) {
        result = json::addFloatingPointElement(&context, "activeDurationSinceLastCrash",
                                               s.activeDurationSinceLastCrash);
    }
    if (result == 0) {
        result = json::addFloatingPointElement(&context, "backgroundDurationSinceLastCrash",
                                               s.backgroundDurationSinceLastCrash);
    }
    if (result == 0) {
        result =
            json::addIntegerElement(&context, "launchesSinceLastCrash", s.launchesSinceLastCrash);
    }
    if (result == 0) {
        result =
            json::addIntegerElement(&context, "sessionsSinceLastCrash", s.sessionsSinceLastCrash);
    }
    if (result == 0) result = json::endEncode(&context);
    ::close(fd);
    if (result != 0) {
        logError(gPath, ": ", json::stringForError(result));
        return false;
    }
    return true;
}

void notifyAppCrash() {
    AppState& s = gState;
    const double duration = now() - s.appStateTransitionTime;
    if (s.applicationIsActive) {
        s.activeDurationSinceLaunch += duration;
        s.activeDurationSinceLastCrash += duration;
    } else if (!s.applicationIsInForeground) {
        s.backgroundDurationSinceLaunch += duration;
        s.backgroundDurationSinceLastCrash += duration;
    }
    s.crashedThisLaunch = true;
    saveState();
}

void setEnabled(bool enabled) {
    if (enabled == gEnabled) return;
    gEnabled = enabled;
    if (!enabled) return;
    AppState& s = gState;
    s.sessionsSinceLaunch = 1;
    s.activeDurationSinceLaunch = 0;
    s.backgroundDurationSinceLaunch = 0;
    if (s.crashedLastLaunch) {
        s.activeDurationSinceLastCrash = 0;
        s.backgroundDurationSinceLastCrash = 0;
        s.launchesSinceLastCrash = 1;
        s.sessionsSinceLastCrash = 1;
    } else {
        ++s.launchesSinceLastCrash;
        ++s.sessionsSinceLastCrash;
    }
    s.crashedThisLaunch = false;
    s.applicationIsInForeground = true;
    saveState();
}

bool isEnabled() {
    return gEnabled;
}

}  // namespace skald::crash::appstate

namespace skald::crash {

namespace {

void addContextualInfo(MonitorContext* context) {
    const appstate::AppState& state = appstate::state();
    appstate::AppState& out = context->AppState;
    out.applicationIsActive = state.applicationIsActive;
    out.applicationIsInForeground = state.applicationIsInForeground;
    out.appStateTransitionTime = state.appStateTransitionTime;
    out.activeDurationSinceLastCrash = state.activeDurationSinceLastCrash;
    out.backgroundDurationSinceLastCrash = state.backgroundDurationSinceLastCrash;
    out.activeDurationSinceLaunch = state.activeDurationSinceLaunch;
    out.backgroundDurationSinceLaunch = state.backgroundDurationSinceLaunch;
    out.crashedLastLaunch = state.crashedLastLaunch;
    out.crashedThisLaunch = state.crashedThisLaunch;
    out.launchesSinceLastCrash = state.launchesSinceLastCrash;
    out.sessionsSinceLastCrash = state.sessionsSinceLastCrash;
    out.sessionsSinceLaunch = state.sessionsSinceLaunch;
}

const MonitorAPI kApi = {appstate::setEnabled, appstate::isEnabled, addContextualInfo};

}  // namespace

const MonitorAPI* appStateMonitorApi() {
    return &kApi;
}

}  // namespace skald::crash
