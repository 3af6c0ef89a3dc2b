#include "skald/scope.h"

#include <algorithm>
#include <utility>

#include "util/dictionary.h"
#include "util/log.h"

namespace skald {

namespace {

constexpr const char* kViewHierarchyFilename = "view-hierarchy.json";

}  // namespace

Scope::Scope(std::size_t maxBreadcrumbs) : maxBreadcrumbs_(maxBreadcrumbs) {
    breadcrumbs_.reserve(maxBreadcrumbs_);
}

Scope::Scope(const Scope& other) : maxBreadcrumbs_(other.maxBreadcrumbs_) {
    // This scope is not shared yet, so only the source's locks are needed.
    {
        std::lock_guard guard(other.extraMutex_);
        extras_ = other.extras_;
    }
    {
        std::lock_guard guard(other.tagMutex_);
        tags_ = other.tags_;
    }
    {
        std::lock_guard guard(other.contextMutex_);
        context_ = other.context_;
    }
    {
        std::lock_guard guard(other.breadcrumbMutex_);
        breadcrumbs_ = other.chronologicalBreadcrumbsLocked();
    }
    // Stored oldest first, so the next write goes after the newest entry or,
    // when full, over the oldest one at slot 0.
    breadcrumbs_.reserve(maxBreadcrumbs_);
    currentBreadcrumbIndex_ = maxBreadcrumbs_ == 0 ? 0 : breadcrumbs_.size() % maxBreadcrumbs_;
    {
        std::lock_guard guard(other.attachmentMutex_);
        attachments_ = other.attachments_;
    }
    {
        std::lock_guard guard(other.mutex_);
        if (other.user_) user_ = std::make_shared<User>(*other.user_);
        dist_ = other.dist_;
        environment_ = other.environment_;
        fingerprint_ = other.fingerprint_;
        level_ = other.level_;
        replayId_ = other.replayId_;
    }
    {
        std::lock_guard guard(other.spanMutex_);
        span_ = other.span_;
        hasSpan_.store(span_ != nullptr, std::memory_order_release);
    }
}

template <typename Call>
void Scope::notifyObservers(Call&& call) const {
    std::lock_guard guard(observerMutex_);
    for (const auto& observer : observers_) call(*observer);
}

bool Scope::hasObservers() const {
    std::lock_guard guard(observerMutex_);
    return !observers_.empty();
}

void Scope::addObserver(std::shared_ptr<ScopeObserver> observer) {
    if (!observer) return;
    std::lock_guard guard(observerMutex_);
    observers_.push_back(std::move(observer));
}

// MARK: Breadcrumbs

void Scope::addBreadcrumb(std::shared_ptr<Breadcrumb> crumb) {
    if (maxBreadcrumbs_ == 0 || !crumb) return;
    SKALD_LOG_DEBUG("Add breadcrumb: %s", crumb->description().c_str());

    // Serialised once for all observers, and not at all without one.
    std::optional<Json> serialized;
    if (hasObservers()) serialized = crumb->serialize();

    std::lock_guard guard(breadcrumbMutex_);
    if (breadcrumbs_.size() < maxBreadcrumbs_) {
        breadcrumbs_.push_back(std::move(crumb));
    } else {
        breadcrumbs_[currentBreadcrumbIndex_] = std::move(crumb);
    }
    currentBreadcrumbIndex_ = (currentBreadcrumbIndex_ + 1) % maxBreadcrumbs_;
    if (serialized) {
        notifyObservers([&](ScopeObserver& o) { o.addSerializedBreadcrumb(*serialized); });
    }
}

void Scope::clearBreadcrumbs() {
    std::lock_guard guard(breadcrumbMutex_);
    currentBreadcrumbIndex_ = 0;
    breadcrumbs_.clear();
    notifyObservers([](ScopeObserver& o) { o.clearBreadcrumbs(); });
}

std::vector<std::shared_ptr<Breadcrumb>> Scope::chronologicalBreadcrumbsLocked() const {
    std::vector<std::shared_ptr<Breadcrumb>> result;
    result.reserve(breadcrumbs_.size());
    // Until the ring is full the index equals the count, so unfilled
    // positions are exactly those at or beyond the list's end.
    for (std::size_t i = 0; i < maxBreadcrumbs_; ++i) {
        const std::size_t position = (i + currentBreadcrumbIndex_) % maxBreadcrumbs_;
        if (position < breadcrumbs_.size()) result.push_back(breadcrumbs_[position]);
    }
    return result;
}

std::vector<std::shared_ptr<Breadcrumb>> Scope::breadcrumbs() const {
    std::lock_guard guard(breadcrumbMutex_);
    return chronologicalBreadcrumbsLocked();
}

// MARK: Tags, extras, contexts

void Scope::setTagValue(const std::string& value, const std::string& key) {
    std::lock_guard guard(tagMutex_);
    tags_[key] = value;
    notifyObservers([&](ScopeObserver& o) { o.setTags(tags_); });
}

void Scope::removeTagForKey(const std::string& key) {
    std::lock_guard guard(tagMutex_);
    tags_.erase(key);
    notifyObservers([&](ScopeObserver& o) { o.setTags(tags_); });
}

void Scope::setTags(std::map<std::string, std::string> tags) {
    std::lock_guard guard(tagMutex_);
    tags_ = std::move(tags);
    notifyObservers([&](ScopeObserver& o) { o.setTags(tags_); });
}

std::map<std::string, std::string> Scope::tags() const {
    std::lock_guard guard(tagMutex_);
    return tags_;
}

void Scope::setExtraValue(Json value, const std::string& key) {
    std::lock_guard guard(extraMutex_);
    extras_[key] = std::move(value);
    notifyObservers([&](ScopeObserver& o) { o.setExtras(extras_); });
}

void Scope::removeExtraForKey(const std::string& key) {
    std::lock_guard guard(extraMutex_);
    extras_.erase(key);
    notifyObservers([&](ScopeObserver& o) { o.setExtras(extras_); });
}

void Scope::setExtras(Json extras) {
    std::lock_guard guard(extraMutex_);
    extras_ = extras.is_object() ? std::move(extras) : Json::object();
    notifyObservers([&](ScopeObserver& o) { o.setExtras(extras_); });
}

Json Scope::extras() const {
    std::lock_guard guard(extraMutex_);
    return extras_;
}

void Scope::setContextValue(Json value, const std::string& key) {
    std::lock_guard guard(contextMutex_);
    context_[key] = std::move(value);
    notifyObservers([&](ScopeObserver& o) { o.setContext(context_); });
}

void Scope::removeContextForKey(const std::string& key) {
    std::lock_guard guard(contextMutex_);
    context_.erase(key);
    notifyObservers([&](ScopeObserver& o) { o.setContext(context_); });
}

Json Scope::context() const {
    std::lock_guard guard(contextMutex_);
    return context_;
}

// MARK: User and single values

void Scope::setUser(std::shared_ptr<User> user) {
    std::lock_guard guard(mutex_);
    user_ = std::move(user);
    notifyObservers([&](ScopeObserver& o) { o.setUser(user_); });
}

std::shared_ptr<User> Scope::user() const {
    std::lock_guard guard(mutex_);
    return user_;
}

void Scope::setDist(std::optional<std::string> dist) {
    std::lock_guard guard(mutex_);
    dist_ = std::move(dist);
    notifyObservers([&](ScopeObserver& o) { o.setDist(dist_); });
}

std::optional<std::string> Scope::dist() const {
    std::lock_guard guard(mutex_);
    return dist_;
}

void Scope::setEnvironment(std::optional<std::string> environment) {
    std::lock_guard guard(mutex_);
    environment_ = std::move(environment);
    notifyObservers([&](ScopeObserver& o) { o.setEnvironment(environment_); });
}

std::optional<std::string> Scope::environment() const {
    std::lock_guard guard(mutex_);
    return environment_;
}

void Scope::setFingerprint(std::vector<std::string> fingerprint) {
    std::lock_guard guard(mutex_);
    fingerprint_ = std::move(fingerprint);
    notifyObservers([&](ScopeObserver& o) { o.setFingerprint(fingerprint_); });
}

std::vector<std::string> Scope::fingerprints() const {
    std::lock_guard guard(mutex_);
    return fingerprint_;
}

void Scope::setLevel(Level level) {
    std::lock_guard guard(mutex_);
    level_ = level;
    notifyObservers([&](ScopeObserver& o) { o.setLevel(level_); });
}

Level Scope::level() const {
    std::lock_guard guard(mutex_);
    return level_;
}

void Scope::setCurrentScreen(std::optional<std::string> screen) {
    std::lock_guard guard(mutex_);
    currentScreen_ = std::move(screen);
    notifyObservers([&](ScopeObserver& o) { o.setCurrentScreen(currentScreen_); });
}

std::optional<std::string> Scope::currentScreen() const {
    std::lock_guard guard(mutex_);
    return currentScreen_;
}

void Scope::setReplayId(std::optional<std::string> replayId) {
    std::lock_guard guard(mutex_);
    replayId_ = std::move(replayId);
}

std::optional<std::string> Scope::replayId() const {
    std::lock_guard guard(mutex_);
    return replayId_;
}

// MARK: Attachments

void Scope::addAttachment(Attachment attachment) {
    std::lock_guard guard(attachmentMutex_);
    attachments_.push_back(std::move(attachment));
    notifyObservers([&](ScopeObserver& o) { o.setAttachments(attachments_); });
}

void Scope::addCrashReportAttachmentInPath(const std::string& path) {
    Attachment attachment = Attachment::fromPath(path);
    if (attachment.filename() == kViewHierarchyFilename) {
        attachment = Attachment::fromPath(path, kViewHierarchyFilename, "application/json",
                                          AttachmentType::ViewHierarchy);
    }
    addAttachment(std::move(attachment));
}

void Scope::clearAttachments() {
    std::lock_guard guard(attachmentMutex_);
    attachments_.clear();
    notifyObservers([&](ScopeObserver& o) { o.setAttachments(attachments_); });
}

std::vector<Attachment> Scope::attachments() const {
    std::lock_guard guard(attachmentMutex_);
    return attachments_;
}

// MARK: Span

void Scope::setSpan(std::shared_ptr<Span> span) {
    std::lock_guard guard(spanMutex_);
    span_ = std::move(span);
    hasSpan_.store(span_ != nullptr, std::memory_order_release);
}

std::shared_ptr<Span> Scope::span() const {
    if (!hasSpan_.load(std::memory_order_acquire)) return nullptr;
    std::lock_guard guard(spanMutex_);
    return span_;
}

void Scope::useSpan(const std::function<void(std::shared_ptr<Span>)>& callback) {
    if (!callback) return;
    callback(span());
}

// MARK: Whole scope

void Scope::clear() {
    {
        std::lock_guard guard(breadcrumbMutex_);
        currentBreadcrumbIndex_ = 0;
        breadcrumbs_.clear();
    }
    {
        std::lock_guard guard(tagMutex_);
        tags_.clear();
    }
    {
        std::lock_guard guard(extraMutex_);
        extras_ = Json::object();
    }
    {
        std::lock_guard guard(contextMutex_);
        context_ = Json::object();
    }
    clearAttachments();
    setSpan(nullptr);
    {
        std::lock_guard guard(mutex_);
        fingerprint_.clear();
        user_.reset();
        dist_.reset();
        environment_.reset();
        level_ = Level::None;
    }
    notifyObservers([](ScopeObserver& o) { o.clear(); });
}

Json Scope::serialize() const {
    Json result = Json::object();
    {
        std::lock_guard guard(tagMutex_);
        if (!tags_.empty()) result["tags"] = objectFromMap(tags_);
    }
    {
        std::lock_guard guard(extraMutex_);
        if (!extras_.empty()) result["extra"] = extras_;
    }
    {
        std::lock_guard guard(contextMutex_);
        if (!context_.empty()) result["context"] = context_;
    }
    {
        std::lock_guard guard(mutex_);
        if (user_) result["user"] = user_->serialize();
        if (dist_) result["dist"] = *dist_;
        if (environment_) result["environment"] = *environment_;
        if (replayId_) result["replay_id"] = *replayId_;
        if (!fingerprint_.empty()) result["fingerprint"] = arrayFromStrings(fingerprint_);
        if (level_ != Level::None) result["level"] = nameForLevel(level_);
    }
    const auto crumbs = breadcrumbs();
    if (!crumbs.empty()) {
        Json serialized = Json::array();
        for (const auto& crumb : crumbs) serialized.push_back(crumb->serialize());
        result["breadcrumbs"] = std::move(serialized);
    }
    return result;
}

std::shared_ptr<Event> Scope::applyToEvent(std::shared_ptr<Event> event,
                                           std::size_t maxBreadcrumbs) const {
    if (!event) return event;

    {
        std::lock_guard guard(tagMutex_);
        std::map<std::string, std::string> merged = tags_;
        if (event->tags) {
            for (const auto& [key, value] : *event->tags) merged[key] = value;
        }
        // Left unset rather than written as an empty dictionary.
        if (event->tags || !merged.empty()) event->tags = std::move(merged);
    }

    {
        std::lock_guard guard(extraMutex_);
        Json merged = extras_;
        if (event->extra) assignEntries(*event->extra, merged);
        if (event->extra || !merged.empty()) event->extra = std::move(merged);
    }

    std::shared_ptr<User> user;
    {
        std::lock_guard guard(mutex_);
        if (!fingerprint_.empty() && (!event->fingerprint || event->fingerprint->empty())) {
            event->fingerprint = fingerprint_;
        }
        user = user_;
        if (!event->dist && dist_) event->dist = dist_;
        if (!event->environment && environment_) event->environment = environment_;
        if (level_ != Level::None) event->level = level_;
    }

    // Breadcrumbs restored from a crash report count as the event's own.
    if (event->breadcrumbs.empty() && event->serializedBreadcrumbs.empty()) {
        auto crumbs = breadcrumbs();
        if (crumbs.size() > maxBreadcrumbs) crumbs.resize(maxBreadcrumbs);
        event->breadcrumbs = std::move(crumbs);
    }

    // Copied outside the scope's lock: the user guards itself.
    if (user) event->user = std::make_shared<User>(*user);

    Json context = this->context();
    if (event->context) mergeEntries(*event->context, context);

    // The span's own methods run outside spanMutex_.
    if (const auto current = span()) {
        if (event->type != "transaction" && current->isTracer()) {
            if (auto name = current->transactionName()) event->transaction = std::move(*name);
        }
        context["trace"] = current->serialize();
    }
    if (!context.contains("trace")) {
        context["trace"] = propagationContext_.traceContextForEvent();
    }
    event->context = std::move(context);
    return event;
}

void Scope::applyToSession(Session& session) const {
    std::shared_ptr<User> user;
    std::optional<std::string> environment;
    {
        std::lock_guard guard(mutex_);
        user = user_;
        environment = environment_;
    }
    // The session stores a copy of the user.
    if (user) session.setUser(user);
    if (environment) session.setEnvironment(std::move(environment));
}

}  // namespace skald
