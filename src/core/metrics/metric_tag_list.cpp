#include "core/metrics/metric_tag_list.h"

#include <cstring>

namespace skald {

MetricTagList::MetricTagList(const MetricTags& tags, const MetricTags& defaults) {
    auto own = tags.begin();
    auto other = defaults.begin();
    while (own != tags.end() || other != defaults.end()) {
        if (other == defaults.end() || (own != tags.end() && own->first <= other->first)) {
            if (other != defaults.end() && own->first == other->first) ++other;
            push(own->first, own->second);
            ++own;
        } else {
            push(other->first, other->second);
            ++other;
        }
    }
}

void MetricTagList::push(const std::string& key, const std::string& value) {
    if (size_ < kInline) {
        inline_[size_++] = Tag{&key, &value};
        return;
    }
    if (heap_.empty()) heap_.assign(inline_.begin(), inline_.end());
    heap_.push_back(Tag{&key, &value});
    ++size_;
}

MetricTags MetricTagList::toMap() const {
    MetricTags map;
    for (const Tag& tag : *this) map.emplace_hint(map.end(), *tag.key, *tag.value);
    return map;
}

char* writeLengthPrefixed(char* out, std::string_view text) {
    const uint32_t length = static_cast<uint32_t>(text.size());
    std::memcpy(out, &length, sizeof length);
    std::memcpy(out + sizeof length, text.data(), text.size());
    return out + sizeof length + text.size();
}

size_t MetricTagList::keySize() const {
    size_t size = 0;
    for (const Tag& tag : *this) size += lengthPrefixedSize(*tag.key) + lengthPrefixedSize(*tag.value);
    return size;
}

char* MetricTagList::writeKey(char* out) const {
    for (const Tag& tag : *this) {
        out = writeLengthPrefixed(out, *tag.key);
        out = writeLengthPrefixed(out, *tag.value);
    }
    return out;
}

std::string MetricTagList::key() const {
    std::string key(keySize(), '\0');
    writeKey(key.data());
    return key;
}

}  // namespace skald
