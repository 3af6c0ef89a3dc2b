// The constructors that turn each kind of payload into an item. Kept apart
// from the envelope classes so that the framing builds without the records.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "envelope/msgpack_serializer.h"
#include "skald/serialization.h"
#include "model/client_report.h"
#include "skald/envelope.h"
#include "skald/event.h"
#include "skald/session.h"
#include "skald/user_feedback.h"
#include "util/file_io.h"
#include "util/json_bytes.h"
#include "util/log.h"

namespace skald {

namespace {

std::shared_ptr<EnvelopeItem> makeItem(std::string type, std::string data) {
    const uint64_t length = data.size();
    return std::make_shared<EnvelopeItem>(
        std::make_shared<EnvelopeItemHeader>(std::move(type), length), std::move(data));
}

/// What is sent instead of an event whose JSON cannot be written.
std::string replacementEventData(const Event& failed) {
    Event replacement(Level::Warning);
    const std::string failedMessage = failed.message ? failed.message->formatted() : "";
    replacement.message = std::make_shared<Message>(
        "JSON conversion error for event with message: '" + failedMessage + "'");
    replacement.releaseName = failed.releaseName;
    replacement.environment = failed.environment;
    replacement.platform = failed.platform;
    replacement.timestamp = failed.timestamp;
    return jsonBytes(replacement.serialize()).value_or("");
}

}  // namespace

std::shared_ptr<EnvelopeItem> EnvelopeItem::forEvent(Event& event) {
    const bool isTransaction = event.type == "transaction";
    auto data = jsonBytes(event.serialize());
    if (!data) {
        SKALD_LOG_ERROR("Event cannot be converted to JSON; sending a replacement event.");
        data = replacementEventData(event);
    }
    return makeItem(isTransaction ? "transaction" : "event", std::move(*data));
}

std::shared_ptr<EnvelopeItem> EnvelopeItem::forSession(const Session& session) {
    return makeItem("session", jsonBytes(session.serialize()).value_or(""));
}

std::shared_ptr<EnvelopeItem> EnvelopeItem::forUserFeedback(const UserFeedback& feedback) {
    auto data = jsonBytes(feedback.serialize());
    if (!data) SKALD_LOG_ERROR("Couldn't serialize user feedback.");
    return makeItem("user_report", data.value_or(""));
}

std::shared_ptr<EnvelopeItem> EnvelopeItem::forClientReport(const ClientReport& report) {
    auto data = jsonBytes(report.serialize());
    if (!data) SKALD_LOG_ERROR("Couldn't serialize client report.");
    return makeItem("client_report", data.value_or(""));
}

std::shared_ptr<EnvelopeItem> EnvelopeItem::forAttachment(const Attachment& attachment,
                                                          uint64_t maxAttachmentSize) {
    std::optional<std::string> data;
    if (attachment.data()) {
        if (attachment.data()->size() > maxAttachmentSize) {
            SKALD_LOG_DEBUG(
                "Dropping attachment with filename '%s', because the size of the passed data with "
                "%zu bytes is bigger than the maximum allowed attachment size of %llu bytes.",
                attachment.filename().c_str(), attachment.data()->size(),
                static_cast<unsigned long long>(maxAttachmentSize));
            return nullptr;
        }
        data = attachment.data();
    } else if (attachment.path()) {
        const std::string& path = *attachment.path();
        struct stat info {};
        if (::stat(path.c_str(), &info) != 0) {
            SKALD_LOG_ERROR("Couldn't check file size of attachment with path: %s. Error: %s",
                            path.c_str(), std::strerror(errno));
            return nullptr;
        }
        if (static_cast<uint64_t>(info.st_size) > maxAttachmentSize) {
            SKALD_LOG_DEBUG(
                "Dropping attachment, because the size of the it located at '%s' with %llu bytes "
                "is bigger than the maximum allowed attachment size of %llu bytes.",
                path.c_str(), static_cast<unsigned long long>(info.st_size),
                static_cast<unsigned long long>(maxAttachmentSize));
            return nullptr;
        }
        // Refused as well when the file grew past the limit since the check.
        data = readFileContents(path, nullptr, maxAttachmentSize);
    }
    if (!data) {
        SKALD_LOG_ERROR("Couldn't init Attachment.");
        return nullptr;
    }
    const uint64_t length = data->size();
    return std::make_shared<EnvelopeItem>(
        std::make_shared<EnvelopeAttachmentHeader>("attachment", length, attachment.filename(),
                                                   attachment.contentType(),
                                                   attachment.attachmentType()),
        std::move(*data));
}

std::shared_ptr<EnvelopeItem> EnvelopeItem::forReplayEvent(Event& replayEvent,
                                                           const ReplayRecording& recording,
                                                           const std::string& videoPath) {
    // An empty value makes the writer fail, so unwritable parts are caught there.
    auto eventData = jsonBytes(replayEvent.serialize()).value_or("");
    auto recordingData = Serialization::dataWithReplayRecording(recording).value_or("");

    std::string temporaryPath = std::filesystem::path(videoPath).replace_extension("dat").string();
    // Never write over the video that is being read.
    if (temporaryPath == videoPath) temporaryPath += ".dat";

    const MsgPackSerializer::Dictionary dictionary = {
        {"replay_event", MsgPackValue::bytes(std::move(eventData))},
        {"replay_recording", MsgPackValue::bytes(std::move(recordingData))},
        {"replay_video", MsgPackValue::file(videoPath)},
    };
    std::optional<std::string> data;
    if (MsgPackSerializer::serializeDictionaryToMessagePack(dictionary, temporaryPath)) {
        data = readFileContents(temporaryPath);
    }
    if (!data) {
        SKALD_LOG_ERROR("Could not create MessagePack for session replay envelope item.");
        ::unlink(temporaryPath.c_str());
        return nullptr;
    }
    if (::unlink(temporaryPath.c_str()) != 0) {
        SKALD_LOG_ERROR("Cound not delete temporary replay content from disk: %s",
                        std::strerror(errno));
    }
    return makeItem("replay_video", std::move(*data));
}

std::shared_ptr<EnvelopeItem> EnvelopeItem::forStatsd(std::string data) {
    const uint64_t length = data.size();
    return std::make_shared<EnvelopeItem>(
        std::make_shared<EnvelopeItemHeader>("statsd", length, "application/octet-stream"),
        std::move(data));
}

std::shared_ptr<Envelope> Envelope::forEvent(Event& event) {
    return std::make_shared<Envelope>(std::optional<Id>(event.eventId),
                                      EnvelopeItem::forEvent(event));
}

std::shared_ptr<Envelope> Envelope::forSession(const Session& session) {
    return std::make_shared<Envelope>(std::optional<Id>(), EnvelopeItem::forSession(session));
}

std::shared_ptr<Envelope> Envelope::forSessions(
    const std::vector<std::shared_ptr<Session>>& sessions) {
    Items items;
    items.reserve(sessions.size());
    for (const auto& session : sessions) {
        if (session) items.push_back(EnvelopeItem::forSession(*session));
    }
    return std::make_shared<Envelope>(std::optional<Id>(), std::move(items));
}

std::shared_ptr<Envelope> Envelope::forUserFeedback(const UserFeedback& feedback) {
    return std::make_shared<Envelope>(std::optional<Id>(feedback.eventId),
                                      EnvelopeItem::forUserFeedback(feedback));
}

}  // namespace skald
