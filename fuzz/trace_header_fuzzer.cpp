// Feeds arbitrary text to the "skald-trace" header parser. A header it
// accepts must be the canonical text of what it read, up to letter case and
// surrounding whitespace, and must read back the same.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "skald/trace_header.h"

namespace {

bool isAsciiWhitespace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto parsed = skald::TraceHeader::parse(text);
    if (!parsed) return 0;

    while (!text.empty() && isAsciiWhitespace(text.front())) text.remove_prefix(1);
    while (!text.empty() && isAsciiWhitespace(text.back())) text.remove_suffix(1);
    const std::string value = parsed->value();
    if (value.size() != text.size()) __builtin_trap();
    for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] != lower(text[i])) __builtin_trap();
    }
    const auto again = skald::TraceHeader::parse(value);
    if (!again || !(*again == *parsed)) __builtin_trap();
    return 0;
}
