#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "skald/attachment.h"
#include "skald/json.h"
#include "skald/level.h"
#include "skald/user.h"

namespace skald {

/// Mirrors every change of a scope elsewhere (the crash reporter keeps a copy
/// for crash reports). Each operation receives the new whole value, not the
/// changed entry alone.
///
/// The scope calls these while it holds the lock of the part that changed, so
/// that mirrored copies see changes in the same order as the scope. An observer
/// must therefore never call back into the scope it observes.
class ScopeObserver {
  public:
    virtual ~ScopeObserver() = default;

    virtual void setUser(const std::shared_ptr<User>& user) = 0;
    virtual void setDist(const std::optional<std::string>& dist) = 0;
    virtual void setEnvironment(const std::optional<std::string>& environment) = 0;
    /// Context name to context dictionary.
    virtual void setContext(const Json& context) = 0;
    /// A JSON object.
    virtual void setExtras(const Json& extras) = 0;
    virtual void setTags(const std::map<std::string, std::string>& tags) = 0;
    virtual void setFingerprint(const std::vector<std::string>& fingerprint) = 0;
    virtual void setLevel(Level level) = 0;
    /// The breadcrumb's JSON form.
    virtual void addSerializedBreadcrumb(const Json& crumb) = 0;
    virtual void clearBreadcrumbs() = 0;
    virtual void clear() = 0;

    /// Optional: observers that do not track the screen ignore it.
    virtual void setCurrentScreen(const std::optional<std::string>& screen) { (void)screen; }
    /// Optional: the whole attachment list after each change.
    virtual void setAttachments(const std::vector<Attachment>& attachments) { (void)attachments; }
};

}  // namespace skald
