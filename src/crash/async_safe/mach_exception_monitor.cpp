// Async-signal-safe: Linux has no Mach exception ports, so this monitor never
// turns on; it only derives the exception codes that reports carry.
#include <csignal>

#include "crash/async_safe/monitors.h"

namespace skald::crash {

namespace {

constexpr int kExcBadAccess = 1;
constexpr int kExcBadInstruction = 2;
constexpr int kExcArithmetic = 3;
constexpr int kExcBreakpoint = 6;
constexpr int kExcCrash = 10;
constexpr int kExcSoftSignal = 0x10003;
constexpr int kExcUnixBadSyscall = 0x10000;
constexpr int kExcUnixBadPipe = 0x10001;

int machExceptionForSignal(int signum) {
    switch (signum) {
        case SIGILL:
            return kExcBadInstruction;
        case SIGTRAP:
            return kExcBreakpoint;
        case SIGABRT:
            return kExcCrash;
        case SIGFPE:
            return kExcArithmetic;
        case SIGKILL:
            return kExcSoftSignal;
        case SIGBUS:
            return kExcBadAccess;
        case SIGSEGV:
            return kExcBadAccess;
        case SIGSYS:
            return kExcUnixBadSyscall;
        case SIGPIPE:
            return kExcUnixBadPipe;
        default:
            return 0;  // SIGEMT does not exist on this platform.
    }
}

void setEnabled(bool) {}

bool isEnabled() {
    return false;
}

void addContextualInfo(MonitorContext* context) {
    if (context->crashType == monitor_type::kMachException) return;
    context->mach.type = context->crashType == monitor_type::kSignal
                             ? machExceptionForSignal(context->signal.signum)
                             : kExcCrash;
}

const MonitorAPI kApi = {setEnabled, isEnabled, addContextualInfo};

}  // namespace

const MonitorAPI* machExceptionMonitorApi() {
    return &kApi;
}

}  // namespace skald::crash
