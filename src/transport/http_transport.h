#pragma once

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "model/client_report.h"
#include "persistence/file_manager.h"
#include "platform/dispatch/dispatch_group.h"
#include "skald/envelope.h"
#include "transport/envelope_rate_limit.h"
#include "transport/reachability.h"
#include "transport/transport.h"

namespace skald {

class CurrentDateProvider;
class DispatchQueueWrapper;
class Options;
class RateLimits;
class RequestBuilder;
class RequestManager;

/// Stores every envelope first, then sends the stored ones oldest first, one
/// request at a time, keeping them on disk while the network is down.
class HttpTransport final : public Transport,
                            public FileManagerDelegate,
                            public EnvelopeRateLimitDelegate,
                            public ReachabilityObserver,
                            public std::enable_shared_from_this<HttpTransport> {
  public:
    struct Parts {
        std::shared_ptr<const Options> options;
        /// Pause between one stored envelope and the next.
        double cachedEnvelopeSendDelay = 0.1;
        std::shared_ptr<FileManager> fileManager;
        std::shared_ptr<RequestManager> requestManager;
        std::shared_ptr<RequestBuilder> requestBuilder;
        std::shared_ptr<RateLimits> rateLimits;
        std::shared_ptr<EnvelopeRateLimit> envelopeRateLimit;
        std::shared_ptr<DispatchQueueWrapper> dispatchQueue;
        std::shared_ptr<CurrentDateProvider> dateProvider;
        std::shared_ptr<Reachability> reachability;
    };

    /// Becomes the delegate of the file manager and the envelope rate limit,
    /// observes reachability and starts sending what is stored.
    static std::shared_ptr<HttpTransport> make(Parts parts);
    ~HttpTransport() override;

    void sendEnvelope(const std::shared_ptr<Envelope>& envelope) override;
    using Transport::recordLostEvent;
    void recordLostEvent(DataCategory category, DiscardReason reason, uint64_t quantity) override;
    FlushResult flush(double timeoutSeconds) override;

    void envelopeItemDeleted(const std::shared_ptr<const EnvelopeItem>& item,
                             DataCategory category) override;
    void envelopeItemDropped(const std::shared_ptr<const EnvelopeItem>& item,
                             DataCategory category) override;
    void connectivityChanged(bool connected, const std::string& typeDescription) override;

    void sendAllCachedEnvelopes();

    explicit HttpTransport(Parts parts);

    /// Envelopes handed in and not yet stored.
    size_t pendingCount() const;

  private:
    std::shared_ptr<Envelope> addClientReportTo(const std::shared_ptr<Envelope>& envelope);
    void storeNextPending();
    /// An envelope accepted by sendEnvelope is stored or dropped: exit and
    /// flush stop waiting for it.
    void markStored();
    std::shared_ptr<Envelope> takeOverflowUnlocked();
    void deleteEnvelopeAndSendNext(const std::string& path);
    void finishedSending();
    void recordLostItems(const Envelope::Items& items, DiscardReason reason);
    void recordLostSpans(const EnvelopeItem& item, DiscardReason reason);

    Parts parts_;
    std::mutex lock_;  // isSending_ and isFlushing_
    bool isSending_ = false;
    bool isFlushing_ = false;
    platform::DispatchGroup dispatchGroup_;
    // Envelopes wait here for the queue to store them. Bounded by the cache's
    // own limit: more could never stay on disk anyway.
    mutable std::mutex pendingMutex_;
    std::deque<std::shared_ptr<Envelope>> pending_;
    bool storing_ = false;
    // Envelopes accepted and not yet stored or dropped; flush waits for none.
    size_t unstored_ = 0;
    std::condition_variable storedCondition_;
    std::mutex discardedMutex_;
    std::map<std::string, DiscardedEvent> discardedEvents_;
};

}  // namespace skald
