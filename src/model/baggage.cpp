#include "skald/baggage.h"

#include <algorithm>

#include "platform/base/percent.h"
#include "util/log.h"

namespace skald {

namespace {

// Besides ASCII letters and digits, which percentEncode always keeps.
constexpr std::string_view kUnescaped = "-_.";
constexpr std::string_view kOwnKeyPrefix = "skald-";
constexpr size_t kLoggedKeyLength = 64;

bool hasOnlyValidEscapes(std::string_view text) {
    for (size_t i = text.find('%'); i != std::string_view::npos; i = text.find('%', i + 1)) {
        if (!platform::isPercentEscapeAt(text, i)) return false;
    }
    return true;
}

// Leaves out the part cut in two, so that no shortened value is read as whole.
std::string_view cutToLimit(std::string_view header) {
    if (header.size() <= BaggageSerialization::kMaxDecodedLength) return header;
    SKALD_LOG_DEBUG("Baggage header of %zu bytes is cut to %zu", header.size(),
                    BaggageSerialization::kMaxDecodedLength);
    if (header[BaggageSerialization::kMaxDecodedLength] == ',') {
        return header.substr(0, BaggageSerialization::kMaxDecodedLength);
    }
    const size_t lastComma = header.rfind(',', BaggageSerialization::kMaxDecodedLength - 1);
    return lastComma == std::string_view::npos ? std::string_view() : header.substr(0, lastComma);
}

void addIfSet(std::map<std::string, std::string>& entries, const char* key,
              const std::optional<std::string>& value) {
    if (value) entries[key] = *value;
}

}  // namespace

std::string BaggageSerialization::encodeDictionary(
    const std::vector<std::pair<std::string, std::string>>& entries) {
    std::vector<std::string> kept;
    size_t used = 0;
    for (const auto& [key, value] : entries) {
        const std::string encodedKey = platform::percentEncode(key, kUnescaped);
        const std::string encodedValue = platform::percentEncode(value, kUnescaped);
        if (encodedKey.empty() || encodedValue.empty()) continue;
        std::string entry = encodedKey + "=" + encodedValue;
        if (entry.size() + used > kMaxEncodedLength) continue;
        used += entry.size() + 1;
        kept.push_back(std::move(entry));
    }
    std::sort(kept.begin(), kept.end());
    std::string header;
    header.reserve(used);
    for (const std::string& entry : kept) {
        if (!header.empty()) header += ',';
        header += entry;
    }
    return header;
}

std::map<std::string, std::string> BaggageSerialization::decode(std::string_view header) {
    std::map<std::string, std::string> entries;
    std::string_view rest = cutToLimit(header);
    if (rest.empty()) return entries;
    while (true) {
        const size_t comma = rest.find(',');
        const std::string_view part = rest.substr(0, comma);
        const size_t equals = part.find('=');
        if (equals != std::string_view::npos &&
            part.find('=', equals + 1) == std::string_view::npos) {
            const std::string_view value = part.substr(equals + 1);
            if (hasOnlyValidEscapes(value)) {
                entries.insert_or_assign(std::string(part.substr(0, equals)),
                                         platform::percentDecode(value));
            } else {
                const std::string_view key = part.substr(0, std::min(equals, kLoggedKeyLength));
                SKALD_LOG_DEBUG("Baggage entry %.*s has a broken escape; skipped",
                                static_cast<int>(key.size()), key.data());
            }
        }
        if (comma == std::string_view::npos) break;
        rest.remove_prefix(comma + 1);
    }
    return entries;
}

Baggage::Baggage(Id traceId, std::string publicKey, std::optional<std::string> releaseName,
                 std::optional<std::string> environment, std::optional<std::string> transaction,
                 std::optional<std::string> userSegment, std::optional<std::string> sampleRate,
                 std::optional<std::string> sampled, std::optional<std::string> replayId)
    : traceId_(traceId),
      publicKey_(std::move(publicKey)),
      releaseName_(std::move(releaseName)),
      environment_(std::move(environment)),
      transaction_(std::move(transaction)),
      userSegment_(std::move(userSegment)),
      sampleRate_(std::move(sampleRate)),
      sampled_(std::move(sampled)),
      replayId_(std::move(replayId)) {}

std::string Baggage::toHTTPHeader(const std::map<std::string, std::string>& originalBaggage) const {
    std::map<std::string, std::string> entries = originalBaggage;
    entries["skald-trace_id"] = traceId_.skaldIdString();
    entries["skald-public_key"] = publicKey_;
    addIfSet(entries, "skald-release", releaseName_);
    addIfSet(entries, "skald-environment", environment_);
    addIfSet(entries, "skald-transaction", transaction_);
    addIfSet(entries, "skald-user_segment", userSegment_);
    addIfSet(entries, "skald-sample_rate", sampleRate_);
    addIfSet(entries, "skald-sampled", sampled_);
    addIfSet(entries, "skald-replay_id", replayId_);
    return BaggageSerialization::encodeDictionary({entries.begin(), entries.end()});
}

std::string Baggage::mergeIntoHeader(std::string_view incomingHeader, const Baggage& baggage) {
    std::map<std::string, std::string> foreign = BaggageSerialization::decode(incomingHeader);
    std::erase_if(foreign,
                  [](const auto& entry) { return entry.first.starts_with(kOwnKeyPrefix); });
    return baggage.toHTTPHeader(foreign);
}

}  // namespace skald
