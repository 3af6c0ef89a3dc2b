#pragma once

#include <cstddef>
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "skald/attachment.h"
#include "skald/breadcrumb.h"
#include "skald/event.h"
#include "skald/json.h"
#include "skald/level.h"
#include "skald/propagation_context.h"
#include "skald/scope_observer.h"
#include "skald/session.h"
#include "skald/span.h"
#include "skald/user.h"

namespace skald {

/// What is attached to every event: tags, extras, contexts, user, dist,
/// environment, level, fingerprint, the most recent breadcrumbs, attachments,
/// the active span and the propagation context.
///
/// Every method may be called from any thread. Each part has its own lock: each
/// dictionary, the breadcrumb ring, the attachment list, the span, and one lock
/// on the scope object for the user and the single values. Observers are called
/// while the changed part's lock is held (see ScopeObserver), so they must not
/// call back into the scope.
class Scope {
  public:
    /// A capacity of 0 keeps no breadcrumbs at all.
    explicit Scope(std::size_t maxBreadcrumbs = 100);
    /// Takes the other scope's values (the user is copied, the span shared,
    /// breadcrumbs in chronological order) with a fresh propagation context and
    /// no observers.
    Scope(const Scope& other);
    Scope& operator=(const Scope&) = delete;

    // Breadcrumbs: a ring of `maxBreadcrumbs` entries that drops the oldest.
    void addBreadcrumb(std::shared_ptr<Breadcrumb> crumb);
    void clearBreadcrumbs();
    /// Oldest first.
    std::vector<std::shared_ptr<Breadcrumb>> breadcrumbs() const;
    std::size_t maxBreadcrumbs() const { return maxBreadcrumbs_; }

    void setTagValue(const std::string& value, const std::string& key);
    void removeTagForKey(const std::string& key);
    void setTags(std::map<std::string, std::string> tags);
    std::map<std::string, std::string> tags() const;

    void setExtraValue(Json value, const std::string& key);
    void removeExtraForKey(const std::string& key);
    /// Anything but an object clears the extras.
    void setExtras(Json extras);
    /// A JSON object.
    Json extras() const;

    /// `value` is the context dictionary stored under `key`.
    void setContextValue(Json value, const std::string& key);
    void removeContextForKey(const std::string& key);
    /// A JSON object of context name to context dictionary.
    Json context() const;

    /// Stores the user as given; events and sessions receive copies.
    void setUser(std::shared_ptr<User> user);
    std::shared_ptr<User> user() const;
    void setDist(std::optional<std::string> dist);
    std::optional<std::string> dist() const;
    void setEnvironment(std::optional<std::string> environment);
    std::optional<std::string> environment() const;
    void setFingerprint(std::vector<std::string> fingerprint);
    std::vector<std::string> fingerprints() const;
    /// Level::None means unset.
    void setLevel(Level level);
    Level level() const;
    void setCurrentScreen(std::optional<std::string> screen);
    std::optional<std::string> currentScreen() const;
    void setReplayId(std::optional<std::string> replayId);
    std::optional<std::string> replayId() const;

    void addAttachment(Attachment attachment);
    /// "view-hierarchy.json" becomes a JSON view-hierarchy attachment; any
    /// other file a plain attachment of the path.
    void addCrashReportAttachmentInPath(const std::string& path);
    void clearAttachments();
    std::vector<Attachment> attachments() const;

    void setSpan(std::shared_ptr<Span> span);
    std::shared_ptr<Span> span() const;
    /// Calls `callback` with the current span (maybe nullptr) outside the lock,
    /// so the callback may use the scope.
    void useSpan(const std::function<void(std::shared_ptr<Span>)>& callback);

    const PropagationContext& propagationContext() const { return propagationContext_; }

    /// Clears breadcrumbs, tags, extras, contexts, fingerprint, attachments,
    /// span, user, dist, environment and level; then tells the observers.
    void clear();

    /// Keys only for values that are set or non-empty: "tags", "extra",
    /// "context", "user", "dist", "environment", "replay_id", "fingerprint",
    /// "level", "breadcrumbs".
    Json serialize() const;

    /// Merges the scope into `event` and returns it; the event's own tags,
    /// extras, context values, dist and environment win, the scope's user and
    /// level replace the event's. At most `maxBreadcrumbs` breadcrumbs are
    /// given, and only to an event without breadcrumbs of its own.
    std::shared_ptr<Event> applyToEvent(std::shared_ptr<Event> event,
                                        std::size_t maxBreadcrumbs) const;
    /// A copy of the user and the environment, each only when set.
    void applyToSession(Session& session) const;

    void addObserver(std::shared_ptr<ScopeObserver> observer);

  private:
    // Calls `call` on every observer. The caller holds the changed part's lock;
    // the observer lock is always taken last.
    template <typename Call>
    void notifyObservers(Call&& call) const;
    bool hasObservers() const;

    // Under breadcrumbMutex_.
    std::vector<std::shared_ptr<Breadcrumb>> chronologicalBreadcrumbsLocked() const;

    mutable std::mutex spanMutex_;
    std::shared_ptr<Span> span_;
    /// Whether span_ is set, read without the lock: most reads find none
    /// (every recorded metric asks), and they need not wait for each other.
    std::atomic<bool> hasSpan_{false};

    mutable std::mutex tagMutex_;
    std::map<std::string, std::string> tags_;
    mutable std::mutex extraMutex_;
    Json extras_ = Json::object();
    mutable std::mutex contextMutex_;
    Json context_ = Json::object();

    // The scope object's own lock: the user and the single values.
    mutable std::mutex mutex_;
    std::shared_ptr<User> user_;
    std::optional<std::string> dist_;
    std::optional<std::string> environment_;
    std::vector<std::string> fingerprint_;
    Level level_ = Level::None;
    std::optional<std::string> currentScreen_;
    std::optional<std::string> replayId_;

    const std::size_t maxBreadcrumbs_;
    mutable std::mutex breadcrumbMutex_;
    std::vector<std::shared_ptr<Breadcrumb>> breadcrumbs_;
    // The next slot to write.
    std::size_t currentBreadcrumbIndex_ = 0;

    mutable std::mutex attachmentMutex_;
    std::vector<Attachment> attachments_;

    mutable std::mutex observerMutex_;
    std::vector<std::shared_ptr<ScopeObserver>> observers_;

    const PropagationContext propagationContext_;
};

}  // namespace skald
