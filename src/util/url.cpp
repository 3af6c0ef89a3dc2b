#include "skald/url.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "platform/base/percent.h"

namespace skald {

namespace {

using platform::percentDecode;

// Characters that may not appear anywhere in a URL, and percent signs that do
// not start an escape.
bool hasForbiddenCharacters(std::string_view text) {
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c <= 0x20 || c >= 0x7F || std::strchr("\"<>\\^`{|}", c) != nullptr) return true;
        if (c == '%' && !platform::isPercentEscapeAt(text, i)) return true;
    }
    return false;
}

bool isValidScheme(std::string_view scheme) {
    if (scheme.empty() || !std::isalpha(static_cast<unsigned char>(scheme[0]))) return false;
    for (const char c : scheme) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.') {
            return false;
        }
    }
    return true;
}

std::string encodePath(std::string_view path) {
    // A NUL stays unescaped, so that parsing refuses the text as a control
    // character rather than taking "%00" into the path.
    static constexpr char kKeep[] = "-._~!$&'()*+,;=:@/";
    return platform::percentEncode(path, std::string_view(kKeep, sizeof kKeep));
}

std::optional<int> parsePort(std::string_view text, bool& ok) {
    ok = true;
    if (text.empty()) return std::nullopt;
    int value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            ok = false;
            return std::nullopt;
        }
        value = value * 10 + (c - '0');
        if (value > 65535) {
            ok = false;
            return std::nullopt;
        }
    }
    return value;
}

}  // namespace

std::optional<Url> Url::parse(std::string_view text) {
    if (hasForbiddenCharacters(text)) return std::nullopt;

    Url url;
    url.text_ = std::string(text);
    std::string_view rest = text;

    if (const auto end = rest.find_first_of(":/?#");
        end != std::string_view::npos && rest[end] == ':') {
        const auto scheme = rest.substr(0, end);
        if (!isValidScheme(scheme)) return std::nullopt;
        url.scheme_ = std::string(scheme);
        rest.remove_prefix(end + 1);
    }

    if (rest.substr(0, 2) == "//") {
        rest.remove_prefix(2);
        const auto end = std::min(rest.find_first_of("/?#"), rest.size());
        std::string_view authority = rest.substr(0, end);
        rest.remove_prefix(end);

        if (const auto at = authority.rfind('@'); at != std::string_view::npos) {
            const auto userInfo = authority.substr(0, at);
            const auto colon = userInfo.find(':');
            url.user_ = percentDecode(userInfo.substr(0, colon));
            if (colon != std::string_view::npos) {
                url.password_ = percentDecode(userInfo.substr(colon + 1));
            }
            authority.remove_prefix(at + 1);
        }

        std::string_view portText;
        if (!authority.empty() && authority[0] == '[') {
            const auto close = authority.find(']');
            if (close == std::string_view::npos) return std::nullopt;
            const auto after = authority.substr(close + 1);
            if (!after.empty() && after[0] != ':') return std::nullopt;
            if (!after.empty()) portText = after.substr(1);
            authority = authority.substr(0, close + 1);
        } else if (const auto colon = authority.find(':'); colon != std::string_view::npos) {
            portText = authority.substr(colon + 1);
            authority = authority.substr(0, colon);
        }
        bool portOk = true;
        url.port_ = parsePort(portText, portOk);
        if (!portOk) return std::nullopt;
        url.host_ = std::string(authority);
    }

    const auto pathEnd = std::min(rest.find_first_of("?#"), rest.size());
    url.path_ = std::string(rest.substr(0, pathEnd));
    rest.remove_prefix(pathEnd);

    if (!rest.empty() && rest[0] == '?') {
        const auto end = std::min(rest.find('#'), rest.size());
        url.query_ = std::string(rest.substr(1, end - 1));
        rest.remove_prefix(end);
    }
    if (!rest.empty() && rest[0] == '#') url.fragment_ = std::string(rest.substr(1));
    return url;
}

std::optional<Url> Url::make(std::string_view scheme, std::string_view host,
                             std::optional<int> port, std::string_view path) {
    std::string text(scheme);
    text += "://";
    text += host;
    if (port) {
        text += ':';
        text += std::to_string(*port);
    }
    text += encodePath(path);
    return parse(text);
}

std::string Url::path() const {
    return percentDecode(path_);
}

std::vector<std::string> Url::pathComponents() const {
    std::vector<std::string> components;
    std::string_view rest = path_;
    if (!rest.empty() && rest[0] == '/') components.emplace_back("/");
    while (!rest.empty()) {
        const auto slash = std::min(rest.find('/'), rest.size());
        if (slash > 0) components.push_back(percentDecode(rest.substr(0, slash)));
        rest.remove_prefix(std::min(slash + 1, rest.size()));
    }
    return components;
}

std::string Url::lastPathComponent() const {
    auto components = pathComponents();
    return components.empty() ? std::string() : std::move(components.back());
}

}  // namespace skald
