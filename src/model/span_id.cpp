#include "skald/span_id.h"

#include <cstdint>
#include <random>

namespace skald {

namespace {

constexpr size_t kSpanIdLength = 16;

/// Per thread, so that spans started on many threads share no state; seeded
/// from the system's entropy once per thread.
uint64_t nextRandom() {
    thread_local uint64_t state = [] {
        std::random_device device;
        return (static_cast<uint64_t>(device()) << 32) ^ device();
    }();
    // splitmix64: fast, and every 64-bit state gives a well-mixed output.
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

}  // namespace

SpanId::SpanId() {
    static constexpr char kDigits[] = "0123456789abcdef";
    uint64_t bits = nextRandom();
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
