#pragma once

#include <memory>

#include "transport/transport.h"
#include "util/dispatch_queue_wrapper.h"

namespace skald::bench {

/// Sends nothing and counts nothing: the send is not what is measured.
class NullTransport : public Transport {
  public:
    void sendEnvelope(const std::shared_ptr<Envelope>&) override {}
    void recordLostEvent(DataCategory, DiscardReason, uint64_t) override {}
    FlushResult flush(double) override { return FlushResult::Success; }
};

/// Drops what a hub would send from its queue.
class DroppingQueue : public DispatchQueueWrapper {
  public:
    void dispatchAsync(Block) override {}
};

}  // namespace skald::bench
