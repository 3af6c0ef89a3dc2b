#include "skald/trace_header.h"

#include "platform/base/utf8.h"
#include "platform/system/hex_digits.h"
#include "util/log.h"

namespace skald {

namespace {

constexpr size_t kTraceIdLength = 32;
constexpr size_t kSpanIdLength = 16;
constexpr size_t kUndecidedLength = kTraceIdLength + 1 + kSpanIdLength;
constexpr size_t kDecidedLength = kUndecidedLength + 2;
// Enough of a bad header to recognise it without flooding the log.
constexpr size_t kLoggedCodePoints = 64;

bool isAsciiWhitespace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string_view trimAsciiWhitespace(std::string_view text) {
    while (!text.empty() && isAsciiWhitespace(text.front())) text.remove_prefix(1);
    while (!text.empty() && isAsciiWhitespace(text.back())) text.remove_suffix(1);
    return text;
}

bool isAllHex(std::string_view text) {
    for (const char c : text) {
        if (platform::hexDigitValue(c) < 0) return false;
    }
    return true;
}

std::optional<TraceHeader> invalid(std::string_view text) {
    const size_t shown = platform::utf8PrefixLength(text, kLoggedCodePoints);
    SKALD_LOG_DEBUG("Invalid skald-trace header: %.*s%s", static_cast<int>(shown), text.data(),
                    shown < text.size() ? "..." : "");
    return std::nullopt;
}

}  // namespace

std::string TraceHeader::value() const {
    std::string text = traceId_.skaldIdString();
    text += '-';
    const std::string spanId = spanId_.value();
    text += spanId;
    switch (sampled_) {
        case SampleDecision::Yes:
            text += "-1";
            break;
        case SampleDecision::No:
            text += "-0";
            break;
        case SampleDecision::Undecided:
            break;
    }
    return text;
}

std::optional<TraceHeader> TraceHeader::parse(std::string_view text) {
    const std::string_view header = trimAsciiWhitespace(text);
    if (header.size() != kUndecidedLength && header.size() != kDecidedLength) {
        return invalid(text);
    }
    const std::string_view traceIdText = header.substr(0, kTraceIdLength);
    const std::string_view spanIdText = header.substr(kTraceIdLength + 1, kSpanIdLength);
    if (!isAllHex(traceIdText) || header[kTraceIdLength] != '-' || !isAllHex(spanIdText)) {
        return invalid(text);
    }
    SampleDecision sampled = SampleDecision::Undecided;
    if (header.size() == kDecidedLength) {
        if (header[kUndecidedLength] != '-') return invalid(text);
        const char decision = header[kUndecidedLength + 1];
        if (decision == '1') {
            sampled = SampleDecision::Yes;
        } else if (decision == '0') {
            sampled = SampleDecision::No;
        } else {
            return invalid(text);
        }
    }
    const std::optional<Id> traceId = Id::parse(traceIdText);
    if (!traceId) return invalid(text);
    return TraceHeader(*traceId, SpanId(spanIdText), sampled);
}

}  // namespace skald
