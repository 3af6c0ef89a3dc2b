#include "skald/envelope.h"

#include "util/dictionary.h"
#include "util/meta.h"

namespace skald {

namespace {

SdkInfo currentSdkInfo() {
    return SdkInfo(Meta::sdkName(), Meta::versionString());
}

}  // namespace

// MARK: - Headers

EnvelopeHeader::EnvelopeHeader(std::optional<Id> eventId) : EnvelopeHeader(eventId, std::nullopt) {}

EnvelopeHeader::EnvelopeHeader(std::optional<Id> eventId, std::optional<TraceContext> traceContext)
    : EnvelopeHeader(eventId, currentSdkInfo(), std::move(traceContext)) {}

EnvelopeHeader::EnvelopeHeader(std::optional<Id> eventId, std::optional<SdkInfo> sdkInfo,
                               std::optional<TraceContext> traceContext)
    : eventId_(eventId), sdkInfo_(std::move(sdkInfo)), traceContext_(std::move(traceContext)) {}

std::shared_ptr<EnvelopeHeader> EnvelopeHeader::empty() {
    return std::make_shared<EnvelopeHeader>(std::nullopt);
}

std::optional<Date> EnvelopeHeader::sentAt() const {
    std::lock_guard guard(sentAtMutex_);
    return sentAt_;
}

void EnvelopeHeader::setSentAt(std::optional<Date> sentAt) {
    std::lock_guard guard(sentAtMutex_);
    sentAt_ = sentAt;
}

EnvelopeItemHeader::EnvelopeItemHeader(std::string type, uint64_t length)
    : EnvelopeItemHeader(std::move(type), length, std::nullopt, std::nullopt) {}

EnvelopeItemHeader::EnvelopeItemHeader(std::string type, uint64_t length,
                                       std::optional<std::string> contentType)
    : EnvelopeItemHeader(std::move(type), length, std::nullopt, std::move(contentType)) {}

EnvelopeItemHeader::EnvelopeItemHeader(std::string type, uint64_t length,
                                       std::optional<std::string> filename,
                                       std::optional<std::string> contentType)
    : type_(std::move(type)),
      length_(length),
      filename_(std::move(filename)),
      contentType_(std::move(contentType)) {}

Json EnvelopeItemHeader::serialize() const {
    Json result = objectWithCapacity(5);
    appendEntry(result, "type", type_);
    appendEntry(result, "length", length_);
    appendIfSet(result, "filename", filename_);
    appendIfSet(result, "content_type", contentType_);
    return result;
}

EnvelopeAttachmentHeader::EnvelopeAttachmentHeader(std::string type, uint64_t length)
    : EnvelopeItemHeader(std::move(type), length),
      attachmentType_(AttachmentType::EventAttachment) {}

EnvelopeAttachmentHeader::EnvelopeAttachmentHeader(std::string type, uint64_t length,
                                                   std::optional<std::string> filename,
                                                   std::optional<std::string> contentType,
                                                   AttachmentType attachmentType)
    : EnvelopeItemHeader(std::move(type), length, std::move(filename), std::move(contentType)),
      attachmentType_(attachmentType) {}

Json EnvelopeAttachmentHeader::serialize() const {
    Json result = EnvelopeItemHeader::serialize();
    appendEntry(result, "attachment_type", nameForAttachmentType(attachmentType_));
    return result;
}

// MARK: - Items

EnvelopeItem::EnvelopeItem(std::shared_ptr<const EnvelopeItemHeader> header, std::string data)
    : header_(header ? std::move(header)
                     : std::make_shared<const EnvelopeItemHeader>("", data.size())),
      data_(std::move(data)) {}

// MARK: - Envelopes

Envelope::Envelope(std::shared_ptr<EnvelopeHeader> header, Items items)
    : header_(header ? std::move(header) : EnvelopeHeader::empty()) {
    items_.reserve(items.size());
    for (auto& item : items) {
        if (item) items_.push_back(std::move(item));
    }
}

Envelope::Envelope(std::shared_ptr<EnvelopeHeader> header, std::shared_ptr<const EnvelopeItem> item)
    : Envelope(std::move(header), Items{std::move(item)}) {}

Envelope::Envelope(std::optional<Id> eventId, Items items)
    : Envelope(std::make_shared<EnvelopeHeader>(eventId), std::move(items)) {}

Envelope::Envelope(std::optional<Id> eventId, std::shared_ptr<const EnvelopeItem> item)
    : Envelope(std::make_shared<EnvelopeHeader>(eventId), Items{std::move(item)}) {}

}  // namespace skald
