// Async-signal-safe: the crash state, which the crashing thread updates and saves.
#pragma once

#include <cstdint>

namespace skald::crash::appstate {

/// The crash state: counters and durations since the last crash and since launch.
struct AppState {
    // Saved in the crash state file.
    double activeDurationSinceLastCrash = 0;
    double backgroundDurationSinceLastCrash = 0;
    int launchesSinceLastCrash = 0;
    int sessionsSinceLastCrash = 0;
    double activeDurationSinceLaunch = 0;
    double backgroundDurationSinceLaunch = 0;
    int sessionsSinceLaunch = 0;
    bool crashedLastLaunch = false;
    double durationFromCrashStateInitToLastCrash = 0;  // loaded only

    // Live.
    bool crashedThisLaunch = false;
    double appStateTransitionTime = 0;
    bool applicationIsActive = false;
    bool applicationIsInForeground = false;
};

/// Seconds since the epoch with microseconds; tests may replace it.
using Clock = double (*)();
void setClock(Clock clock);
double now();

/// The process's one crash state. Written by the monitor and the crash path.
AppState& state();
/// When the state was initialised, and where it is saved.
double& initTime();
char* stateFilePath();
constexpr int kStateFilePathCapacity = 4096;

/// Writes the state file with open/write only; false when it could not.
bool saveState();

/// The monitor's switch. Enabling starts a new launch: counts it and saves
/// the file.
void setEnabled(bool enabled);
bool isEnabled();

/// The crash notification: counts the time up to the crash and saves.
void notifyAppCrash();

}  // namespace skald::crash::appstate
