#include "transport/envelope_rate_limit.h"

#include <utility>
#include <vector>

#include "skald/envelope.h"
#include "transport/rate_limits.h"

namespace skald {

EnvelopeRateLimit::EnvelopeRateLimit(std::shared_ptr<RateLimits> rateLimits)
    : rateLimits_(std::move(rateLimits)) {}

void EnvelopeRateLimit::setDelegate(std::weak_ptr<EnvelopeRateLimitDelegate> delegate) {
    std::lock_guard guard(delegateMutex_);
    delegate_ = std::move(delegate);
}

std::shared_ptr<Envelope> EnvelopeRateLimit::removeRateLimitedItems(
    std::shared_ptr<Envelope> envelope) {
    if (!envelope || !rateLimits_) return envelope;

    Envelope::Items kept;
    std::vector<std::pair<std::shared_ptr<const EnvelopeItem>, DataCategory>> dropped;
    for (const auto& item : envelope->items()) {
        const DataCategory category = dataCategoryForEnvelopeItemType(item->header()->type());
        if (rateLimits_->isRateLimitActive(category)) {
            dropped.emplace_back(item, category);
        } else {
            kept.push_back(item);
        }
    }
    if (dropped.empty()) return envelope;

    std::shared_ptr<EnvelopeRateLimitDelegate> delegate;
    {
        std::lock_guard guard(delegateMutex_);
        delegate = delegate_.lock();
    }
    if (delegate) {
        for (const auto& [item, category] : dropped) delegate->envelopeItemDropped(item, category);
    }
    return std::make_shared<Envelope>(envelope->header(), std::move(kept));
}

}  // namespace skald
