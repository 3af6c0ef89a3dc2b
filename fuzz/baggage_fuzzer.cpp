// Decodes arbitrary bytes as a "baggage" header, encodes what was read and
// decodes that again. Entries the encoder writes unchanged (a key of letters,
// digits, '-', '_' and '.', and a value) must come back the same; only the
// size limit may leave some out, and then only when they do not all fit.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "skald/baggage.h"

namespace {

bool isPlainByte(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_' || c == '.';
}

bool isPlainKey(const std::string& key) {
    if (key.empty()) return false;
    for (const char c : key) {
        if (!isPlainByte(c)) return false;
    }
    return true;
}

size_t encodedLength(const std::string& text) {
    size_t length = 0;
    for (const char c : text) length += isPlainByte(c) ? 1 : 3;
    return length;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto first = skald::BaggageSerialization::decode(text);

    std::map<std::string, std::string> plain;
    // The room all entries the encoder writes would take, separators included.
    size_t needed = 0;
    for (const auto& [key, value] : first) {
        if (key.empty() || value.empty()) continue;
        needed += encodedLength(key) + 1 + encodedLength(value) + 1;
        if (isPlainKey(key)) plain.emplace(key, value);
    }

    const std::string header =
        skald::BaggageSerialization::encodeDictionary({first.begin(), first.end()});
    if (header.size() > skald::BaggageSerialization::kMaxEncodedLength) __builtin_trap();
    const auto second = skald::BaggageSerialization::decode(header);

    size_t plainSeen = 0;
    for (const auto& [key, value] : second) {
        if (!isPlainKey(key)) continue;
        const auto it = plain.find(key);
        if (it == plain.end() || it->second != value) __builtin_trap();
        ++plainSeen;
    }
    // The last entry needs no separator after it.
    if (needed <= skald::BaggageSerialization::kMaxEncodedLength + 1 && plainSeen != plain.size()) {
        __builtin_trap();
    }
    return 0;
}
