#include "skald/trace_context.h"

#include "util/dictionary.h"

namespace skald {

namespace {

std::optional<std::string> stringAt(const Json& object, const char* key) {
    const auto it = object.find(key);
    if (it == object.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

}  // namespace

TraceContext::TraceContext(Id traceId, std::string publicKey,
                           std::optional<std::string> releaseName,
                           std::optional<std::string> environment,
                           std::optional<std::string> transaction,
                           std::optional<std::string> userSegment,
                           std::optional<std::string> sampleRate,
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

std::optional<TraceContext> TraceContext::fromDict(const Json& dictionary) {
    if (!dictionary.is_object()) return std::nullopt;
    const auto traceIdText = stringAt(dictionary, "trace_id");
    if (!traceIdText) return std::nullopt;
    const auto traceId = Id::parse(*traceIdText);
    if (!traceId) return std::nullopt;
    auto publicKey = stringAt(dictionary, "public_key");
    if (!publicKey) return std::nullopt;

    std::optional<std::string> userSegment;
    const auto user = dictionary.find("user");
    if (user != dictionary.end() && user->is_object()) userSegment = stringAt(*user, "segment");
    if (!userSegment) userSegment = stringAt(dictionary, "user_segment");

    return TraceContext(*traceId, std::move(*publicKey), stringAt(dictionary, "release"),
                        stringAt(dictionary, "environment"), stringAt(dictionary, "transaction"),
                        std::move(userSegment), stringAt(dictionary, "sample_rate"),
                        stringAt(dictionary, "sampled"), stringAt(dictionary, "replay_id"));
}

Json TraceContext::serialize() const {
    Json result = objectWithCapacity(9);
    appendEntry(result, "trace_id", traceId_.skaldIdString());
    appendEntry(result, "public_key", publicKey_);
    appendIfSet(result, "release", releaseName_);
    appendIfSet(result, "environment", environment_);
    appendIfSet(result, "transaction", transaction_);
    appendIfSet(result, "user_segment", userSegment_);
    appendIfSet(result, "sample_rate", sampleRate_);
    appendIfSet(result, "sampled", sampled_);
    appendIfSet(result, "replay_id", replayId_);
    return result;
}

Baggage TraceContext::toBaggage() const {
    return Baggage(traceId_, publicKey_, releaseName_, environment_, transaction_, userSegment_,
                   sampleRate_, sampled_, replayId_);
}

}  // namespace skald
