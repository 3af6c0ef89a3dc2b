#pragma once

#include "skald/scope_observer.h"

namespace skald::crash {

/// Keeps the crash-time copy of the scope (scope_snapshot.h) in step with the
/// SDK's scope, as JSON texts that the report writer embeds unchanged.
class CrashScopeObserver : public ScopeObserver {
  public:
    /// Empties the snapshot and sizes its breadcrumb ring.
    explicit CrashScopeObserver(int maxBreadcrumbs);

    void setUser(const std::shared_ptr<User>& user) override;
    void setDist(const std::optional<std::string>& dist) override;
    void setEnvironment(const std::optional<std::string>& environment) override;
    void setContext(const Json& context) override;
    void setExtras(const Json& extras) override;
    void setTags(const std::map<std::string, std::string>& tags) override;
    void setFingerprint(const std::vector<std::string>& fingerprint) override;
    void setLevel(Level level) override;
    void addSerializedBreadcrumb(const Json& crumb) override;
    void clearBreadcrumbs() override;
    void clear() override;
};

}  // namespace skald::crash
