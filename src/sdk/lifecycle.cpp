#include "skald/lifecycle.h"

#include "skald/platform/notification_center.h"

namespace skald {

namespace {
void post(const char* name) {
    platform::NotificationCenter::defaultCenter().postNotificationName(name);
}
}  // namespace

void Lifecycle::didBecomeActive() {
    post(platform::kApplicationDidBecomeActiveNotification);
}

void Lifecycle::willResignActive() {
    post(platform::kApplicationWillResignActiveNotification);
}

void Lifecycle::didEnterBackground() {
    post(platform::kApplicationDidEnterBackgroundNotification);
}

void Lifecycle::willEnterForeground() {
    post(platform::kApplicationWillEnterForegroundNotification);
}

void Lifecycle::willTerminate() {
    post(platform::kApplicationWillTerminateNotification);
}

}  // namespace skald
