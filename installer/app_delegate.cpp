#include "installer/app_delegate.h"

#include <cstdlib>

#include "skald/sdk.h"

namespace vantorel {

namespace {

// For tests of the crash alert: a real crash once the SDK watches for one.
__attribute__((noinline)) void crashOnPurpose() {
    volatile int* volatile nothing = nullptr;
    *nothing = 1;
}

}  // namespace

void AppDelegate::applicationDidFinishLaunching(const skald::platform::Notification&) {
    skald::SDK::startWithConfigureOptions(
        [this](skald::Options& options) { options.setDsn(dsn_); });
    if (const char* crash = std::getenv("VANTOREL_DEV_CRASH_AFTER_START"); crash && *crash) {
        crashOnPurpose();
    }
}

}  // namespace vantorel
