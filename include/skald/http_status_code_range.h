#pragma once

namespace skald {

/// A range of HTTP status codes, both ends included.
struct HttpStatusCodeRange {
    int min = 0;
    int max = 0;

    constexpr HttpStatusCodeRange(int min, int max) : min(min), max(max) {}
    constexpr explicit HttpStatusCodeRange(int statusCode) : min(statusCode), max(statusCode) {}

    constexpr bool isInRange(int statusCode) const {
        return statusCode >= min && statusCode <= max;
    }

    constexpr bool operator==(const HttpStatusCodeRange&) const = default;
};

}  // namespace skald
