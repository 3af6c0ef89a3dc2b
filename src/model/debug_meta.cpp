#include "skald/debug_meta.h"

#include <string_view>

#include "util/dictionary.h"

namespace skald {

namespace {

/// The last component of a path; trailing slashes are not a component.
std::string lastPathComponent(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    const size_t slash = path.rfind('/');
    if (slash == std::string_view::npos || path.size() == 1) return std::string(path);
    return std::string(path.substr(slash + 1));
}

}  // namespace

Json DebugMeta::serialize() const {
    Json result = objectWithCapacity(9);
    appendIfSet(result, "uuid", uuid);
    appendIfSet(result, "debug_id", debugID);
    appendIfSet(result, "type", type);
    appendIfSet(result, "image_addr", imageAddress);
    appendIfSet(result, "image_size", imageSize);
    if (name) appendEntry(result, "name", lastPathComponent(*name));
    appendIfSet(result, "code_file", codeFile);
    appendIfSet(result, "image_vmaddr", imageVmAddress);
    appendIfSet(result, "code_id", codeID);
    return result;
}

}  // namespace skald
