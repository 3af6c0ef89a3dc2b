// Async-signal-safe: the record a crash monitor fills and hands to the crash handler.
#pragma once

#include <cstdint>

#include "crash/async_safe/app_state.h"
#include "crash/async_safe/machine_context.h"
#include "crash/async_safe/stack_cursor.h"

namespace skald::crash {

/// A 32-bit set of monitor kinds.
using MonitorType = uint32_t;
namespace monitor_type {
inline constexpr MonitorType kNone = 0;
inline constexpr MonitorType kMachException = 0x01;
inline constexpr MonitorType kSignal = 0x02;
inline constexpr MonitorType kCPPException = 0x04;
inline constexpr MonitorType kNSException = 0x08;
inline constexpr MonitorType kSystem = 0x40;
inline constexpr MonitorType kApplicationState = 0x80;

inline constexpr MonitorType kDebuggerUnsafe = 0x0F;
inline constexpr MonitorType kDebuggerSafe = 0x80;
inline constexpr MonitorType kAsyncSafe = 0x03;
inline constexpr MonitorType kAsyncUnsafe = 0x8C;
inline constexpr MonitorType kAll =
    kMachException | kSignal | kCPPException | kNSException | kApplicationState;
}  // namespace monitor_type

/// "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX" and its NUL.
inline constexpr int kEventIdSize = 37;

/// One crash event. Each monitor keeps a static one, so nothing is allocated
/// while the process is dying.
struct MonitorContext {
    char eventID[kEventIdSize];
    bool requiresAsyncSafety;
    bool crashedDuringCrashHandling;
    bool registersAreValid;
    bool currentSnapshotUserReported;

    MachineContext* offendingMachineContext;
    StackCursor* stackCursor;
    uint64_t faultAddress;
    MonitorType crashType;
    const char* exceptionName;
    const char* crashReason;

    struct {
        int type;
        int64_t code;
        int64_t subcode;
    } mach;
    struct {
        const char* name;
        const char* userInfo;
    } NSException;
    struct {
        const char* name;
    } CPPException;
    struct {
        const void* userContext;
        int signum;
        int sigcode;
    } signal;

    appstate::AppState AppState;

    /// Filled only by a system-information collector, which the registry
    /// does not run: these stay empty in crash reports.
    struct {
        const char* systemName;
        const char* systemVersion;
        const char* machine;
        const char* model;
        const char* kernelVersion;
        const char* osVersion;
        bool isJailbroken;
        const char* appStartTime;
        const char* executablePath;
        const char* executableName;
        const char* bundleID;
        const char* bundleName;
        const char* bundleVersion;
        const char* bundleShortVersion;
        const char* appID;
        const char* cpuArchitecture;
        int cpuType;
        int cpuSubType;
        int binaryCPUType;
        int binaryCPUSubType;
        const char* processName;
        int processID;
        int parentProcessID;
        const char* deviceAppHash;
        const char* buildType;
        uint64_t storageSize;
        uint64_t memorySize;
        uint64_t freeMemory;
        uint64_t usableMemory;
    } System;

    const char* consoleLogPath;
};

/// What a monitor offers the registry; any member may be null.
struct MonitorAPI {
    void (*setEnabled)(bool isEnabled);
    bool (*isEnabled)();
    void (*addContextualInfoToEvent)(MonitorContext* eventContext);
};

/// Fills `destination` with a fresh upper-case random UUID (getrandom).
void generateEventId(char destination[kEventIdSize]);

}  // namespace skald::crash
