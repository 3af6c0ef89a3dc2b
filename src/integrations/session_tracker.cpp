#include "integrations/session_tracker.h"

#include <chrono>

#include "core/client.h"
#include "persistence/file_manager.h"
#include "skald/hub.h"
#include "skald/platform/notification_center.h"
#include "skald/sdk.h"
#include "util/current_date_provider.h"
#include "util/log.h"

namespace skald {

namespace {

std::shared_ptr<FileManager> currentFileManager() {
    const auto hub = SDK::currentHub();
    const auto client = hub ? hub->getClient() : nullptr;
    return client ? client->fileManager() : nullptr;
}

}  // namespace

SessionTracker::SessionTracker(uint64_t sessionIntervalMillis, platform::NotificationCenter& center)
    : sessionIntervalMillis_(sessionIntervalMillis), center_(center) {}

SessionTracker::~SessionTracker() {
    stop();
}

void SessionTracker::start() {
    std::optional<Date> lastInForeground;
    if (auto files = currentFileManager()) {
        lastInForeground = files->readTimestampLastInForeground();
        if (lastInForeground) files->deleteTimestampLastInForeground();
    }
    if (const auto hub = SDK::currentHub()) hub->closeCachedSessionWithTimestamp(lastInForeground);

    auto becameActive = [this](const platform::Notification&) { didBecomeActive(); };
    center_.addObserver(this, platform::kApplicationDidBecomeActiveNotification, nullptr,
                        becameActive);
    center_.addObserver(this, kHybridSdkDidBecomeActive, nullptr, becameActive);
    center_.addObserver(this, platform::kApplicationWillResignActiveNotification, nullptr,
                        [this](const platform::Notification&) { willResignActive(); });
    center_.addObserver(this, platform::kApplicationWillTerminateNotification, nullptr,
                        [this](const platform::Notification&) { willTerminate(); });
}

void SessionTracker::stop() {
    center_.removeObserver(this);
}

void SessionTracker::didBecomeActive() {
    {
        // The system's notification and a hybrid SDK's both arrive for one
        // activation: one session.
        const std::lock_guard lock(mutex_);
        if (wasDidBecomeActiveCalled_) return;
        wasDidBecomeActiveCalled_ = true;
    }
    const auto hub = SDK::currentHub();
    auto files = currentFileManager();
    const std::optional<Date> stored =
        files ? files->readTimestampLastInForeground() : std::nullopt;
    if (!stored) {
        if (hub) hub->startSession();
    } else {
        const auto away =
            std::chrono::duration_cast<std::chrono::milliseconds>(currentDate() - *stored);
        if (away.count() >= 0 && static_cast<uint64_t>(away.count()) >= sessionIntervalMillis_) {
            if (hub) {
                hub->endSessionWithTimestamp(*stored);
                hub->startSession();
            }
        }
    }
    if (files) files->deleteTimestampLastInForeground();
    const std::lock_guard lock(mutex_);
    lastInForeground_.reset();
}

void SessionTracker::willResignActive() {
    const Date now = currentDate();
    {
        const std::lock_guard lock(mutex_);
        lastInForeground_ = now;
        wasDidBecomeActiveCalled_ = false;
    }
    if (auto files = currentFileManager()) files->storeTimestampLastInForeground(now);
}

void SessionTracker::willTerminate() {
    std::optional<Date> lastInForeground;
    {
        const std::lock_guard lock(mutex_);
        lastInForeground = lastInForeground_;
        wasDidBecomeActiveCalled_ = false;
    }
    if (const auto hub = SDK::currentHub())
        hub->endSessionWithTimestamp(lastInForeground.value_or(currentDate()));
    if (auto files = currentFileManager()) files->deleteTimestampLastInForeground();
}

}  // namespace skald
