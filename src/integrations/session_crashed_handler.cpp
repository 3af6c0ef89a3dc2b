#include "integrations/session_crashed_handler.h"

#include "core/client.h"
#include "core/crash_wrapper.h"
#include "core/dependency_container.h"
#include "persistence/file_manager.h"
#include "skald/hub.h"
#include "skald/sdk.h"
#include "skald/session.h"
#include "util/current_date_provider.h"

namespace skald {

SessionCrashedHandler::SessionCrashedHandler(std::shared_ptr<CrashWrapper> crashWrapper)
    : crashWrapper_(std::move(crashWrapper)) {}

void SessionCrashedHandler::endCurrentSessionAsCrashedWhenCrashOrOOM() {
    if (!crashWrapper_ || !crashWrapper_->crashedLastLaunch()) return;
    const auto hub = SDK::currentHub();
    const auto client = hub ? hub->getClient() : nullptr;
    const auto fileManager = client ? client->fileManager() : nullptr;
    if (!fileManager) return;
    const auto session = fileManager->readCurrentSession();
    if (!session) return;
    const Date now = DependencyContainer::sharedInstance()->dateProvider()->date();
    const auto activeSinceCrash = std::chrono::duration_cast<Date::duration>(
        std::chrono::duration<double>(crashWrapper_->activeDurationSinceLastCrash()));
    session->endSessionCrashed(now - activeSinceCrash);
    fileManager->storeCrashedSession(*session);
    fileManager->deleteCurrentSession();
}

}  // namespace skald
