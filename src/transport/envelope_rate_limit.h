#pragma once

#include <memory>
#include <mutex>

#include "model/data_category.h"

namespace skald {

class Envelope;
class EnvelopeItem;
class RateLimits;

/// Told about every item that a rate limit removes from an envelope.
class EnvelopeRateLimitDelegate {
  public:
    virtual ~EnvelopeRateLimitDelegate() = default;
    virtual void envelopeItemDropped(const std::shared_ptr<const EnvelopeItem>& item,
                                     DataCategory category) = 0;
};

/// Removes the items of currently limited categories from envelopes.
class EnvelopeRateLimit {
  public:
    explicit EnvelopeRateLimit(std::shared_ptr<RateLimits> rateLimits);

    /// Held weakly: the transport is the delegate and owns this object.
    void setDelegate(std::weak_ptr<EnvelopeRateLimitDelegate> delegate);

    /// The same envelope when nothing is limited, otherwise a new one with the
    /// same header and the remaining items in order (possibly none); nullptr
    /// for nullptr.
    std::shared_ptr<Envelope> removeRateLimitedItems(std::shared_ptr<Envelope> envelope);

  private:
    std::shared_ptr<RateLimits> rateLimits_;
    std::mutex delegateMutex_;
    std::weak_ptr<EnvelopeRateLimitDelegate> delegate_;
};

}  // namespace skald
