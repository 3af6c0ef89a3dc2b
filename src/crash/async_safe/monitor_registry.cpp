// Async-signal-safe on the crash path: fixed tables, atomics, no allocation.
#include "crash/async_safe/monitor_registry.h"

#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "crash/async_safe/monitors.h"
#include "platform/system/process_status.h"

namespace skald::crash::registry {

namespace {

struct Entry {
    MonitorType type;
    const MonitorAPI* (*api)();
    /// The Mach monitor has nothing to catch on Linux, yet the exception
    /// codes it derives from signals are part of every report.
    bool addsInfoWhileDisabled;
};

const Entry kMonitors[] = {
    {monitor_type::kMachException, machExceptionMonitorApi, true},
    {monitor_type::kSignal, signalMonitorApi, false},
    {monitor_type::kNSException, nsExceptionMonitorApi, false},
    {monitor_type::kCPPException, cppExceptionMonitorApi, false},
    {monitor_type::kApplicationState, appStateMonitorApi, false},
};

std::atomic<MonitorType> gActiveMonitors{0};
std::atomic<bool> gDebuggerWarningGiven{false};
std::atomic<bool> gRequiresAsyncSafety{false};
std::atomic<bool> gHandlingFatalException{false};
std::atomic<bool> gCrashedDuringExceptionHandling{false};
std::atomic<bool> gHandlingEnded{false};
std::atomic<pid_t> gHandlingThread{0};
std::atomic<EventCallback> gEventCallback{nullptr};
bool (*gDebuggerProbe)() = platform::isBeingTraced;

bool isEnabled(const MonitorAPI* api) {
    return api != nullptr && api->isEnabled != nullptr && api->isEnabled();
}

pid_t currentThread() {
    return static_cast<pid_t>(::syscall(SYS_gettid));
}

}  // namespace

void setActiveMonitors(MonitorType monitorTypes) {
    if ((monitorTypes & monitor_type::kDebuggerUnsafe) != 0 && gDebuggerProbe != nullptr &&
        gDebuggerProbe()) {
        gDebuggerWarningGiven = true;
        monitorTypes &= monitor_type::kDebuggerSafe;
    }
    if (gRequiresAsyncSafety && (monitorTypes & monitor_type::kAsyncUnsafe) != 0) {
        monitorTypes &= monitor_type::kAsyncSafe;
    }
    MonitorType active = 0;
    for (const Entry& entry : kMonitors) {
        const MonitorAPI* api = entry.api();
        if (api != nullptr && api->setEnabled != nullptr) {
            api->setEnabled((monitorTypes & entry.type) != 0);
        }
        if (isEnabled(api)) active |= entry.type;
    }
    gActiveMonitors = active;
}

MonitorType activeMonitors() {
    return gActiveMonitors;
}

void setEventCallback(EventCallback callback) {
    gEventCallback = callback;
}

FatalCapture notifyFatalExceptionCaptured(bool isAsyncSafeEnvironment) {
    if (isAsyncSafeEnvironment) gRequiresAsyncSafety = true;
    const pid_t self = currentThread();
    pid_t expected = 0;
    if (!gHandlingThread.compare_exchange_strong(expected, self)) {
        // Only a crash of the handling thread itself is a crash in the
        // handler; a simultaneous crash elsewhere must not touch the report.
        if (expected != self) return FatalCapture::kOtherThreadHandling;
        gCrashedDuringExceptionHandling = true;
        setActiveMonitors(monitor_type::kNone);
        return FatalCapture::kCrashedDuringHandling;
    }
    gHandlingFatalException = true;
    return FatalCapture::kFirst;
}

void handleException(MonitorContext* context) {
    context->requiresAsyncSafety = gRequiresAsyncSafety;
    if (gCrashedDuringExceptionHandling) context->crashedDuringCrashHandling = true;
    for (const Entry& entry : kMonitors) {
        const MonitorAPI* api = entry.api();
        if (api == nullptr || api->addContextualInfoToEvent == nullptr) continue;
        if (isEnabled(api) || entry.addsInfoWhileDisabled) api->addContextualInfoToEvent(context);
    }
    if (EventCallback callback = gEventCallback.load()) callback(context);
    if (gHandlingFatalException && !gCrashedDuringExceptionHandling) {
        setActiveMonitors(monitor_type::kNone);
    }
    if (gHandlingFatalException) gHandlingEnded = true;
}

void waitForHandlingToEnd(int timeoutMillis) {
    timespec start{};
    ::clock_gettime(CLOCK_MONOTONIC, &start);
    while (!gHandlingEnded) {
        timespec now{};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        const long elapsed =
            (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
        if (elapsed >= timeoutMillis) return;
        const timespec pause{0, 1000000};
        ::nanosleep(&pause, nullptr);
    }
}

bool debuggerWarningGiven() {
    return gDebuggerWarningGiven;
}

void setDebuggerProbe(bool (*probe)()) {
    gDebuggerProbe = probe;
}

void resetForTesting() {
    setActiveMonitors(monitor_type::kNone);
    gDebuggerWarningGiven = false;
    gRequiresAsyncSafety = false;
    gHandlingFatalException = false;
    gCrashedDuringExceptionHandling = false;
    gHandlingEnded = false;
    gHandlingThread = 0;
    gEventCallback = nullptr;
    gDebuggerProbe = platform::isBeingTraced;
}

const MonitorAPI* monitorApi(MonitorType type) {
    for (const Entry& entry : kMonitors) {
        if (entry.type == type) return entry.api();
    }
    return nullptr;
}

}  // namespace skald::crash::registry
