#include "platform/base/path.h"

namespace skald::platform {

std::string_view lastPathComponent(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    const size_t slash = path.rfind('/');
    if (slash == std::string_view::npos || path.size() == 1) return path;
    return path.substr(slash + 1);
}

std::string appendingPathComponent(std::string_view path, std::string_view component) {
    std::string result(path);
    if (!result.empty() && result.back() != '/' && !component.starts_with('/')) result += '/';
    if (!result.empty() && result.back() == '/' && component.starts_with('/')) {
        component.remove_prefix(1);
    }
    result += component;
    return result;
}

}  // namespace skald::platform
