#include "transport/transport_adapter.h"

#include "skald/event.h"
#include "skald/options.h"
#include "skald/session.h"
#include "skald/user_feedback.h"

namespace skald {

TransportAdapter::TransportAdapter(std::vector<std::shared_ptr<Transport>> transports,
                                   std::shared_ptr<const Options> options)
    : transports_(std::move(transports)), options_(std::move(options)) {}

Envelope::Items TransportAdapter::itemsFor(Event& event,
                                           const std::vector<Attachment>& attachments) {
    Envelope::Items items;
    if (auto item = EnvelopeItem::forEvent(event)) items.push_back(std::move(item));
    for (const auto& attachment : attachments) {
        if (auto item = EnvelopeItem::forAttachment(attachment, options_->maxAttachmentSize)) {
            items.push_back(std::move(item));
        }
    }
    return items;
}

void TransportAdapter::sendEvent(Event& event, const std::optional<TraceContext>& traceContext,
                                 const std::vector<Attachment>& attachments,
                                 const Envelope::Items& additionalItems) {
    auto items = itemsFor(event, attachments);
    items.insert(items.end(), additionalItems.begin(), additionalItems.end());
    sendEnvelope(std::make_shared<Envelope>(
        std::make_shared<EnvelopeHeader>(event.eventId, traceContext), std::move(items)));
}

void TransportAdapter::sendEvent(Event& event, const Session& session,
                                 const std::optional<TraceContext>& traceContext,
                                 const std::vector<Attachment>& attachments) {
    auto items = itemsFor(event, attachments);
    if (auto item = EnvelopeItem::forSession(session)) items.push_back(std::move(item));
    sendEnvelope(std::make_shared<Envelope>(
        std::make_shared<EnvelopeHeader>(event.eventId, traceContext), std::move(items)));
}

void TransportAdapter::sendUserFeedback(const UserFeedback& feedback) {
    sendEnvelope(Envelope::forUserFeedback(feedback));
}

void TransportAdapter::sendEnvelope(const std::shared_ptr<Envelope>& envelope) {
    if (!envelope) return;
    for (const auto& transport : transports_) transport->sendEnvelope(envelope);
}

void TransportAdapter::recordLostEvent(DataCategory category, DiscardReason reason,
                                       uint64_t quantity) {
    for (const auto& transport : transports_)
        transport->recordLostEvent(category, reason, quantity);
}

FlushResult TransportAdapter::flush(double timeoutSeconds) {
    std::optional<FlushResult> first;
    for (const auto& transport : transports_) {
        const auto result = transport->flush(timeoutSeconds);
        if (!first) first = result;
    }
    return first.value_or(FlushResult::Success);
}

}  // namespace skald
