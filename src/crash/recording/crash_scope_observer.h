#pragma once

#include <cstdint>

#include "skald/scope_observer.h"

namespace skald::crash {

/// Keeps the crash-time copy of the scope (scope_snapshot.h) in step with the
/// SDK's scope, as JSON texts that the report writer embeds unchanged.
class CrashScopeObserver : public ScopeObserver {
  public:
    /// Empties the snapshot and sizes its breadcrumb ring.
    /// Attachments held in memory above `maxAttachmentSize` bytes are not
    /// kept for crash reports.
    explicit CrashScopeObserver(int maxBreadcrumbs,
                                uint64_t maxAttachmentSize = kDefaultMaxAttachmentSize);

    static constexpr uint64_t kDefaultMaxAttachmentSize = 20 * 1024 * 1024;

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
    /// Copied into the crash report's attachments directory at crash time.
    void setAttachments(const std::vector<Attachment>& attachments) override;

  private:
    uint64_t maxAttachmentSize_;
};

}  // namespace skald::crash
