#include "skald/propagation_context.h"

namespace skald {

Json PropagationContext::traceContextForEvent() const {
    Json result = Json::object();
    result["span_id"] = spanId_.skaldSpanIdString();
    result["trace_id"] = traceId_.skaldIdString();
    return result;
}

std::string PropagationContext::traceHeader() const {
    return traceId_.skaldIdString() + "-" + spanId_.skaldSpanIdString() + "-0";
}

}  // namespace skald
