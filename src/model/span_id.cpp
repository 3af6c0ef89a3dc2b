#include "skald/span_id.h"

#include "skald/id.h"

namespace skald {

namespace {
constexpr size_t kSpanIdLength = 16;
}

SpanId::SpanId() : value_(Id().skaldIdString().substr(0, kSpanIdLength)) {}

SpanId::SpanId(std::string_view value) {
    if (value.size() != kSpanIdLength) {
        value_ = empty().value_;
        return;
    }
    value_.resize(kSpanIdLength);
    for (size_t i = 0; i < kSpanIdLength; ++i) {
        const char c = value[i];
        value_[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
}

const SpanId& SpanId::empty() {
    static const SpanId kEmpty("0000000000000000");
    return kEmpty;
}

}  // namespace skald
