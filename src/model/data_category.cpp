#include "model/data_category.h"

#include <array>

namespace skald {

namespace {

constexpr std::array<const char*, 13> kCategoryNames = {"",
                                                        "default",
                                                        "error",
                                                        "session",
                                                        "transaction",
                                                        "attachment",
                                                        "user_report",
                                                        "profile",
                                                        "metric_bucket",
                                                        "replay",
                                                        "profile_chunk",
                                                        "span",
                                                        "unknown"};

constexpr std::array<const char*, 8> kReasonNames = {
    "before_send",    "event_processor", "sample_rate",       "network_error",
    "queue_overflow", "cache_overflow",  "ratelimit_backoff", "insufficient_data"};

}  // namespace

DataCategory dataCategoryForEnvelopeItemType(std::string_view itemType) {
    if (itemType == "event") return DataCategory::Error;
    if (itemType == "session") return DataCategory::Session;
    if (itemType == "transaction") return DataCategory::Transaction;
    if (itemType == "attachment") return DataCategory::Attachment;
    if (itemType == "profile") return DataCategory::Profile;
    if (itemType == "profile_chunk") return DataCategory::ProfileChunk;
    if (itemType == "statsd") return DataCategory::MetricBucket;
    if (itemType == "replay_video") return DataCategory::Replay;
    return DataCategory::Default;
}

DataCategory dataCategoryForString(std::string_view name) {
    for (size_t i = 0; i < kCategoryNames.size(); ++i) {
        if (name == kCategoryNames[i]) return static_cast<DataCategory>(i);
    }
    return DataCategory::Unknown;
}

DataCategory dataCategoryForNumber(uint64_t value) {
    return value < kCategoryNames.size() ? static_cast<DataCategory>(value) : DataCategory::Unknown;
}

const char* nameForDataCategory(DataCategory category) {
    const auto index = static_cast<size_t>(category);
    return index < kCategoryNames.size() ? kCategoryNames[index] : "";
}

const char* nameForDiscardReason(DiscardReason reason) {
    const auto index = static_cast<size_t>(reason);
    return index < kReasonNames.size() ? kReasonNames[index] : kReasonNames[0];
}

}  // namespace skald
