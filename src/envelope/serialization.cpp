#include "skald/serialization.h"

#include <cstring>

#include "util/dictionary.h"
#include "util/iso8601.h"
#include "util/json_bytes.h"
#include "util/log.h"

namespace skald {

namespace {

std::optional<std::string> stringAt(const Json& object, const char* key) {
    const auto it = object.find(key);
    if (it == object.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

std::shared_ptr<EnvelopeHeader> parseEnvelopeHeader(const Json& object) {
    std::optional<Id> eventId;
    if (auto text = stringAt(object, "event_id")) eventId = Id::fromUuidString(*text);
    std::optional<SdkInfo> sdkInfo;
    if (object.contains("sdk")) sdkInfo = SdkInfo::fromDict(object);
    std::optional<TraceContext> traceContext;
    if (const auto trace = object.find("trace"); trace != object.end()) {
        traceContext = TraceContext::fromDict(*trace);
    }
    auto header =
        std::make_shared<EnvelopeHeader>(eventId, std::move(sdkInfo), std::move(traceContext));
    if (auto sentAt = stringAt(object, "sent_at")) {
        header->setSentAt(parseIso8601Timestamp(*sentAt));
    }
    return header;
}

/// A parsed item header, or nothing when the JSON is invalid. `type` is
/// empty when the header has none.
struct ParsedItemHeader {
    std::string type;
    uint64_t length = 0;
    Json object;
};

std::optional<ParsedItemHeader> parseItemHeader(std::string_view bytes) {
    std::string errorText;
    auto object = parseJsonBytes(bytes, &errorText);
    if (object && !object->is_object()) {
        object.reset();
        errorText = "the item header is not a JSON object";
    }
    ParsedItemHeader parsed;
    if (object) {
        // A length that is not a whole non-negative number cannot frame a payload.
        if (const auto length = object->find("length"); length != object->end()) {
            if (auto value = unsignedIntegerFromJson(*length)) {
                parsed.length = *value;
            } else {
                object.reset();
                errorText = "the item header's length is not a non-negative integer";
            }
        }
    }
    if (!object) {
        SKALD_LOG_ERROR("Failed to parse envelope item header %s", errorText.c_str());
        return std::nullopt;
    }
    if (auto type = stringAt(*object, "type")) parsed.type = std::move(*type);
    parsed.object = std::move(*object);
    return parsed;
}

std::shared_ptr<const EnvelopeItemHeader> makeItemHeader(ParsedItemHeader& parsed) {
    if (auto filename = stringAt(parsed.object, "filename")) {
        const auto attachmentType = stringAt(parsed.object, "attachment_type");
        return std::make_shared<EnvelopeAttachmentHeader>(
            std::move(parsed.type), parsed.length, std::move(filename),
            stringAt(parsed.object, "content_type"),
            attachmentTypeForName(attachmentType.value_or("")));
    }
    return std::make_shared<EnvelopeItemHeader>(std::move(parsed.type), parsed.length);
}

}  // namespace

std::optional<std::string> Serialization::dataWithJSONObject(const Json& object) {
    if (!(object.is_object() || object.is_array()) || !isWritableJson(object)) {
        SKALD_LOG_ERROR("Dictionary is not a valid JSON object.");
        return std::nullopt;
    }
    auto bytes = jsonBytes(object);
    if (!bytes) SKALD_LOG_ERROR("Internal error while serializing JSON: %s", "out of memory");
    return bytes;
}

std::optional<std::string> Serialization::dataWithEnvelope(const Envelope& envelope) {
    const auto& header = *envelope.header();
    Json headerObject = objectWithCapacity(5);
    if (header.eventId()) appendEntry(headerObject, "event_id", header.eventId()->skaldIdString());
    if (header.sdkInfo()) assignEntries(header.sdkInfo()->serialize(), headerObject);
    if (header.traceContext()) {
        assignEntries(Json{{"trace", header.traceContext()->serialize()}}, headerObject);
    }
    if (const auto sentAt = header.sentAt()) {
        assignEntries(Json{{"sent_at", formatIso8601Timestamp(*sentAt)}}, headerObject);
    }
    auto headerBytes = jsonBytes(headerObject);
    if (!headerBytes) {
        SKALD_LOG_ERROR("Envelope header cannot be converted to JSON.");
        return std::nullopt;
    }

    // One allocation for the whole envelope: payloads dominate, item headers
    // are short.
    size_t capacity = headerBytes->size();
    for (const auto& item : envelope.items()) capacity += item->data().size() + 128;
    std::string data;
    data.reserve(capacity);
    data += *headerBytes;

    for (const auto& item : envelope.items()) {
        std::optional<std::string> itemHeaderBytes;
        if (item->header()) {
            Json itemHeader = item->header()->serialize();
            // A header that disagrees with its payload would shift every later
            // item of the envelope; the payload's size is the truth.
            if (item->header()->length() != item->data().size()) {
                SKALD_LOG_WARNING("Envelope item of type %s declares %llu bytes but holds %zu.",
                                  item->header()->type().c_str(),
                                  static_cast<unsigned long long>(item->header()->length()),
                                  item->data().size());
                itemHeader["length"] = item->data().size();
            }
            itemHeaderBytes = jsonBytes(itemHeader);
        }
        if (!itemHeaderBytes) {
            SKALD_LOG_ERROR("Envelope item header cannot be converted to JSON.");
            return std::nullopt;
        }
        data += '\n';
        data += *itemHeaderBytes;
        data += '\n';
        data += item->data();
    }
    return data;
}

std::shared_ptr<Envelope> Serialization::envelopeWithData(std::string_view data) {
    const char* const bytes = data.data();
    const size_t size = data.size();

    const void* headerEnd = size == 0 ? nullptr : std::memchr(bytes, '\n', size);
    if (!headerEnd) {
        SKALD_LOG_ERROR("Invalid envelope. No header found.");
        return nullptr;
    }
    const size_t headerLength = static_cast<const char*>(headerEnd) - bytes;
    std::string errorText;
    auto headerObject = parseJsonBytes(data.substr(0, headerLength), &errorText);
    if (headerObject && !headerObject->is_object()) {
        headerObject.reset();
        errorText = "the header is not a JSON object";
    }
    if (!headerObject) {
        SKALD_LOG_ERROR("Failed to parse envelope header %s", errorText.c_str());
        SKALD_LOG_ERROR("Invalid envelope. No header found.");
        return nullptr;
    }
    auto header = parseEnvelopeHeader(*headerObject);

    Envelope::Items items;
    const size_t last = size - 1;
    size_t start = headerLength + 1;
    // The first item header is searched from its first byte; every later one
    // from the byte after the newline that ends the previous payload, which the
    // JSON parser then skips as whitespace.
    size_t scanFrom = start;
    while (scanFrom <= last) {
        const void* newline = std::memchr(bytes + scanFrom, '\n', size - scanFrom);
        // `end` is the header's terminating position: its newline or, without
        // one, the last byte, which then still belongs to the header.
        const size_t end = newline ? static_cast<const char*>(newline) - bytes : last;
        const size_t headerBytes = newline ? end - start : size - start;
        const bool atLast = end == last;

        auto parsed = parseItemHeader(data.substr(start, headerBytes));
        if (!parsed) return nullptr;
        if (parsed->type.empty()) {
            SKALD_LOG_ERROR("Envelope item type is required.");
            break;
        }
        const uint64_t length = parsed->length;
        if (atLast && length != 0) {
            SKALD_LOG_ERROR("Envelope item has no data but header indicates it's length is %llu.",
                            static_cast<unsigned long long>(length));
            break;
        }
        auto itemHeader = makeItemHeader(*parsed);
        if (atLast) {
            // A header that ends the data carries an empty payload.
            items.push_back(std::make_shared<EnvelopeItem>(std::move(itemHeader), std::string()));
            break;
        }
        const size_t payloadStart = end + 1;
        if (length > size - payloadStart) {
            SKALD_LOG_ERROR(
                "Envelope is corrupted or has invalid data. Trying to read %llu bytes by skiping "
                "%zu from a buffer of %zu bytes.",
                static_cast<unsigned long long>(length), payloadStart, size);
            return nullptr;
        }
        items.push_back(std::make_shared<EnvelopeItem>(
            std::move(itemHeader), std::string(bytes + payloadStart, static_cast<size_t>(length))));
        start = payloadStart + static_cast<size_t>(length);
        scanFrom = start + 1;
    }

    if (items.empty()) {
        SKALD_LOG_ERROR("Envelope has no items.");
        return nullptr;
    }
    return std::make_shared<Envelope>(std::move(header), std::move(items));
}

std::optional<Json> Serialization::deserializeDictionaryFromJsonData(std::string_view data) {
    std::string errorText;
    auto json = parseJsonBytes(data, &errorText);
    if (json && !json->is_object()) {
        json.reset();
        errorText = "the JSON is not an object";
    }
    if (!json) SKALD_LOG_ERROR("Failed to deserialize json item dictionary: %s", errorText.c_str());
    return json;
}

Level Serialization::levelFromData(std::string_view eventData) {
    std::string errorText;
    const auto json = parseJsonBytes(eventData, &errorText);
    if (!json) {
        SKALD_LOG_ERROR("Failed to retrieve event level from envelope item data: %s",
                        errorText.c_str());
        return Level::Error;
    }
    const auto name = json->is_object() ? stringAt(*json, "level") : std::nullopt;
    return levelForName(name.value_or(""));
}

std::optional<std::string> Serialization::dataWithReplayRecording(
    const ReplayRecording& recording) {
    auto header = jsonBytes(recording.header);
    auto body = jsonBytes(recording.body);
    if (!header || !body) return std::nullopt;
    std::string data;
    data.reserve(header->size() + 1 + body->size());
    data += *header;
    data += '\n';
    data += *body;
    return data;
}

}  // namespace skald
