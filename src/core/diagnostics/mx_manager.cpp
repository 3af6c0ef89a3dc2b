#include "core/diagnostics/mx_manager.h"

#include <exception>
#include <string>

#include "util/log.h"

namespace skald {

namespace {

/// Decodes each diagnostic's tree and, when it decodes and the delegate is
/// still there, calls `deliver` with both.
template <class Kind, class Deliver>
void forEachDiagnostic(const std::vector<std::shared_ptr<const Kind>>& diagnostics,
                       const char* kind, const MXManager& manager, Deliver deliver) {
    for (const auto& diagnostic : diagnostics) {
        if (!diagnostic) continue;
        std::string error;
        const auto tree =
            MXCallStackTree::fromData(diagnostic->callStackTreeJsonRepresentation(), &error);
        if (!tree) {
            SKALD_LOG_DEBUG("Skipping a %s: its call-stack tree does not decode (%s).", kind,
                            error.c_str());
            continue;
        }
        const auto delegate = manager.delegate();
        if (!delegate) continue;
        deliver(*delegate, *diagnostic, *tree);
    }
}

}  // namespace

MXManager::MXManager(bool disableCrashDiagnostics)
    : disableCrashDiagnostics_(disableCrashDiagnostics) {}

void MXManager::setDelegate(std::weak_ptr<MXManagerDelegate> delegate) {
    std::lock_guard guard(mutex_);
    delegate_ = std::move(delegate);
}

std::shared_ptr<MXManagerDelegate> MXManager::delegate() const {
    std::lock_guard guard(mutex_);
    return delegate_.lock();
}

void MXManager::receiveReports() {
    if (auto self = weak_from_this().lock()) {
        platform::MetricManager::shared().addSubscriber(self);
    } else {
        SKALD_LOG_ERROR("The MetricKit manager must be shared to receive reports.");
    }
}

void MXManager::pauseReports() {
    platform::MetricManager::shared().removeSubscriber(this);
}

void MXManager::didReceiveDiagnosticPayloads(
    const std::vector<platform::DiagnosticPayload>& payloads) {
    // Called from whatever thread delivers: nothing may escape into it.
    try {
        for (const auto& payload : payloads) {
            const Date begin = payload.timeStampBegin;
            const Date end = payload.timeStampEnd;
            if (!disableCrashDiagnostics_) {
                forEachDiagnostic(
                    payload.crashDiagnostics, "crash diagnostic", *this,
                    [&](MXManagerDelegate& d, const auto& diagnostic, const MXCallStackTree& tree) {
                        d.didReceiveCrashDiagnostic(diagnostic, tree, begin, end);
                    });
            }
            forEachDiagnostic(
                payload.diskWriteExceptionDiagnostics, "disk-write exception diagnostic", *this,
                [&](MXManagerDelegate& d, const auto& diagnostic, const MXCallStackTree& tree) {
                    d.didReceiveDiskWriteExceptionDiagnostic(diagnostic, tree, begin, end);
                });
            forEachDiagnostic(
                payload.cpuExceptionDiagnostics, "CPU exception diagnostic", *this,
                [&](MXManagerDelegate& d, const auto& diagnostic, const MXCallStackTree& tree) {
                    d.didReceiveCpuExceptionDiagnostic(diagnostic, tree, begin, end);
                });
            forEachDiagnostic(
                payload.hangDiagnostics, "hang diagnostic", *this,
                [&](MXManagerDelegate& d, const auto& diagnostic, const MXCallStackTree& tree) {
                    d.didReceiveHangDiagnostic(diagnostic, tree, begin, end);
                });
        }
    } catch (const std::exception& error) {
        SKALD_LOG_ERROR("Could not handle diagnostic payloads: %s", error.what());
    }
}

}  // namespace skald
