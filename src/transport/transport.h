#pragma once

#include <cstdint>
#include <memory>

#include "model/data_category.h"
#include "skald/flush_result.h"

namespace skald {

class Envelope;

/// Where envelopes go: the service over HTTP, or the development stream.
class Transport {
  public:
    virtual ~Transport() = default;
    virtual void sendEnvelope(const std::shared_ptr<Envelope>& envelope) = 0;
    void recordLostEvent(DataCategory category, DiscardReason reason) {
        recordLostEvent(category, reason, 1);
    }
    virtual void recordLostEvent(DataCategory category, DiscardReason reason,
                                 uint64_t quantity) = 0;
    /// Blocks for at most `timeoutSeconds`.
    virtual FlushResult flush(double timeoutSeconds) = 0;
};

}  // namespace skald
