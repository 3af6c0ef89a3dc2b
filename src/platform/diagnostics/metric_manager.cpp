#include "skald/platform/metric_manager.h"

#include <algorithm>

namespace skald::platform {

MetricManager& MetricManager::shared() {
    // Never destroyed: the SDK's watcher thread may deliver while exit runs.
    static auto* manager = new MetricManager();
    return *manager;
}

void MetricManager::addSubscriber(const std::shared_ptr<MetricManagerSubscriber>& subscriber) {
    if (!subscriber) return;
    std::lock_guard guard(mutex_);
    std::erase_if(subscribers_, [](const auto& weak) { return weak.expired(); });
    const bool known = std::any_of(subscribers_.begin(), subscribers_.end(),
                                   [&](const auto& weak) { return weak.lock() == subscriber; });
    if (!known) subscribers_.push_back(subscriber);
}

void MetricManager::removeSubscriber(const MetricManagerSubscriber* subscriber) {
    std::lock_guard guard(mutex_);
    std::erase_if(subscribers_, [subscriber](const auto& weak) {
        const auto strong = weak.lock();
        return !strong || strong.get() == subscriber;
    });
}

void MetricManager::deliverDiagnosticPayloads(const std::vector<DiagnosticPayload>& payloads) {
    std::vector<std::shared_ptr<MetricManagerSubscriber>> live;
    {
        std::lock_guard guard(mutex_);
        for (const auto& weak : subscribers_) {
            if (auto strong = weak.lock()) live.push_back(std::move(strong));
        }
    }
    // Outside the lock: a subscriber may unsubscribe while it receives.
    for (const auto& subscriber : live) subscriber->didReceiveDiagnosticPayloads(payloads);
}

bool MetricManager::deliverDiagnosticPayloadsJson(std::string_view json, std::string* error) {
    auto payloads = DiagnosticPayload::fromJson(json, error);
    if (!payloads) return false;
    deliverDiagnosticPayloads(*payloads);
    return true;
}

}  // namespace skald::platform
