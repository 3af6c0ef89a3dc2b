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

void appendLengthPrefixed(std::string& out, const std::string& text) {
    const uint32_t length = static_cast<uint32_t>(text.size());
    char bytes[sizeof length];
    std::memcpy(bytes, &length, sizeof length);
    out.append(bytes, sizeof bytes);
    out.append(text);
}

void MetricTagList::appendKey(std::string& out) const {
    for (const Tag& tag : *this) {
        appendLengthPrefixed(out, *tag.key);
        appendLengthPrefixed(out, *tag.value);
    }
}

}  // namespace skald
