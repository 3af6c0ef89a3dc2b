#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "transport/reachability.h"

namespace skald {

class Breadcrumb;
namespace platform {
class NotificationCenter;
}  // namespace platform

/// Records breadcrumbs nobody has to ask for: a marker when tracking starts,
/// the application becoming active or resigning, and each change of network
/// connectivity.
class BreadcrumbTracker : public ReachabilityObserver,
                          public std::enable_shared_from_this<BreadcrumbTracker> {
  public:
    using Sink = std::function<void(std::shared_ptr<Breadcrumb>)>;

    BreadcrumbTracker(platform::NotificationCenter& center,
                      std::shared_ptr<Reachability> reachability);
    ~BreadcrumbTracker() override;

    /// Sends the start marker, then follows the notifications and the
    /// network's reachability.
    void start(Sink sink);
    /// Nothing reaches the sink any more.
    void stop();

    void connectivityChanged(bool connected, const std::string& typeDescription) override;

  private:
    void send(std::shared_ptr<Breadcrumb> crumb);
    void addLifecycleCrumb(const char* state);

    platform::NotificationCenter& center_;
    std::shared_ptr<Reachability> reachability_;
    std::mutex mutex_;
    Sink sink_;
};

}  // namespace skald
