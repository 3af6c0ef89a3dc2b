#include "skald/dsn.h"

#include <algorithm>

#include "platform/base/sha1.h"
#include "platform/base/utf8.h"
#include "util/control_characters.h"

namespace skald {

namespace {

// White space and line breaks in the Unicode sense: tab, the line breaks
// U+000A-U+000D and U+0085, and the separators (categories Zs, Zl, Zp).
bool isWhiteSpaceOrNewline(char32_t c) {
    return c == 0x09 || (c >= 0x0A && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 ||
           c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 ||
           c == 0x202F || c == 0x205F || c == 0x3000;
}

std::string_view trimWhiteSpaceAndNewlines(std::string_view text) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    size_t begin = text.size();
    size_t end = 0;
    for (size_t i = 0; i < text.size();) {
        const size_t length = std::min(platform::utf8SequenceLength(bytes[i]), text.size() - i);
        if (!isWhiteSpaceOrNewline(platform::decodeUtf8Sequence(bytes + i, length))) {
            begin = std::min(begin, i);
            end = i + length;
        }
        i += length;
    }
    return begin < end ? text.substr(begin, end - begin) : std::string_view();
}

// The first failing check's text, or nothing when the URL is a valid DSN.
const char* validationFailure(const std::optional<Url>& url) {
    if (!url || !url->scheme()) return "URL scheme of DSN is missing";
    if (*url->scheme() != "http" && *url->scheme() != "https") {
        return "Unrecognized URL scheme in DSN";
    }
    if (!url->host() || url->host()->empty()) return "Host component of DSN is missing";
    if (!url->user()) return "User component of DSN is missing";
    // The key and secret are sent in a request header.
    if (hasControlCharacters(*url->user()) ||
        (url->password() && hasControlCharacters(*url->password()))) {
        return "User component of DSN has control characters";
    }
    if (url->pathComponents().size() < 2) return "Project ID path component of DSN is missing";
    return nullptr;
}

}  // namespace

std::shared_ptr<Dsn> Dsn::make(std::string_view text, Error* error) {
    auto url = Url::parse(trimWhiteSpaceAndNewlines(text));
    if (const char* failure = validationFailure(url)) {
        if (error != nullptr) *error = Error::skald(ErrorCode::InvalidDsn, failure);
        return nullptr;
    }
    return std::shared_ptr<Dsn>(new Dsn(std::move(*url)));
}

const Url& Dsn::getStoreEndpoint() const {
    return cachedEndpoint(storeReady_, storeEndpoint_, "store/");
}

const Url& Dsn::getEnvelopeEndpoint() const {
    return cachedEndpoint(envelopeReady_, envelopeEndpoint_, "envelope/");
}

const Url& Dsn::cachedEndpoint(std::atomic<bool>& ready, std::optional<Url>& slot,
                               const char* suffix) const {
    if (!ready.load(std::memory_order_acquire)) {
        std::lock_guard lock(mutex_);
        if (!ready.load(std::memory_order_relaxed)) {
            const auto components = url_.pathComponents();
            std::string prefix;
            if (components.size() >= 3) {
                for (size_t i = 1; i + 1 < components.size(); ++i) {
                    prefix += '/';
                    prefix += components[i];
                }
            }
            const std::string path = prefix + "/api/" + url_.lastPathComponent() + "/" + suffix;
            // Built from parts of a URL that parsed, so it parses as well.
            slot = Url::make(*url_.scheme(), *url_.host(), url_.port(), path);
            ready.store(true, std::memory_order_release);
        }
    }
    return *slot;
}

std::string Dsn::getHash() const {
    return platform::sha1Hex(url_.absoluteString());
}

}  // namespace skald
