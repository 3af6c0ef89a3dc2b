#include "skald/platform/notification_center.h"

#include <atomic>

#include "skald/platform/main_queue.h"

namespace skald::platform {

struct NotificationCenter::Observer {
    uint64_t id = 0;
    const void* target = nullptr;
    std::string name;
    const void* object = nullptr;
    Callback callback;
    Delivery delivery = Delivery::PostingThread;
    // Cleared on removal; checked right before each call so that a removal
    // made while a post is under way takes effect for the rest of it.
    std::atomic<bool> active{true};

    bool matches(const Notification& notification) const {
        return (name.empty() || name == notification.name) &&
               (object == nullptr || object == notification.object);
    }
};

NotificationCenter& NotificationCenter::defaultCenter() {
    // Never destroyed: observers may be removed from static destructors.
    static auto* center = new NotificationCenter();
    return *center;
}

NotificationCenter::NotificationCenter() = default;

NotificationCenter::~NotificationCenter() {
    std::lock_guard guard(mutex_);
    for (auto& observer : observers_) observer->active.store(false);
}

ObserverToken NotificationCenter::addObserver(std::string name, const void* object,
                                              Callback callback, Delivery delivery) {
    return add(nullptr, std::move(name), object, std::move(callback), delivery);
}

ObserverToken NotificationCenter::addObserver(const void* target, std::string name,
                                              const void* object, Callback callback,
                                              Delivery delivery) {
    return add(target, std::move(name), object, std::move(callback), delivery);
}

ObserverToken NotificationCenter::add(const void* target, std::string name, const void* object,
                                      Callback callback, Delivery delivery) {
    if (!callback) return {};
    auto observer = std::make_shared<Observer>();
    observer->target = target;
    observer->name = std::move(name);
    observer->object = object;
    observer->callback = std::move(callback);
    observer->delivery = delivery;
    std::lock_guard guard(mutex_);
    observer->id = nextId_++;
    observers_.push_back(observer);
    return ObserverToken{observer->id};
}

template <typename Predicate>
void NotificationCenter::removeIf(Predicate predicate) {
    // The callbacks are destroyed outside the lock: their captures may
    // remove observers themselves when they go away.
    std::vector<std::shared_ptr<Observer>> removed;
    {
        std::lock_guard guard(mutex_);
        auto kept = observers_.begin();
        for (auto it = observers_.begin(); it != observers_.end(); ++it) {
            if (predicate(**it)) {
                (*it)->active.store(false);
                removed.push_back(std::move(*it));
            } else {
                *kept++ = std::move(*it);
            }
        }
        observers_.erase(kept, observers_.end());
    }
}

void NotificationCenter::removeObserver(ObserverToken token) {
    if (!token) return;
    removeIf([&](const Observer& observer) { return observer.id == token.id; });
}

void NotificationCenter::removeObserver(const void* target) {
    if (target == nullptr) return;
    removeIf([&](const Observer& observer) { return observer.target == target; });
}

void NotificationCenter::removeObserver(const void* target, const std::string& name,
                                        const void* object) {
    if (target == nullptr) return;
    removeIf([&](const Observer& observer) {
        return observer.target == target && (name.empty() || observer.name == name) &&
               (object == nullptr || observer.object == object);
    });
}

void NotificationCenter::postNotification(const Notification& notification) {
    std::vector<std::shared_ptr<Observer>> receivers;
    {
        std::lock_guard guard(mutex_);
        for (const auto& observer : observers_) {
            if (observer->matches(notification)) receivers.push_back(observer);
        }
    }
    for (const auto& observer : receivers) {
        if (!observer->active.load()) continue;
        if (observer->delivery == Delivery::MainQueue && !MainQueue::isMainThread()) {
            MainQueue::async([observer, notification] {
                if (observer->active.load()) observer->callback(notification);
            });
            continue;
        }
        observer->callback(notification);
    }
}

void NotificationCenter::postNotificationName(std::string name, const void* object, Json userInfo) {
    postNotification(Notification{std::move(name), object, std::move(userInfo)});
}

size_t NotificationCenter::observerCount() const {
    std::lock_guard guard(mutex_);
    return observers_.size();
}

}  // namespace skald::platform
