#include "transport/http_transport.h"

#include <algorithm>
#include <utility>

#include "platform/process/process_exit.h"
#include "skald/dsn.h"
#include "skald/options.h"
#include "skald/serialization.h"
#include "transport/rate_limits.h"
#include "transport/request_builder.h"
#include "transport/request_manager.h"
#include "util/current_date_provider.h"
#include "util/dispatch_queue_wrapper.h"
#include "util/json_bytes.h"
#include "util/log.h"

namespace skald {

std::shared_ptr<HttpTransport> HttpTransport::make(Parts parts) {
    auto transport = std::make_shared<HttpTransport>(std::move(parts));
    const auto& p = transport->parts_;
    p.fileManager->setDelegate(transport);
    p.envelopeRateLimit->setDelegate(transport);
    if (p.reachability) p.reachability->addObserver(transport);
    std::weak_ptr<HttpTransport> weak = transport;
    p.dispatchQueue->dispatchAsync([weak] {
        if (auto self = weak.lock()) self->sendAllCachedEnvelopes();
    });
    return transport;
}

HttpTransport::HttpTransport(Parts parts) : parts_(std::move(parts)) {}

HttpTransport::~HttpTransport() {
    if (parts_.reachability) parts_.reachability->removeObserver(this);
    // Nobody will store these any more: exit must not wait for them.
    for (size_t i = 0; i < pending_.size(); ++i) platform::ProcessExit::release();
}

void HttpTransport::sendEnvelope(const std::shared_ptr<Envelope>& envelope) {
    auto allowed = parts_.envelopeRateLimit->removeRateLimitedItems(envelope);
    if (!allowed || allowed->items().empty()) {
        SKALD_LOG_DEBUG("RateLimit is active for all envelope items.");
        return;
    }

    std::shared_ptr<Envelope> overflow;
    bool startStoring = false;
    {
        std::lock_guard guard(pendingMutex_);
        pending_.push_back(std::move(allowed));
        platform::ProcessExit::hold();
        ++unstored_;
        if (pending_.size() > std::max<size_t>(1, parts_.options->maxCacheItems)) {
            overflow = takeOverflowUnlocked();
        }
        startStoring = !std::exchange(storing_, true);
    }
    if (overflow) {
        SKALD_LOG_DEBUG("Envelopes arrive faster than they can be stored: dropping the oldest.");
        recordLostItems(overflow->items(), DiscardReason::CacheOverflow);
        markStored();
    }
    if (!startStoring) return;
    std::weak_ptr<HttpTransport> weak = weak_from_this();
    parts_.dispatchQueue->dispatchAsync([weak] {
        if (auto self = weak.lock()) self->storeNextPending();
    });
}

std::shared_ptr<Envelope> HttpTransport::takeOverflowUnlocked() {
    // Sessions are kept as long as anything else can go: losing one would
    // break the release-health count of its run.
    auto victim = std::find_if(pending_.begin(), pending_.end(), [](const auto& pending) {
        return std::none_of(pending->items().begin(), pending->items().end(),
                            [](const auto& item) { return item->header()->type() == "session"; });
    });
    if (victim == pending_.end()) victim = pending_.begin();
    auto taken = std::move(*victim);
    pending_.erase(victim);
    return taken;
}

// One envelope per block, so that the queue stays responsive and exit can
// close between two envelopes.
void HttpTransport::storeNextPending() {
    std::shared_ptr<Envelope> next;
    bool more = false;
    {
        std::lock_guard guard(pendingMutex_);
        if (!pending_.empty()) {
            next = std::move(pending_.front());
            pending_.pop_front();
        }
        more = !pending_.empty();
        if (!more) storing_ = false;
    }
    if (next) {
        // Client reports join at storing time, so that the counts of
        // envelopes dropped on the way are not lost with them.
        parts_.fileManager->storeEnvelope(*addClientReportTo(next));
        markStored();
    }
    if (more) {
        std::weak_ptr<HttpTransport> weak = weak_from_this();
        parts_.dispatchQueue->dispatchAsync([weak] {
            if (auto self = weak.lock()) self->storeNextPending();
        });
        return;
    }
    sendAllCachedEnvelopes();
}

size_t HttpTransport::pendingCount() const {
    std::lock_guard guard(pendingMutex_);
    return pending_.size();
}

std::shared_ptr<Envelope> HttpTransport::addClientReportTo(
    const std::shared_ptr<Envelope>& envelope) {
    if (!parts_.options->sendClientReports) return envelope;
    std::vector<DiscardedEvent> discarded;
    {
        std::lock_guard guard(discardedMutex_);
        if (discardedEvents_.empty()) return envelope;
        for (auto& [key, event] : discardedEvents_) discarded.push_back(event);
        discardedEvents_.clear();
    }
    auto item = EnvelopeItem::forClientReport(ClientReport(std::move(discarded)));
    Envelope::Items items = envelope->items();
    items.push_back(std::move(item));
    return std::make_shared<Envelope>(envelope->header(), std::move(items));
}

void HttpTransport::sendAllCachedEnvelopes() {
    SKALD_LOG_DEBUG("sendAllCachedEnvelopes start.");
    if (platform::ProcessExit::isExiting()) {
        // What is stored stays for the next start; exit never waits for the network.
        SKALD_LOG_DEBUG("The process is exiting: not sending.");
        return;
    }
    {
        std::lock_guard guard(lock_);
        if (isSending_ || !parts_.requestManager->isReady()) {
            SKALD_LOG_DEBUG("Already sending.");
            return;
        }
        isSending_ = true;
    }

    const auto file = parts_.fileManager->getOldestEnvelope();
    if (!file) {
        if (pendingCount() > 0) {
            // Storing the rest calls this again: a flush goes on waiting.
            std::lock_guard guard(lock_);
            isSending_ = false;
            return;
        }
        SKALD_LOG_DEBUG("No envelopes left to send.");
        finishedSending();
        return;
    }
    const auto envelope = Serialization::envelopeWithData(file->contents);
    if (!envelope) {
        SKALD_LOG_DEBUG("Envelope contained no deserializable data.");
        deleteEnvelopeAndSendNext(file->path);
        return;
    }
    const auto allowed = parts_.envelopeRateLimit->removeRateLimitedItems(envelope);
    if (!allowed || allowed->items().empty()) {
        SKALD_LOG_DEBUG("Envelope had no rate-limited items, nothing to send.");
        deleteEnvelopeAndSendNext(file->path);
        return;
    }
    allowed->header()->setSentAt(parts_.dateProvider->date());

    Error error = Error::skald(ErrorCode::InvalidDsn, "No DSN to send to.");
    std::optional<platform::UrlRequest> request;
    if (parts_.options->parsedDsn) {
        request = parts_.requestBuilder->createEnvelopeRequest(*allowed, *parts_.options->parsedDsn,
                                                               &error);
    }
    if (!request) {
        SKALD_LOG_DEBUG("Failed to build request: %s.", error.description().c_str());
        recordLostItems(allowed->items(), DiscardReason::NetworkError);
        deleteEnvelopeAndSendNext(file->path);
        return;
    }

    std::weak_ptr<HttpTransport> weak = weak_from_this();
    const std::string path = file->path;
    parts_.requestManager->addRequest(
        std::move(*request), [weak, path, allowed](std::optional<platform::HttpResponse> response,
                                                   std::optional<Error> error) {
            auto self = weak.lock();
            if (!self) {
                SKALD_LOG_DEBUG("WeakSelf is nil. Not doing anything.");
                return;
            }
            const int status = response ? response->statusCode : 0;
            if (error && status != 429) {
                SKALD_LOG_DEBUG("Request error other than rate limit: %s",
                                error->description().c_str());
                // Without an answer the envelope stays on disk and is sent
                // later: only an envelope that is given up counts as lost.
                if (response) self->recordLostItems(allowed->items(), DiscardReason::NetworkError);
            }
            if (response) {
                SKALD_LOG_DEBUG("Envelope sent successfully!");
                self->parts_.rateLimits->update(*response);
                self->deleteEnvelopeAndSendNext(path);
            } else {
                SKALD_LOG_DEBUG("No internet connection.");
                self->finishedSending();
            }
        });
}

void HttpTransport::deleteEnvelopeAndSendNext(const std::string& path) {
    SKALD_LOG_DEBUG("Deleting envelope and sending next.");
    parts_.fileManager->removeFileAtPath(path);
    {
        std::lock_guard guard(lock_);
        isSending_ = false;
    }
    std::weak_ptr<HttpTransport> weak = weak_from_this();
    parts_.dispatchQueue->dispatchAfter(parts_.cachedEnvelopeSendDelay, [weak] {
        if (auto self = weak.lock()) self->sendAllCachedEnvelopes();
    });
}

void HttpTransport::finishedSending() {
    std::lock_guard guard(lock_);
    isSending_ = false;
    if (isFlushing_) {
        SKALD_LOG_DEBUG("Stop flushing.");
        isFlushing_ = false;
        dispatchGroup_.leave();
    }
}

void HttpTransport::markStored() {
    platform::ProcessExit::release();
    {
        std::lock_guard guard(pendingMutex_);
        if (unstored_ > 0) --unstored_;
    }
    storedCondition_.notify_all();
}

FlushResult HttpTransport::flush(double timeoutSeconds) {
    const auto timeout = platform::secondsToDuration(timeoutSeconds);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    {
        // What was captured before the flush goes to disk first: a host that
        // flushes and then ends the process must not lose it.
        std::unique_lock lock(pendingMutex_);
        if (!storedCondition_.wait_until(lock, deadline, [this] { return unstored_ == 0; })) {
            SKALD_LOG_DEBUG("Flushing timed out while storing.");
            return FlushResult::TimedOut;
        }
    }
    {
        std::lock_guard guard(lock_);
        if (isFlushing_) {
            SKALD_LOG_DEBUG("Already flushing.");
            return FlushResult::AlreadyFlushing;
        }
        SKALD_LOG_DEBUG("Start flushing.");
        isFlushing_ = true;
        dispatchGroup_.enter();
    }
    std::weak_ptr<HttpTransport> weak = weak_from_this();
    parts_.dispatchQueue->dispatchAsync([weak] {
        if (auto self = weak.lock()) self->sendAllCachedEnvelopes();
    });
    const auto left = std::max(deadline - std::chrono::steady_clock::now(),
                               std::chrono::steady_clock::duration::zero());
    if (!dispatchGroup_.wait(left)) {
        SKALD_LOG_DEBUG("Flushing timed out.");
        return FlushResult::TimedOut;
    }
    SKALD_LOG_DEBUG("Finished flushing.");
    return FlushResult::Success;
}

void HttpTransport::recordLostEvent(DataCategory category, DiscardReason reason,
                                    uint64_t quantity) {
    if (!parts_.options->sendClientReports) return;
    const std::string key =
        std::string(nameForDataCategory(category)) + ":" + nameForDiscardReason(reason);
    std::lock_guard guard(discardedMutex_);
    auto& entry = discardedEvents_[key];
    entry = DiscardedEvent{reason, category, entry.quantity + quantity};
}

void HttpTransport::recordLostItems(const Envelope::Items& items, DiscardReason reason) {
    for (const auto& item : items) {
        const auto& type = item->header()->type();
        if (type == "client_report") continue;
        recordLostEvent(dataCategoryForEnvelopeItemType(type), reason);
        recordLostSpans(*item, reason);
    }
}

void HttpTransport::recordLostSpans(const EnvelopeItem& item, DiscardReason reason) {
    if (item.header()->type() != "transaction") return;
    const auto payload = parseJsonBytes(item.data());
    if (!payload || !payload->is_object()) return;
    uint64_t spans = 0;
    if (const auto found = payload->find("spans"); found != payload->end() && found->is_array()) {
        spans = found->size();
    }
    recordLostEvent(DataCategory::Span, reason, spans + 1);
}

void HttpTransport::envelopeItemDropped(const std::shared_ptr<const EnvelopeItem>& item,
                                        DataCategory category) {
    recordLostEvent(category, DiscardReason::RateLimitBackoff);
    recordLostSpans(*item, DiscardReason::RateLimitBackoff);
}

void HttpTransport::envelopeItemDeleted(const std::shared_ptr<const EnvelopeItem>& item,
                                        DataCategory category) {
    recordLostEvent(category, DiscardReason::CacheOverflow);
    recordLostSpans(*item, DiscardReason::CacheOverflow);
}

void HttpTransport::connectivityChanged(bool connected, const std::string&) {
    if (!connected) {
        SKALD_LOG_DEBUG("Lost internet connection.");
        return;
    }
    SKALD_LOG_DEBUG("Internet connection is back.");
    std::weak_ptr<HttpTransport> weak = weak_from_this();
    parts_.dispatchQueue->dispatchAsync([weak] {
        if (auto self = weak.lock()) self->sendAllCachedEnvelopes();
    });
}

}  // namespace skald
