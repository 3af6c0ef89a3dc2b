#include "skald/span_status.h"

namespace skald {

const char* nameForSpanStatus(SpanStatus status) {
    static constexpr const char* kNames[] = {"undefined",           "ok",
                                             "deadline_exceeded",   "unauthenticated",
                                             "permission_denied",   "not_found",
                                             "resource_exhausted",  "invalid_argument",
                                             "unimplemented",       "unavailable",
                                             "internal_error",      "unknown_error",
                                             "cancelled",           "already_exists",
                                             "failed_precondition", "aborted",
                                             "out_of_range",        "data_loss"};
    const auto index = static_cast<unsigned>(status);
    return index < sizeof kNames / sizeof kNames[0] ? kNames[index] : "undefined";
}

const char* nameForTransactionNameSource(TransactionNameSource source) {
    switch (source) {
        case TransactionNameSource::Url:
            return "url";
        case TransactionNameSource::Route:
            return "route";
        case TransactionNameSource::View:
            return "view";
        case TransactionNameSource::Component:
            return "component";
        case TransactionNameSource::Task:
            return "task";
        default:
            return "custom";
    }
}

}  // namespace skald
