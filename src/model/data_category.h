#pragma once

#include <cstdint>
#include <string_view>

namespace skald {

/// The kinds of data that rate limits and client reports count.
enum class DataCategory : uint32_t {
    All = 0,
    Default = 1,
    Error = 2,
    Session = 3,
    Transaction = 4,
    Attachment = 5,
    UserReport = 6,
    Profile = 7,
    MetricBucket = 8,
    Replay = 9,
    ProfileChunk = 10,
    Span = 11,
    Unknown = 12,
};

/// Why something was dropped instead of sent.
enum class DiscardReason : uint32_t {
    BeforeSend = 0,
    EventProcessor = 1,
    SampleRate = 2,
    NetworkError = 3,
    QueueOverflow = 4,
    CacheOverflow = 5,
    RateLimitBackoff = 6,
    InsufficientData = 7,
};

DataCategory dataCategoryForEnvelopeItemType(std::string_view itemType);
/// Exact names; any other text gives Unknown.
DataCategory dataCategoryForString(std::string_view name);
/// Values above 12 give Unknown.
DataCategory dataCategoryForNumber(uint64_t value);
/// "" for All and for anything out of range.
const char* nameForDataCategory(DataCategory category);

/// "before_send" for any value outside the enumeration.
const char* nameForDiscardReason(DiscardReason reason);

}  // namespace skald
