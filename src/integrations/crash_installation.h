#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "integrations/crash_reporter.h"

namespace skald {
class CrashWrapper;
class DispatchQueueWrapper;
class InAppLogic;
}  // namespace skald

namespace skald::crash {

/// Binds a report sink to the crash reporter and installs it.
class Installation {
  public:
    /// Room the crash handler data gives an installation's crash-time fields.
    static constexpr std::size_t kCrashHandlerDataSize = 4016;
    using CrashHandlerData = std::array<uint8_t, kCrashHandlerDataSize>;

    explicit Installation(std::vector<std::string> requiredProperties);
    virtual ~Installation();

    /// Sets the reporter's base path, makes this installation's crash handler
    /// data the active one, hands the reporter its crash hook and installs it.
    void install(const std::string& basePath);
    /// Takes the hook back when it is still this installation's, and
    /// uninstalls the reporter.
    void uninstall();

    /// Zeroed at construction.
    const CrashHandlerData& crashHandlerData() const { return *crashHandlerData_; }
    /// The crash handler data of the installation installed last, or null.
    static const CrashHandlerData* activeCrashHandlerData();

    /// Checks the required properties, then hands every stored report to the
    /// sink through the reporter.
    void sendAllReports(ReportsCompletion completion);
    /// The same for the reports of `reportIds` only.
    void sendReportsWithIDs(std::vector<uint64_t> reportIds, ReportsCompletion completion);

    /// "user/<path>" unless the path is empty or absolute.
    static std::string makeKeyPath(const std::string& keyPath);
    static std::vector<std::string> makeKeyPaths(const std::vector<std::string>& keyPaths);

  protected:
    /// Every send ends here: all stored reports without `reportIds`.
    virtual void sendReports(std::optional<std::vector<uint64_t>> reportIds,
                             ReportsCompletion completion);
    /// The sink reports go to; null when there is none.
    virtual std::shared_ptr<CrashReportFilter> sink() = 0;
    /// Whether a named property has a value; the base has none.
    virtual bool hasProperty(const std::string& name) const;

  private:
    std::vector<std::string> requiredProperties_;
    // Its own allocation: its address is what marks the active installation.
    std::unique_ptr<CrashHandlerData> crashHandlerData_;
};

/// The installation the SDK uses: its sink converts reports into events.
class InstallationReporter : public Installation {
  public:
    InstallationReporter(std::shared_ptr<InAppLogic> inAppLogic,
                         std::shared_ptr<CrashWrapper> crashWrapper,
                         std::shared_ptr<DispatchQueueWrapper> dispatchQueue);

  protected:
    void sendReports(std::optional<std::vector<uint64_t>> reportIds,
                     ReportsCompletion completion) override;
    std::shared_ptr<CrashReportFilter> sink() override;

  private:
    std::shared_ptr<InAppLogic> inAppLogic_;
    std::shared_ptr<CrashWrapper> crashWrapper_;
    std::shared_ptr<DispatchQueueWrapper> dispatchQueue_;
};

}  // namespace skald::crash
