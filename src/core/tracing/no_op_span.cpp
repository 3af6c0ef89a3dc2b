#include "core/tracing/no_op_span.h"

namespace skald {

std::shared_ptr<NoOpSpan> NoOpSpan::shared() {
    // Never destroyed: spans may be asked for while the process exits.
    static auto* instance = new std::shared_ptr<NoOpSpan>(std::make_shared<NoOpSpan>());
    return *instance;
}

}  // namespace skald
