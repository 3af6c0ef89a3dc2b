// Async-signal-safe: runs on the crashing thread with the others stopped.
#include "crash/async_safe/crash_event_handler.h"

#include <atomic>
#include <cstring>

#include "crash/async_safe/app_state.h"
#include "crash/async_safe/file_utils.h"
#include "crash/async_safe/loaded_images.h"
#include "crash/async_safe/report_paths.h"
#include "crash/async_safe/report_writer.h"

namespace skald::crash::handler {

namespace {

constexpr int kPathSize = 500;

char gLastReportPath[kPathSize];
std::atomic<bool> gPathReserved{false};
std::atomic<AttachmentCallback> gFirstCallback{nullptr};
std::atomic<AttachmentCallback> gSecondCallback{nullptr};
std::atomic<void (*)()> gSessionReplayHook{nullptr};

}  // namespace

bool reserveReportPath() {
    char path[kPathSize];
    if (!nextCrashReportPath(path, sizeof path)) return false;
    std::memcpy(gLastReportPath, path, sizeof path);
    gPathReserved = true;
    return true;
}

void handleCrashEvent(MonitorContext* context) {
    appstate::notifyAppCrash();
    if (context->crashedDuringCrashHandling) {
        // The first event's table of loaded images, if it got that far.
        writer::writeRecrashReport(context, gLastReportPath);
    } else {
        // A monitor may have taken the path already.
        if (!gPathReserved.exchange(false)) {
            if (!reserveReportPath()) return;
            gPathReserved = false;
        }
        // Images loaded or unloaded since the prepared table's last refresh.
        const bool captured = images::captureLoadedImages();
        writer::writeStandardReport(context, gLastReportPath);
        if (captured) images::releaseLoadedImages();
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
