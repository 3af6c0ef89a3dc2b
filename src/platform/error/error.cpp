#include "skald/error.h"

#include <cstring>

namespace skald {

Error::Error(std::string domain, int64_t code, std::string description)
    : domain(std::move(domain)), code(code), localizedDescription(std::move(description)) {}

Error Error::skald(ErrorCode code, std::string description) {
    return Error(kErrorDomain, static_cast<int64_t>(code), std::move(description));
}

Error Error::posix(int errnoValue, const std::string& what) {
    const std::string text = std::strerror(errnoValue);
    return Error(kPosixErrorDomain, errnoValue, what.empty() ? text : what + ": " + text);
}

std::string Error::description() const {
    return "Error Domain=" + domain + " Code=" + std::to_string(code) + " \"" +
           localizedDescription + "\"";
}

bool Error::operator==(const Error& other) const {
    const bool sameUnderlying =
        (underlyingError == nullptr) == (other.underlyingError == nullptr) &&
        (underlyingError == nullptr || *underlyingError == *other.underlyingError);
    return domain == other.domain && code == other.code &&
           localizedDescription == other.localizedDescription &&
           localizedFailureReason == other.localizedFailureReason &&
           localizedRecoverySuggestion == other.localizedRecoverySuggestion &&
           filePath == other.filePath && userInfo == other.userInfo && sameUnderlying;
}

}  // namespace skald
