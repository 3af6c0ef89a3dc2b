#pragma once

#include <optional>
#include <string>

namespace vantorel {

/// The URL's text, or "Unknown absolute string" when there is none; every
/// URL shown in a breadcrumb goes through it.
std::string debugAbsoluteString(const std::optional<std::string>& url);

/// "file://" and the path, percent-encoded where a URL needs it.
std::string fileUrlForPath(const std::string& path);

/// A query item's value with everything but unreserved characters percent-encoded.
std::string percentEncodeQueryValue(const std::string& value);

/// The extension of the URL's path (without query and fragment), as sent.
std::string pathExtensionOfUrl(const std::string& url);

}  // namespace vantorel
