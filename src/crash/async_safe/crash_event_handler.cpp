// Async-signal-safe: runs on the crashing thread with the others stopped.
#include "crash/async_safe/crash_event_handler.h"

#include <atomic>
#include <cstring>

#include "crash/async_safe/app_state.h"
#include "crash/async_safe/file_utils.h"
#include "crash/async_safe/report_paths.h"
#include "crash/async_safe/report_writer.h"

namespace skald::crash::handler {

namespace {

constexpr int kPathSize = 500;

char gLastReportPath[kPathSize];
std::atomic<AttachmentCallback> gFirstCallback{nullptr};
std::atomic<AttachmentCallback> gSecondCallback{nullptr};
std::atomic<void (*)()> gSessionReplayHook{nullptr};

}  // namespace

void handleCrashEvent(MonitorContext* context) {
    appstate::notifyAppCrash();
    if (context->crashedDuringCrashHandling) {
        writer::writeRecrashReport(context, gLastReportPath);
    } else {
        char path[kPathSize];
        if (!nextCrashReportPath(path, sizeof path)) return;
        std::memcpy(gLastReportPath, path, sizeof path);
        writer::writeStandardReport(context, path);
        if (auto hook = gSessionReplayHook.load()) hook();
    }

    const AttachmentCallback first = gFirstCallback;
    const AttachmentCallback second = gSecondCallback;
    if (first == nullptr && second == nullptr) return;
    char directory[kPathSize];
    if (!attachmentsPathForReport(gLastReportPath, directory, sizeof directory)) return;
    if (!makeDirectoryWithParents(directory)) return;
    if (first != nullptr) first(directory);
    if (second != nullptr) second(directory);
}

void setAttachmentCallback(AttachmentCallback callback) {
    gFirstCallback = callback;
}

void setSecondAttachmentCallback(AttachmentCallback callback) {
    gSecondCallback = callback;
}

bool hasAttachmentCallback() {
    return gFirstCallback.load() != nullptr;
}

bool hasSecondAttachmentCallback() {
    return gSecondCallback.load() != nullptr;
}

void setSessionReplayHook(void (*hook)()) {
    gSessionReplayHook = hook;
}

const char* lastReportPath() {
    return gLastReportPath;
}

}  // namespace skald::crash::handler
