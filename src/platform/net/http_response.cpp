#include "platform/net/http_response.h"

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

}  // namespace skald::platform
