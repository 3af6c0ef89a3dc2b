#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace skald {

class Options;

/// What the hub installs from the options' list of integration names.
class Integration {
  public:
    virtual ~Integration() = default;
    /// False keeps the integration out of the hub's list.
    virtual bool installWithOptions(const Options& options) = 0;
    virtual void uninstall() {}
    /// The name it is registered and listed under.
    virtual std::string integrationName() const = 0;
};

/// Options an integration needs switched on before it installs.
enum IntegrationOption : uint32_t {
    kIntegrationOptionNone = 0,
    kIntegrationOptionEnableAutoSessionTracking = 0x1,
    kIntegrationOptionEnableWatchdogTerminationTracking = 0x2,
    kIntegrationOptionEnableAutoPerformanceTracing = 0x4,
    kIntegrationOptionEnableAppHangTracking = 0x40,
    kIntegrationOptionEnableNetworkTracking = 0x80,
    kIntegrationOptionEnableFileIOTracing = 0x100,
    kIntegrationOptionEnableNetworkBreadcrumbs = 0x200,
    kIntegrationOptionEnableCoreDataTracing = 0x400,
    kIntegrationOptionEnableSwizzling = 0x800,
    kIntegrationOptionEnableAutoBreadcrumbTracking = 0x1000,
    kIntegrationOptionIsTracingEnabled = 0x2000,
    kIntegrationOptionDebuggerNotAttached = 0x4000,
    kIntegrationOptionEnableCrashHandler = 0x10000,
    kIntegrationOptionEnableMetricKit = 0x20000,
    kIntegrationOptionEnableAppHangTrackingV2 = 0x80000,
};

/// The base of every integration: installs only when the options it needs
/// are on, and says at debug level why it did not.
class BaseIntegration : public Integration {
  public:
    explicit BaseIntegration(std::string name) : name_(std::move(name)) {}

    bool installWithOptions(const Options& options) override;
    std::string integrationName() const override { return name_; }

    /// The bit set of `IntegrationOption` this integration needs.
    virtual uint32_t integrationOptions() const { return kIntegrationOptionNone; }
    bool shouldBeEnabledWithOptions(const Options& options) const;

    /// Whether a debugger traces the process; replaceable for tests.
    static void setDebuggerAttachedProbe(std::function<bool()> probe);

  private:
    std::string name_;
};

/// Integration classes by name, so that the options can list them as texts.
class IntegrationRegistry {
  public:
    using Factory = std::function<std::shared_ptr<Integration>()>;

    static IntegrationRegistry& shared();

    /// Replaces an earlier factory of the same name.
    void registerIntegration(const std::string& name, Factory factory);
    void unregisterIntegration(const std::string& name);
    bool contains(const std::string& name) const;
    /// Null for an unknown name.
    std::shared_ptr<Integration> create(const std::string& name) const;

  private:
    IntegrationRegistry() = default;
    mutable std::mutex mutex_;
    std::map<std::string, Factory> factories_;
};

}  // namespace skald
