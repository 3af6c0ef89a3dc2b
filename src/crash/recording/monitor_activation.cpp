#include "crash/recording/monitor_activation.h"

#include <atomic>

#include "crash/async_safe/monitors.h"
#include "crash/recording/alternate_stacks.h"
#include "crash/recording/exception_monitors.h"
#include "platform/system/process_status.h"

namespace skald::crash::registry {

namespace {

std::atomic<bool> gDebuggerWarningGiven{false};
std::atomic<bool (*)()> gDebuggerProbe{platform::isBeingTraced};

/// What the crash-time registry and signal monitor cannot reach themselves.
void handDownMonitors() {
    setMonitorApi(monitor_type::kNSException, nsExceptionMonitorApi());
    setMonitorApi(monitor_type::kCPPException, cppExceptionMonitorApi());
    setSignalStackPreparation(altstack::installOnAllThreads);
}

}  // namespace

void setActiveMonitors(MonitorType monitorTypes) {
    handDownMonitors();
    bool (*probe)() = gDebuggerProbe.load();
    if ((monitorTypes & monitor_type::kDebuggerUnsafe) != 0 && probe != nullptr && probe()) {
        gDebuggerWarningGiven = true;
        monitorTypes &= monitor_type::kDebuggerSafe;
    }
    applyActiveMonitors(monitorTypes);
}

bool debuggerWarningGiven() {
    return gDebuggerWarningGiven;
}

void setDebuggerProbe(bool (*probe)()) {
    gDebuggerProbe = probe;
}

void resetForTesting() {
    resetHandlingForTesting();
    gDebuggerWarningGiven = false;
    gDebuggerProbe = platform::isBeingTraced;
}

}  // namespace skald::crash::registry
