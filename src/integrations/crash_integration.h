#pragma once

#include <memory>
#include <optional>
#include <string>

#include "core/integration.h"

namespace skald {

class CrashWrapper;
class DispatchQueueWrapper;
class SessionCrashedHandler;

namespace crash {
class CrashScopeObserver;
class InstallationReporter;
}  // namespace crash

/// Starts crash handling once per process, sends the reports of earlier
/// crashes, ends a crashed session, and mirrors the scope into what crash
/// reports carry.
class CrashIntegration : public BaseIntegration {
  public:
    static constexpr const char* kName = "SkaldCrashIntegration";

    CrashIntegration();
    CrashIntegration(std::shared_ptr<CrashWrapper> crashWrapper,
                     std::shared_ptr<DispatchQueueWrapper> dispatchQueueWrapper);

    ~CrashIntegration() override;

    uint32_t integrationOptions() const override { return kIntegrationOptionEnableCrashHandler; }
    bool installWithOptions(const Options& options) override;
    void uninstall() override;

    /// Once per process until uninstalled.
    void startCrashHandler(const std::string& cacheDirectoryPath, bool enableSigtermReporting);

    /// Forgets the process's installation and start; for tests only.
    static void resetForTesting();

    /// The current hub's "device" context gets the locale of the moment.
    static void currentLocaleDidChange();

  private:
    void configureScope();
    void sendStoredReports(const std::shared_ptr<crash::InstallationReporter>& installation);

    std::shared_ptr<CrashWrapper> crashWrapper_;
    std::shared_ptr<DispatchQueueWrapper> dispatchQueueWrapper_;
    std::shared_ptr<SessionCrashedHandler> crashedSessionHandler_;
    std::shared_ptr<crash::CrashScopeObserver> scopeObserver_;
    std::optional<std::string> releaseName_;
    std::optional<std::string> dist_;
    std::vector<std::string> inAppIncludes_;
    std::vector<std::string> inAppExcludes_;
};

}  // namespace skald
