// Async-signal-safe: static records, no allocation, no locks. Enabling runs
// off the crash path, disabling also at crash time (after the report).
#include <signal.h>

#include <atomic>
#include <cerrno>

#include "crash/async_safe/crash_event_handler.h"
#include "crash/async_safe/crash_log.h"
#include "crash/async_safe/machine_context.h"
#include "crash/async_safe/monitor_registry.h"
#include "crash/async_safe/monitors.h"
#include "crash/async_safe/signal_names.h"
#include "crash/async_safe/signal_unwinder.h"
#include "crash/async_safe/text_format.h"
#include "crash/async_safe/thread_suspension.h"

namespace skald::crash {

namespace {

constexpr int kMaxFrames = 100;
/// Of those, the outermost kept when a runaway recursion has more, so that
/// the thread's start is still there.
constexpr int kOutermostFrames = 25;
constexpr int kOtherThreadWaitMillis = 30000;

const int kFatalSignals[] = {SIGABRT, SIGBUS, SIGFPE,  SIGILL, SIGPIPE,
                             SIGSEGV, SIGSYS, SIGTRAP, SIGTERM};
constexpr int kSignalTableSize = sizeof kFatalSignals / sizeof kFatalSignals[0];

std::atomic<bool> gIsEnabled{false};
std::atomic<bool> gSigtermEnabled{false};
/// SIGTERM counts only if it was on when the handlers were installed.
int gInstalledCount = 0;
bool gHasAltStack = false;
std::atomic<bool (*)()> gPrepareStacks{nullptr};
struct sigaction gPreviousActions[kSignalTableSize];

char gEventId[kEventIdSize];
// The first event, and one for a crash inside its handling, so that the
// second does not overwrite what the first is still writing from.
MonitorContext gContexts[2];
MachineContext gMachineContexts[2];
StackCursor gCursors[2];
uintptr_t gUnwound[2][kMaxFrames];

/// The crashed thread's stack: from the unwind tables, which also lead
/// through code without frame pointers (the C library's abort, say), or else
/// (also when the unwinder faulted on a corrupt stack) along the frame
/// pointers.
void initCrashedCursor(int slot, const MachineContext* machineContext) {
    const UnwindResult walked =
        unwindInterruptedStack(gUnwound[slot], kMaxFrames, kOutermostFrames);
    if (walked.count > 0 && gUnwound[slot][0] == instructionAddress(machineContext)) {
        initBacktraceCursor(&gCursors[slot], gUnwound[slot], walked.count, 0);
        gCursors[slot].firstEntryIsExact = true;
        gCursors[slot].skippedEntries = walked.skipped;
        gCursors[slot].skippedAt = walked.skippedAt;
        return;
    }
    initMachineContextCursor(&gCursors[slot], kMaxFrames, machineContext);
}

int installableCount() {
    return gSigtermEnabled ? kSignalTableSize : kSignalTableSize - 1;
}

void handleSignal(int signum, siginfo_t* info, void* userContext) {
    // A fault of the stack walk below is not a new crash.
    leaveUnwinderAfterFault();
    const int savedErrno = errno;
    if (gIsEnabled) {
        const registry::FatalCapture capture = registry::notifyFatalExceptionCaptured(false);
        if (capture == registry::FatalCapture::kOtherThreadHandling) {
            // The other thread's report names this process's death; wait for
            // it rather than race it, then die of our own signal.
            registry::waitForHandlingToEnd(kOtherThreadWaitMillis);
        } else {
            const bool first = capture == registry::FatalCapture::kFirst;
            // Before anything that may fault: a crash in the handling
            // writes its report there.
            if (first) handler::reserveReportPath();
            if (first) suspendEnvironment(nullptr, 0);
            const int slot = first ? 0 : 1;
            MachineContext* machineContext = &gMachineContexts[slot];
            getContextForSignal(userContext, machineContext, true);
            initCrashedCursor(slot, machineContext);

            MonitorContext* context = &gContexts[slot];
            *context = MonitorContext{};
            for (int i = 0; i < kEventIdSize; ++i) context->eventID[i] = gEventId[i];
            context->crashType = monitor_type::kSignal;
            context->registersAreValid = true;
            context->offendingMachineContext = machineContext;
            context->stackCursor = &gCursors[slot];
            context->faultAddress = reinterpret_cast<uintptr_t>(info->si_addr);
            context->signal.userContext = userContext;
            context->signal.signum = info->si_signo;
            context->signal.sigcode = info->si_code;
            registry::handleException(context);
            if (first) resumeEnvironment();
        }
    }
    errno = savedErrno;
    // Handling has put the previous actions back: this reaches the previous
    // handler or the default action, so the process ends as it would have.
    ::raise(signum);
}

bool installHandlers() {
    const int count = installableCount();
    struct sigaction action {};
    action.sa_sigaction = handleSignal;
    // SA_NODEFER lets a fault inside the handler reach it again, which is
    // how a crash during crash handling gets its report.
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    for (int i = 0; i < count; ++i) {
        const int signum = kFatalSignals[i];
        if (::sigaction(signum, &action, &gPreviousActions[i]) != 0) {
            char number[16];
            int used = 0;
            text::appendDecimal(number, sizeof number, &used, signum);
            const char* name = signalName(signum);
            logError("sigaction (", name != nullptr ? name : number, "): ", errorText(errno));
            for (int j = i - 1; j >= 0; --j)
                ::sigaction(kFatalSignals[j], &gPreviousActions[j], nullptr);
            return false;
        }
        // A signal the application ignores stays ignored.
        if (gPreviousActions[i].sa_handler == SIG_IGN) {
            ::sigaction(signum, &gPreviousActions[i], nullptr);
        }
    }
    gInstalledCount = count;
    setUnwinderFaultRecovery(true);
    return true;
}

void uninstallHandlers() {
    setUnwinderFaultRecovery(false);
    for (int i = 0; i < gInstalledCount; ++i) {
        ::sigaction(kFatalSignals[i], &gPreviousActions[i], nullptr);
    }
    gInstalledCount = 0;
}

void setEnabled(bool isEnabled) {
    if (isEnabled == gIsEnabled) return;
    gIsEnabled = isEnabled;
    if (isEnabled) {
        generateEventId(gEventId);
        prepareThreadSuspension();
        prepareSignalUnwinder();
        if (!gHasAltStack) {
            bool (*prepare)() = gPrepareStacks.load();
            gHasAltStack = prepare == nullptr || prepare();
            if (!gHasAltStack) return;
        }
        installHandlers();
    } else {
        uninstallHandlers();
        // The stacks stay registered: a crash may still be running on one.
        gHasAltStack = false;
    }
}

bool isEnabled() {
    return gIsEnabled;
}

void addContextualInfo(MonitorContext* context) {
    if (context->crashType != monitor_type::kMachException &&
        context->crashType != monitor_type::kSignal) {
        context->signal.signum = SIGABRT;
    }
}

const MonitorAPI kApi = {setEnabled, isEnabled, addContextualInfo};

}  // namespace

const MonitorAPI* signalMonitorApi() {
    return &kApi;
}

void setSignalStackPreparation(bool (*prepare)()) {
    gPrepareStacks = prepare;
}

void setSigtermMonitoringEnabled(bool enabled) {
    gSigtermEnabled = enabled;
}

const int* fatalSignals() {
    return kFatalSignals;
}

int fatalSignalCount() {
    return installableCount();
}

}  // namespace skald::crash
