#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/metrics/metric.h"

namespace skald {

/// The caller's tags merged with the default tags (the caller's value wins
/// on a shared key), sorted by key, as references into both maps: recording
/// a value copies no tag unless it starts a new series.
class MetricTagList {
  public:
    struct Tag {
        const std::string* key;
        const std::string* value;
    };

    MetricTagList(const MetricTags& tags, const MetricTags& defaults);
    MetricTagList(const MetricTagList&) = delete;
    MetricTagList& operator=(const MetricTagList&) = delete;

    const Tag* begin() const { return data(); }
    const Tag* end() const { return data() + size_; }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

    MetricTags toMap() const;
    /// Each key and value, length-prefixed so that no two tag sets give the
    /// same text.
    std::string key() const;
    /// The room `writeKey` needs.
    size_t keySize() const;
    /// Writes `key()` at `out`; gives its end.
    char* writeKey(char* out) const;

  private:
    const Tag* data() const { return heap_.empty() ? inline_.data() : heap_.data(); }
    void push(const std::string& key, const std::string& value);

    static constexpr size_t kInline = 12;
    std::array<Tag, kInline> inline_{};
    std::vector<Tag> heap_;
    size_t size_ = 0;
};

/// The room `writeLengthPrefixed` needs for `text`.
inline size_t lengthPrefixedSize(std::string_view text) {
    return sizeof(uint32_t) + text.size();
}
/// Writes the length of `text` and then `text` at `out`; gives the end.
char* writeLengthPrefixed(char* out, std::string_view text);

}  // namespace skald
