#pragma once

#include <memory>

#include "transport/transport.h"

namespace skald {

class DispatchQueueWrapper;
class Options;
class RequestBuilder;
class RequestManager;

/// Sends a copy of each envelope's events and transactions to a local
/// development viewer, without authentication and without storing anything.
class SpotlightTransport final : public Transport {
  public:
    SpotlightTransport(std::shared_ptr<const Options> options,
                       std::shared_ptr<RequestManager> requestManager,
                       std::shared_ptr<RequestBuilder> requestBuilder,
                       std::shared_ptr<DispatchQueueWrapper> dispatchQueue);

    void sendEnvelope(const std::shared_ptr<Envelope>& envelope) override;
    using Transport::recordLostEvent;
    void recordLostEvent(DataCategory, DiscardReason, uint64_t) override {}
    FlushResult flush(double) override { return FlushResult::Success; }

  private:
    std::shared_ptr<const Options> options_;
    std::shared_ptr<RequestManager> requestManager_;
    std::shared_ptr<RequestBuilder> requestBuilder_;
    std::shared_ptr<DispatchQueueWrapper> dispatchQueue_;
};

}  // namespace skald
