#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace skald::platform {

/// Whether `text` holds an escape at `index`: '%' and two hexadecimal digits.
bool isPercentEscapeAt(std::string_view text, size_t index);

/// Replaces every escape by its byte. A '%' that starts no escape ("%", "%4",
/// "%zz") stays as it is, and so does '+': only escapes stand for bytes.
std::string percentDecode(std::string_view text);

/// Escapes every byte but ASCII letters and digits and the bytes of `keep`
/// as '%' and two upper-case digits.
std::string percentEncode(std::string_view text, std::string_view keep);

}  // namespace skald::platform
