#include "integrations/breadcrumb_tracker.h"

#include "skald/breadcrumb.h"
#include "skald/platform/notification_center.h"

namespace skald {

BreadcrumbTracker::BreadcrumbTracker(platform::NotificationCenter& center,
                                     std::shared_ptr<Reachability> reachability)
    : center_(center), reachability_(std::move(reachability)) {}

BreadcrumbTracker::~BreadcrumbTracker() {
    center_.removeObserver(this);
    if (reachability_) reachability_->removeObserver(this);
}

void BreadcrumbTracker::start(Sink sink) {
    {
        const std::lock_guard lock(mutex_);
        sink_ = std::move(sink);
    }
    auto marker = std::make_shared<Breadcrumb>(Level::Info, "started");
    marker->type = "debug";
    marker->message = "Breadcrumb Tracking";
    send(std::move(marker));

    center_.removeObserver(this);
    center_.addObserver(this, platform::kApplicationWillResignActiveNotification, nullptr,
                        [this](const platform::Notification&) { addLifecycleCrumb("background"); });
    center_.addObserver(this, platform::kApplicationDidBecomeActiveNotification, nullptr,
                        [this](const platform::Notification&) { addLifecycleCrumb("foreground"); });
    if (reachability_) reachability_->addObserver(shared_from_this());
}

void BreadcrumbTracker::stop() {
    {
        const std::lock_guard lock(mutex_);
        sink_ = nullptr;
    }
    // Unlike a tracker that only loses its delegate, this one also stops
    // observing: nothing would reach a sink anyway.
    center_.removeObserver(this);
    if (reachability_) reachability_->removeObserver(this);
}

void BreadcrumbTracker::connectivityChanged(bool /*connected*/,
                                            const std::string& typeDescription) {
    auto crumb = std::make_shared<Breadcrumb>(Level::Info, "device.connectivity");
    crumb->type = "connectivity";
    crumb->data = Json{{"connectivity", typeDescription}};
    send(std::move(crumb));
}

void BreadcrumbTracker::addLifecycleCrumb(const char* state) {
    auto crumb = std::make_shared<Breadcrumb>(Level::Info, "app.lifecycle");
    crumb->type = "navigation";
    crumb->data = Json{{"state", state}};
    send(std::move(crumb));
}

void BreadcrumbTracker::send(std::shared_ptr<Breadcrumb> crumb) {
    Sink sink;
    {
        const std::lock_guard lock(mutex_);
        sink = sink_;
    }
    if (sink) sink(std::move(crumb));
}

}  // namespace skald
