#include "skald/span_id.h"

#include <cstdint>

#include "platform/base/fast_random.h"

namespace skald {

namespace {

constexpr size_t kSpanIdLength = 16;

}  // namespace

SpanId::SpanId() {
    static constexpr char kDigits[] = "0123456789abcdef";
    uint64_t bits = platform::fastRandom64();
    // The 13th digit of a version-4 UUID's text is its version.
    bits = (bits & ~(uint64_t{0xF} << 12)) | (uint64_t{4} << 12);
    for (size_t i = 0; i < kSpanIdLength; ++i) {
        chars_[kSpanIdLength - 1 - i] = kDigits[bits & 0xF];
        bits >>= 4;
    }
}

SpanId::SpanId(std::string_view value) {
    if (value.size() != kSpanIdLength) {
        chars_ = empty().chars_;
        return;
    }
    for (size_t i = 0; i < kSpanIdLength; ++i) {
        const char c = value[i];
        chars_[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
}

const SpanId& SpanId::empty() {
    static const SpanId kEmpty("0000000000000000");
    return kEmpty;
}

}  // namespace skald
