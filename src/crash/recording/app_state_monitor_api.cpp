// The application-state monitor as an entry of the monitor table. Its
// contextual information is copied at crash time: plain data only.
#include "crash/async_safe/monitors.h"
#include "crash/recording/app_state_monitor.h"

namespace skald::crash {

namespace {

void addContextualInfo(MonitorContext* context) {
    const appstate::AppState& state = appstate::currentState();
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
