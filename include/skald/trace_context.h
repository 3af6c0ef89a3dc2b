#pragma once

#include <optional>
#include <string>

#include "skald/baggage.h"
#include "skald/id.h"
#include "skald/json.h"

namespace skald {

/// The dynamic sampling context of a trace, carried in envelope headers as
/// "trace". Immutable.
class TraceContext {
  public:
    TraceContext(Id traceId, std::string publicKey, std::optional<std::string> releaseName = {},
                 std::optional<std::string> environment = {},
                 std::optional<std::string> transaction = {},
                 std::optional<std::string> userSegment = {},
                 std::optional<std::string> sampleRate = {},
                 std::optional<std::string> sampled = {}, std::optional<std::string> replayId = {});

    /// Needs "trace_id" (a parseable id) and "public_key" (a string); gives
    /// nothing otherwise. The user segment comes from "user" → "segment" when
    /// that is a string, else from "user_segment". Optional values of the wrong
    /// type are left out.
    static std::optional<TraceContext> fromDict(const Json& dictionary);

    const Id& traceId() const { return traceId_; }
    const std::string& publicKey() const { return publicKey_; }
    const std::optional<std::string>& releaseName() const { return releaseName_; }
    const std::optional<std::string>& environment() const { return environment_; }
    const std::optional<std::string>& transaction() const { return transaction_; }
    const std::optional<std::string>& userSegment() const { return userSegment_; }
    const std::optional<std::string>& sampleRate() const { return sampleRate_; }
    const std::optional<std::string>& sampled() const { return sampled_; }
    const std::optional<std::string>& replayId() const { return replayId_; }

    Json serialize() const;
    /// The same values for a "baggage" header.
    Baggage toBaggage() const;

    bool operator==(const TraceContext& other) const = default;

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
