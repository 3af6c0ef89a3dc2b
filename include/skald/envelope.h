#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "skald/attachment.h"
#include "skald/date.h"
#include "skald/id.h"
#include "skald/json.h"
#include "skald/replay_recording.h"
#include "skald/sdk_info.h"
#include "skald/trace_context.h"

// Payloads and serialized envelopes are bytes held in std::string: appending
// is cheap, and JSON text is produced into it without a further copy.

namespace skald {

class ClientReport;
class Event;
class Session;
class UserFeedback;

/// The envelope's own header. Immutable except for `sentAt`, which the
/// transport sets before each attempt (under the header's lock).
class EnvelopeHeader {
  public:
    /// SDK info from the SDK's current name and version; no trace context.
    explicit EnvelopeHeader(std::optional<Id> eventId);
    EnvelopeHeader(std::optional<Id> eventId, std::optional<TraceContext> traceContext);
    EnvelopeHeader(std::optional<Id> eventId, std::optional<SdkInfo> sdkInfo,
                   std::optional<TraceContext> traceContext);
    EnvelopeHeader(const EnvelopeHeader&) = delete;
    EnvelopeHeader& operator=(const EnvelopeHeader&) = delete;

    /// No id, no trace context, the SDK's info.
    static std::shared_ptr<EnvelopeHeader> empty();

    const std::optional<Id>& eventId() const { return eventId_; }
    const std::optional<SdkInfo>& sdkInfo() const { return sdkInfo_; }
    const std::optional<TraceContext>& traceContext() const { return traceContext_; }
    std::optional<Date> sentAt() const;
    void setSentAt(std::optional<Date> sentAt);

  private:
    std::optional<Id> eventId_;
    std::optional<SdkInfo> sdkInfo_;
    std::optional<TraceContext> traceContext_;
    mutable std::mutex sentAtMutex_;
    std::optional<Date> sentAt_;
};

/// The small header in front of each payload.
class EnvelopeItemHeader {
  public:
    EnvelopeItemHeader(std::string type, uint64_t length);
    EnvelopeItemHeader(std::string type, uint64_t length, std::optional<std::string> contentType);
    EnvelopeItemHeader(std::string type, uint64_t length, std::optional<std::string> filename,
                       std::optional<std::string> contentType);
    virtual ~EnvelopeItemHeader() = default;

    const std::string& type() const { return type_; }
    uint64_t length() const { return length_; }
    const std::optional<std::string>& filename() const { return filename_; }
    const std::optional<std::string>& contentType() const { return contentType_; }

    /// "type", "length", then "filename" and "content_type" when set.
    virtual Json serialize() const;

  private:
    std::string type_;
    uint64_t length_;
    std::optional<std::string> filename_;
    std::optional<std::string> contentType_;
};

/// The header of an "attachment" item; adds "attachment_type".
class EnvelopeAttachmentHeader : public EnvelopeItemHeader {
  public:
    EnvelopeAttachmentHeader(std::string type, uint64_t length);
    EnvelopeAttachmentHeader(std::string type, uint64_t length, std::optional<std::string> filename,
                             std::optional<std::string> contentType, AttachmentType attachmentType);

    AttachmentType attachmentType() const { return attachmentType_; }

    Json serialize() const override;

  private:
    AttachmentType attachmentType_;
};

/// One typed payload of an envelope. Immutable.
class EnvelopeItem {
  public:
    /// A null header stands for one without a type, so that `header()` is never null.
    EnvelopeItem(std::shared_ptr<const EnvelopeItemHeader> header, std::string data);

    const std::shared_ptr<const EnvelopeItemHeader>& header() const { return header_; }
    const std::string& data() const { return data_; }

    /// An "event" item, or "transaction" for an event of that type. An event
    /// whose JSON cannot be written is replaced by a warning event that says
    /// so. Sets the event's timestamp when it has none.
    static std::shared_ptr<EnvelopeItem> forEvent(Event& event);
    static std::shared_ptr<EnvelopeItem> forSession(const Session& session);
    /// A "user_report" item; an empty payload when the JSON cannot be made.
    static std::shared_ptr<EnvelopeItem> forUserFeedback(const UserFeedback& feedback);
    /// A "client_report" item; an empty payload when the JSON cannot be made.
    static std::shared_ptr<EnvelopeItem> forClientReport(const ClientReport& report);
    /// An "attachment" item, or nullptr when the data or file is larger than
    /// `maxAttachmentSize` or cannot be read.
    static std::shared_ptr<EnvelopeItem> forAttachment(const Attachment& attachment,
                                                       uint64_t maxAttachmentSize);
    /// A "replay_video" item: a MessagePack map of the event's JSON, the
    /// recording and the video file, built in a temporary file beside the
    /// video. nullptr when that fails.
    static std::shared_ptr<EnvelopeItem> forReplayEvent(Event& replayEvent,
                                                        const ReplayRecording& recording,
                                                        const std::string& videoPath);
    /// A "statsd" item of metric lines.
    static std::shared_ptr<EnvelopeItem> forStatsd(std::string data);

  private:
    std::shared_ptr<const EnvelopeItemHeader> header_;
    std::string data_;
};

/// The unit stored on disk and sent to the service: a header and its items in
/// order. Immutable except for the header's `sentAt`.
class Envelope {
  public:
    using Items = std::vector<std::shared_ptr<const EnvelopeItem>>;

    Envelope(std::shared_ptr<EnvelopeHeader> header, Items items);
    Envelope(std::shared_ptr<EnvelopeHeader> header, std::shared_ptr<const EnvelopeItem> item);
    /// A header with the id (or none) and the SDK's info.
    Envelope(std::optional<Id> eventId, Items items);
    Envelope(std::optional<Id> eventId, std::shared_ptr<const EnvelopeItem> item);

    /// Header id = the event's id; one event item.
    static std::shared_ptr<Envelope> forEvent(Event& event);
    /// No header id; one session item.
    static std::shared_ptr<Envelope> forSession(const Session& session);
    /// No header id; one session item per session, in order.
    static std::shared_ptr<Envelope> forSessions(
        const std::vector<std::shared_ptr<Session>>& sessions);
    /// Header id = the feedback's event id; one "user_report" item.
    static std::shared_ptr<Envelope> forUserFeedback(const UserFeedback& feedback);

    const std::shared_ptr<EnvelopeHeader>& header() const { return header_; }
    const Items& items() const { return items_; }

  private:
    std::shared_ptr<EnvelopeHeader> header_;
    Items items_;
};

}  // namespace skald
