#include "skald/frame.h"

#include "util/dictionary.h"

namespace skald {

Json Frame::serialize() const {
    Json result = objectWithCapacity(12);
    appendIfSet(result, "symbol_addr", symbolAddress);
    appendIfSet(result, "filename", fileName);
    appendIfSet(result, "function", function);
    appendIfSet(result, "module", module);
    appendIfSet(result, "lineno", lineNumber);
    appendIfSet(result, "colno", columnNumber);
    appendIfSet(result, "package", package);
    appendIfSet(result, "image_addr", imageAddress);
    appendIfSet(result, "instruction_addr", instructionAddress);
    appendIfSet(result, "platform", platform);
    appendBoolIfSet(result, "in_app", inApp);
    appendBoolIfSet(result, "stack_start", stackStart);
    return result;
}

}  // namespace skald
