#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "skald/id.h"

namespace skald {

/// The text of a "baggage" HTTP header: comma-separated key=value entries.
class BaggageSerialization {
  public:
    /// At most this many characters of entries are written.
    static constexpr size_t kMaxEncodedLength = 8192;
    /// Longer incoming headers are cut to this before they are read.
    static constexpr size_t kMaxDecodedLength = 64 * 1024;

    /// Percent-encodes key and value of each entry (all but ASCII letters,
    /// digits, '-', '_' and '.') and writes them as "key=value", sorted and
    /// joined by ','. Entries whose key or value is empty are left out. The
    /// entries are taken in the order given, which is why this is a list and
    /// not a map: each is kept only while it still fits in
    /// kMaxEncodedLength, so an early entry wins over a later one, though a
    /// later, shorter entry may still fit after a long one was left out.
    static std::string encodeDictionary(
        const std::vector<std::pair<std::string, std::string>>& entries);

    /// The entries of a header. Values are percent-decoded, keys are kept as
    /// written; a part that is not exactly one key '=' one value, or whose
    /// value holds a '%' that starts no escape, is skipped. A later key
    /// replaces an earlier one. Nothing is trimmed. Past kMaxDecodedLength
    /// the header is cut back to its last whole part.
    static std::map<std::string, std::string> decode(std::string_view header);
};

/// The trace's values that travel in the "baggage" header under "skald-"
/// keys, beside the entries of other vendors.
class Baggage {
  public:
    static constexpr const char* kHeaderName = "baggage";

    Baggage(Id traceId, std::string publicKey, std::optional<std::string> releaseName,
            std::optional<std::string> environment, std::optional<std::string> transaction,
            std::optional<std::string> userSegment, std::optional<std::string> sampleRate,
            std::optional<std::string> sampled, std::optional<std::string> replayId);

    const Id& traceId() const { return traceId_; }
    const std::string& publicKey() const { return publicKey_; }
    const std::optional<std::string>& releaseName() const { return releaseName_; }
    const std::optional<std::string>& environment() const { return environment_; }
    const std::optional<std::string>& transaction() const { return transaction_; }
    const std::optional<std::string>& userSegment() const { return userSegment_; }
    const std::optional<std::string>& sampleRate() const { return sampleRate_; }
    const std::optional<std::string>& sampled() const { return sampled_; }
    const std::optional<std::string>& replayId() const { return replayId_; }

    void setSampled(std::optional<std::string> sampled) { sampled_ = std::move(sampled); }
    void setReplayId(std::optional<std::string> replayId) { replayId_ = std::move(replayId); }

    /// The header's text: `originalBaggage` with this baggage's entries
    /// written over it ("skald-trace_id", "skald-public_key", and those of
    /// the optional values that are set). Entries are walked in key order
    /// for the size limit of BaggageSerialization::encodeDictionary.
    std::string toHTTPHeader(const std::map<std::string, std::string>& originalBaggage = {}) const;

    /// For a host that forwards the baggage it received: every entry of
    /// `incomingHeader` but the "skald-" ones, which belong to the caller's
    /// trace, then this baggage's entries.
    static std::string mergeIntoHeader(std::string_view incomingHeader, const Baggage& baggage);

  private:
    Id traceId_;
    std::string publicKey_;
    std::optional<std::string> releaseName_;
    std::optional<std::string> environment_;
    std::optional<std::string> transaction_;
    std::optional<std::string> userSegment_;
    std::optional<std::string> sampleRate_;
    std::optional<std::string> sampled_;
    std::optional<std::string> replayId_;
};

}  // namespace skald
