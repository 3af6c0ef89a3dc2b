#include "skald/message.h"

#include "util/dictionary.h"

namespace skald {

namespace {

/// Cuts `text` after `maxCharacters` UTF-8 code points, never inside a
/// multi-byte sequence (a split sequence would make the JSON unwritable).
void truncateCharacters(std::string& text, size_t maxCharacters) {
    if (text.size() <= maxCharacters) return;
    size_t characters = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const bool continuation = (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80;
        if (continuation) continue;
        if (characters == maxCharacters) {
            text.resize(i);
            return;
        }
        ++characters;
    }
}

}  // namespace

Message::Message(std::string formatted) : formatted_(std::move(formatted)) {
    truncateCharacters(formatted_, kMaxLength);
}

void Message::setMessage(std::optional<std::string> message) {
    if (message) truncateCharacters(*message, kMaxLength);
    message_ = std::move(message);
}

Json Message::serialize() const {
    Json result = objectWithCapacity(3);
    appendEntry(result, "formatted", formatted_);
    appendIfSet(result, "message", message_);
    if (params) appendEntry(result, "params", arrayFromStrings(*params));
    return result;
}

}  // namespace skald
