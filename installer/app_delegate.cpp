#include "installer/app_delegate.h"

#include "skald/sdk.h"

namespace vantorel {

void AppDelegate::applicationDidFinishLaunching(const skald::platform::Notification&) {
    skald::SDK::startWithConfigureOptions(
        [this](skald::Options& options) { options.setDsn(dsn_); });
}

}  // namespace vantorel
