#include "installer/url_helpers.h"

#include <cstdio>

namespace vantorel {

std::string debugAbsoluteString(const std::optional<std::string>& url) {
    if (!url || url->empty()) return "Unknown absolute string";
    return *url;
}

namespace {

// Unreserved characters stay, and '/' when `keepSlash`; the rest is escaped.
std::string percentEncode(const std::string& text, bool keepSlash) {
    std::string encoded;
    for (unsigned char c : text) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.' || c == '~' ||
                           (keepSlash && c == '/');
        if (plain) {
            encoded += static_cast<char>(c);
        } else {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", c);
            encoded += escaped;
        }
    }
    return encoded;
}

}  // namespace

std::string fileUrlForPath(const std::string& path) {
    return "file://" + percentEncode(path, true);
}

std::string percentEncodeQueryValue(const std::string& value) {
    return percentEncode(value, false);
}

std::string pathExtensionOfUrl(const std::string& url) {
    auto end = url.find_first_of("?#");
    std::string path = url.substr(0, end);
    const auto scheme = path.find("://");
    if (scheme != std::string::npos) {
        const auto slash = path.find('/', scheme + 3);
        path = slash == std::string::npos ? std::string() : path.substr(slash);
    }
    const auto lastSlash = path.rfind('/');
    const std::string name = lastSlash == std::string::npos ? path : path.substr(lastSlash + 1);
    const auto dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) return "";
    return name.substr(dot + 1);
}

}  // namespace vantorel
