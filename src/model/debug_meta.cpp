#include "skald/debug_meta.h"

#include <string_view>

#include "platform/base/path.h"
#include "util/dictionary.h"

namespace skald {

Json DebugMeta::serialize() const {
    Json result = objectWithCapacity(9);
    appendIfSet(result, "uuid", uuid);
    appendIfSet(result, "debug_id", debugID);
    appendIfSet(result, "type", type);
    appendIfSet(result, "image_addr", imageAddress);
    appendIfSet(result, "image_size", imageSize);
    if (name) appendEntry(result, "name", std::string(platform::lastPathComponent(*name)));
    appendIfSet(result, "code_file", codeFile);
    appendIfSet(result, "image_vmaddr", imageVmAddress);
    appendIfSet(result, "code_id", codeID);
    return result;
}

}  // namespace skald
