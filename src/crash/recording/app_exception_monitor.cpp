// Uncaught exceptions of the application layer, reported through its
// uncaught-exception handler. This path runs in ordinary context and may
// allocate until it stops the other threads; from there on it is held to the
// crash-time rules (one of them may hold the allocator's or a lock).
#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "crash/async_safe/crash_log.h"
#include "crash/async_safe/machine_context.h"
#include "crash/async_safe/monitor_registry.h"
#include "crash/async_safe/stack_cursor.h"
#include "crash/async_safe/thread_suspension.h"
#include "crash/recording/app_exception_monitor.h"
#include "crash/recording/exception_monitors.h"
#include "skald/platform/app_exception.h"
#include "util/json_bytes.h"

namespace skald::crash {

namespace {

constexpr int kOtherThreadWaitMillis = 30000;

std::atomic<bool> gIsEnabled{false};
platform::UncaughtExceptionHandler gPreviousHandler = nullptr;

MonitorContext gContext;
MachineContext gMachineContext;
StackCursor gCursor;

void handleException(const platform::AppException& exception) {
    // The SDK's logger is not used on this path: a crash may already be
    // handled with the other threads stopped, one of them holding its lock.
    logDebug("Trapped exception ", exception.what());
    if (gIsEnabled) {
        // Allocate while the other threads still run: once they are stopped,
        // one of them may hold the allocator's or the logger's lock.
        const std::vector<uintptr_t> callStack = exception.callStackReturnAddresses();
        const std::string userInfo =
            exception.userInfo().is_null() ? std::string() : describeJson(exception.userInfo());
        const registry::FatalCapture capture = registry::notifyFatalExceptionCaptured(false);
        if (capture == registry::FatalCapture::kOtherThreadHandling) {
            registry::waitForHandlingToEnd(kOtherThreadWaitMillis);
        } else {
            const bool first = capture == registry::FatalCapture::kFirst;
            if (first) suspendEnvironment(nullptr, 0);
            logDebug("Filling out context.");
            gContext = MonitorContext{};
            generateEventId(gContext.eventID);
            getContextForCurrentThread(&gMachineContext, true);
            initBacktraceCursor(&gCursor, callStack.data(), static_cast<int>(callStack.size()), 0);
            gContext.crashType = monitor_type::kNSException;
            gContext.offendingMachineContext = &gMachineContext;
            gContext.stackCursor = &gCursor;
            gContext.NSException.name = exception.name().c_str();
            gContext.NSException.userInfo = userInfo.empty() ? nullptr : userInfo.c_str();
            gContext.exceptionName = exception.name().c_str();
            gContext.crashReason = exception.reason().c_str();
            logDebug("Calling main crash handler.");
            registry::handleException(&gContext);
            // Other threads would stay stopped for whatever the previous
            // handler still has to do; let them go.
            if (first) resumeEnvironment();
        }
    }
    if (gPreviousHandler != nullptr) {
        logDebug("Calling original exception handler.");
        gPreviousHandler(exception);
    }
}

void setEnabled(bool isEnabled) {
    if (isEnabled == gIsEnabled) return;
    gIsEnabled = isEnabled;
    // Also called while a crash is handled (every monitor is switched off
    // once the report is written): fixed texts only.
    if (isEnabled) {
        prepareThreadSuspension();
        logDebug("Backing up original handler.");
        gPreviousHandler = platform::uncaughtExceptionHandler();
        logDebug("Setting new handler.");
        platform::setUncaughtExceptionHandler(handleException);
    } else {
        logDebug("Restoring original handler.");
        platform::setUncaughtExceptionHandler(gPreviousHandler);
    }
}

bool isEnabled() {
    return gIsEnabled;
}

const MonitorAPI kApi = {setEnabled, isEnabled, nullptr};

}  // namespace

const MonitorAPI* nsExceptionMonitorApi() {
    return &kApi;
}

/// The handler the application layer calls, for whoever routes its exceptions here.
platform::UncaughtExceptionHandler appExceptionHandler() {
    return handleException;
}

bool handOverCurrentAppException() {
    const auto handler = platform::uncaughtExceptionHandler();
    if (handler == nullptr) return false;
    try {
        throw;
    } catch (const platform::AppException& exception) {
        handler(exception);
        return true;
    } catch (...) {
    }
    return false;
}

}  // namespace skald::crash
