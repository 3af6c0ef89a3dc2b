#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "skald/attachment.h"
#include "skald/envelope.h"
#include "skald/trace_context.h"
#include "transport/transport.h"

namespace skald {

class Event;
class Options;
class Session;
class UserFeedback;

/// What the client talks to: builds envelopes and hands each to every transport.
class TransportAdapter {
  public:
    TransportAdapter(std::vector<std::shared_ptr<Transport>> transports,
                     std::shared_ptr<const Options> options);

    /// The event's item, one item per attachment that can be made, then `additionalItems`.
    void sendEvent(Event& event, const std::optional<TraceContext>& traceContext,
                   const std::vector<Attachment>& attachments,
                   const Envelope::Items& additionalItems = {});
    /// As above with the session's item after the attachments.
    void sendEvent(Event& event, const Session& session,
                   const std::optional<TraceContext>& traceContext,
                   const std::vector<Attachment>& attachments);
    void sendUserFeedback(const UserFeedback& feedback);

    void sendEnvelope(const std::shared_ptr<Envelope>& envelope);
    void recordLostEvent(DataCategory category, DiscardReason reason, uint64_t quantity = 1);
    /// Flushes every transport; gives the first transport's result.
    FlushResult flush(double timeoutSeconds);

    const std::vector<std::shared_ptr<Transport>>& transports() const { return transports_; }

  private:
    Envelope::Items itemsFor(Event& event, const std::vector<Attachment>& attachments);

    std::vector<std::shared_ptr<Transport>> transports_;
    std::shared_ptr<const Options> options_;
};

}  // namespace skald
