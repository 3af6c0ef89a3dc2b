#include "skald/id.h"

#include <mutex>

#include "platform/base/fast_random.h"
#include "platform/base/hex.h"

namespace skald {

namespace {

std::mutex& emptyMutex() {
    static std::mutex mutex;
    return mutex;
}

Id& emptyStorage() {
    static Id empty(Id::Uuid{});
    return empty;
}

// Seeded from the kernel once per thread (and again after a fork); a system
// call per id would cost more than the rest of a transaction.
void fillRandom(Id::Uuid& bytes) {
    for (size_t i = 0; i < bytes.size(); i += 8) {
        uint64_t bits = platform::fastRandom64();
        for (size_t j = 0; j < 8; ++j, bits >>= 8) bytes[i + j] = static_cast<uint8_t>(bits);
    }
}

}  // namespace

Id::Id() {
    fillRandom(uuid_);
    uuid_[6] = static_cast<uint8_t>((uuid_[6] & 0x0f) | 0x40);  // version 4
    uuid_[8] = static_cast<uint8_t>((uuid_[8] & 0x3f) | 0x80);  // RFC 4122 variant
}

std::optional<Id> Id::parse(std::string_view text) {
    // Hex digits sit everywhere but at the dash positions 8, 13, 18 and 23.
    const bool dashed = text.size() == 36;
    if (!dashed && text.size() != 32) return std::nullopt;
    if (dashed && (text[8] != '-' || text[13] != '-' || text[18] != '-' || text[23] != '-')) {
        return std::nullopt;
    }
    Uuid bytes{};
    size_t digit = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (dashed && (i == 8 || i == 13 || i == 18 || i == 23)) continue;
        const int value = platform::hexDigitValue(text[i]);
        if (value < 0) return std::nullopt;
        bytes[digit / 2] =
            static_cast<uint8_t>(bytes[digit / 2] | (digit % 2 == 0 ? value << 4 : value));
        ++digit;
    }
    return Id(bytes);
}

Id Id::fromUuidString(std::string_view text) {
    if (auto id = parse(text)) return *id;
    return empty();
}

Id Id::empty() {
    std::lock_guard guard(emptyMutex());
    return emptyStorage();
}

void Id::setEmpty(const Id& id) {
    std::lock_guard guard(emptyMutex());
    emptyStorage() = id;
}

std::string Id::skaldIdString() const {
    return platform::hexEncode(uuid_.data(), uuid_.size());
}

std::string Id::uuidString() const {
    return platform::uuidText(uuid_.data(), platform::HexCase::Upper);
}

}  // namespace skald

size_t std::hash<skald::Id>::operator()(const skald::Id& id) const noexcept {
    // FNV-1a over the 16 bytes.
    uint64_t hash = 1469598103934665603ull;
    for (uint8_t byte : id.uuid()) {
        hash ^= byte;
        hash *= 1099511628211ull;
    }
    return static_cast<size_t>(hash);
}
