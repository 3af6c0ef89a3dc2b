// Async-signal-safe: fixed tables, atomics, no allocation. Deciding which
// monitors to turn on (the debugger check) is monitor_activation.cpp's.
#include "crash/async_safe/monitor_registry.h"

#include <time.h>

#include <atomic>

#include "crash/async_safe/monitors.h"
#include "crash/async_safe/text_format.h"

namespace skald::crash::registry {

namespace {

struct Entry {
    MonitorType type;
    /// The crash-time monitors are known here...
    const MonitorAPI* (*builtIn)();
    /// ...the exception monitors, which run in ordinary context and live
    /// outside the crash-time code, are handed in (setMonitorApi).
    std::atomic<const MonitorAPI*> handedIn;
    /// The Mach monitor has nothing to catch on Linux, yet the exception
    /// codes it derives from signals are part of every report.
    bool addsInfoWhileDisabled;

    const MonitorAPI* api() const { return builtIn != nullptr ? builtIn() : handedIn.load(); }
};

Entry gMonitors[] = {
    {monitor_type::kMachException, machExceptionMonitorApi, {nullptr}, true},
    {monitor_type::kSignal, signalMonitorApi, {nullptr}, false},
    {monitor_type::kNSException, nullptr, {nullptr}, false},
    {monitor_type::kCPPException, nullptr, {nullptr}, false},
    {monitor_type::kApplicationState, appStateMonitorApi, {nullptr}, false},
};

std::atomic<MonitorType> gActiveMonitors{0};
std::atomic<bool> gRequiresAsyncSafety{false};
std::atomic<bool> gHandlingFatalException{false};
std::atomic<bool> gCrashedDuringExceptionHandling{false};
std::atomic<bool> gHandlingEnded{false};
std::atomic<pid_t> gHandlingThread{0};
std::atomic<EventCallback> gEventCallback{nullptr};

bool isEnabled(const MonitorAPI* api) {
    return api != nullptr && api->isEnabled != nullptr && api->isEnabled();
}

}  // namespace

void setMonitorApi(MonitorType type, const MonitorAPI* api) {
    for (Entry& entry : gMonitors) {
        if (entry.type == type && entry.builtIn == nullptr) entry.handedIn = api;
    }
}

void applyActiveMonitors(MonitorType monitorTypes) {
    if (gRequiresAsyncSafety && (monitorTypes & monitor_type::kAsyncUnsafe) != 0) {
        monitorTypes &= monitor_type::kAsyncSafe;
    }
    MonitorType active = 0;
    for (const Entry& entry : gMonitors) {
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
    const pid_t self = currentThreadId();
    pid_t expected = 0;
    if (!gHandlingThread.compare_exchange_strong(expected, self)) {
        // Only a crash of the handling thread itself is a crash in the
        // handler; a simultaneous crash elsewhere must not touch the report.
        if (expected != self) return FatalCapture::kOtherThreadHandling;
        gCrashedDuringExceptionHandling = true;
        applyActiveMonitors(monitor_type::kNone);
        return FatalCapture::kCrashedDuringHandling;
    }
    gHandlingFatalException = true;
    return FatalCapture::kFirst;
}

void handleException(MonitorContext* context) {
    context->requiresAsyncSafety = gRequiresAsyncSafety;
    if (gCrashedDuringExceptionHandling) context->crashedDuringCrashHandling = true;
    for (const Entry& entry : gMonitors) {
        const MonitorAPI* api = entry.api();
        if (api == nullptr || api->addContextualInfoToEvent == nullptr) continue;
        if (isEnabled(api) || entry.addsInfoWhileDisabled) api->addContextualInfoToEvent(context);
    }
    if (EventCallback callback = gEventCallback.load()) callback(context);
    if (gHandlingFatalException && !gCrashedDuringExceptionHandling) {
        applyActiveMonitors(monitor_type::kNone);
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

void resetHandlingForTesting() {
    applyActiveMonitors(monitor_type::kNone);
    gRequiresAsyncSafety = false;
    gHandlingFatalException = false;
    gCrashedDuringExceptionHandling = false;
    gHandlingEnded = false;
    gHandlingThread = 0;
    gEventCallback = nullptr;
}

}  // namespace skald::crash::registry
