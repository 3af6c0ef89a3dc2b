#include "skald/platform/http_response.h"

#include <algorithm>

namespace skald::platform {

namespace {
char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}
}  // namespace

bool CaseInsensitiveLess::operator()(std::string_view a, std::string_view b) const {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                        [](char x, char y) { return lower(x) < lower(y); });
}

std::optional<std::string> HttpResponse::header(std::string_view name) const {
    const auto found = headers.find(name);
    if (found == headers.end()) return std::nullopt;
    return found->second;
}

std::optional<std::string> HttpResponse::mimeType() const {
    const auto contentType = header("Content-Type");
    if (!contentType) return std::nullopt;
    std::string type = contentType->substr(0, contentType->find(';'));
    const auto first = type.find_first_not_of(" \t");
    const auto last = type.find_last_not_of(" \t");
    if (first == std::string::npos) return std::nullopt;
    type = type.substr(first, last - first + 1);
    std::transform(type.begin(), type.end(), type.begin(), lower);
    return type;
}

}  // namespace skald::platform
