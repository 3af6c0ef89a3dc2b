#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "skald/json.h"

namespace skald::platform {

/// The application notifications. The application layer posts them; a host
/// without it may post them itself. The SDK's integrations observe them by
/// these names.
inline constexpr char kApplicationDidFinishLaunchingNotification[] =
    "NSApplicationDidFinishLaunchingNotification";
inline constexpr char kApplicationDidBecomeActiveNotification[] =
    "NSApplicationDidBecomeActiveNotification";
inline constexpr char kApplicationWillResignActiveNotification[] =
    "NSApplicationWillResignActiveNotification";
inline constexpr char kApplicationWillTerminateNotification[] =
    "NSApplicationWillTerminateNotification";
/// An application that is not active is in the background: it enters the
/// background right after it resigned active, and comes back to the
/// foreground right before it becomes active again.
inline constexpr char kApplicationDidEnterBackgroundNotification[] =
    "NSApplicationDidEnterBackgroundNotification";
inline constexpr char kApplicationWillEnterForegroundNotification[] =
    "NSApplicationWillEnterForegroundNotification";
/// Posted by a host when it changed the locale of its process (setlocale, or
/// LANG and friends); the SDK then reports the new one.
inline constexpr char kCurrentLocaleDidChangeNotification[] =
    "NSCurrentLocaleDidChangeNotification";

/// One posted notification. `object` is the sender (compared by address
/// only, never dereferenced); `userInfo` is null when there is none.
struct Notification {
    std::string name;
    const void* object = nullptr;
    Json userInfo;
};

/// Identifies one observation; the default value identifies none.
struct ObserverToken {
    uint64_t id = 0;
    explicit operator bool() const { return id != 0; }
    friend bool operator==(ObserverToken, ObserverToken) = default;
};

/// A process-wide notification centre.
///
/// Observers are called in the order they were added. Posting calls them on
/// the posting thread, synchronously, except observers added with
/// `Delivery::MainQueue`, which run on the main queue: at once when posted on
/// the main thread, otherwise asynchronously (the poster does not wait, so a
/// main thread that waits for the poster cannot deadlock).
///
/// Observers are called outside the centre's lock, so a callback may post,
/// add and remove observers. A post calls the observers registered when it
/// began; one removed meanwhile (even by an earlier callback of the same post)
/// is not called any more. A callback already running on another thread may
/// still finish after `removeObserver` returns. An exception thrown by a
/// callback propagates to the poster and the remaining observers of that post
/// are skipped.
class NotificationCenter {
  public:
    using Callback = std::function<void(const Notification&)>;
    enum class Delivery { PostingThread, MainQueue };

    static NotificationCenter& defaultCenter();

    NotificationCenter();
    ~NotificationCenter();
    NotificationCenter(const NotificationCenter&) = delete;
    NotificationCenter& operator=(const NotificationCenter&) = delete;

    /// Observes notifications named `name` (empty: every name) from `object`
    /// (nullptr: any sender).
    ObserverToken addObserver(std::string name, const void* object, Callback callback,
                              Delivery delivery = Delivery::PostingThread);

    /// The same, registered for `target` so that `removeObserver(target)`
    /// removes every observation of that target at once.
    ObserverToken addObserver(const void* target, std::string name, const void* object,
                              Callback callback, Delivery delivery = Delivery::PostingThread);

    void removeObserver(ObserverToken token);
    /// Every observation registered for `target`.
    void removeObserver(const void* target);
    /// The observations of `target` for `name` (empty: any name) and sender
    /// `object` (nullptr: any sender).
    void removeObserver(const void* target, const std::string& name, const void* object);

    void postNotification(const Notification& notification);
    void postNotificationName(std::string name, const void* object = nullptr,
                              Json userInfo = nullptr);

    size_t observerCount() const;

  private:
    struct Observer;
    ObserverToken add(const void* target, std::string name, const void* object, Callback callback,
                      Delivery delivery);
    template <typename Predicate>
    void removeIf(Predicate predicate);

    mutable std::mutex mutex_;
    uint64_t nextId_ = 1;
    std::vector<std::shared_ptr<Observer>> observers_;
};

}  // namespace skald::platform
