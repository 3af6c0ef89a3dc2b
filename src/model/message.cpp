#include "skald/message.h"

#include "platform/base/utf8.h"
#include "util/dictionary.h"

namespace skald {

namespace {

/// Cuts `text` after `maxCharacters` UTF-8 code points, never inside a
/// multi-byte sequence (a split sequence would make the JSON unwritable).
void truncateCharacters(std::string& text, size_t maxCharacters) {
    if (text.size() <= maxCharacters) return;
    text.resize(platform::utf8PrefixLength(text, maxCharacters));
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
