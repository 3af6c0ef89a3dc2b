#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "skald/json.h"

namespace skald {

inline constexpr const char* kErrorDomain = "SkaldErrorDomain";
/// Errors of the operating system: the code is the system's error number (errno).
inline constexpr const char* kPosixErrorDomain = "NSPOSIXErrorDomain";

/// Codes of errors of kErrorDomain.
enum class ErrorCode : int64_t {
    UnknownError = 1,
    InvalidDsn = 100,
    CompressionError = 103,
    CouldNotCreateDirectory = 108,
};

/// An error handed to callers: nothing is thrown across the SDK's interfaces.
struct Error {
    std::string domain;
    int64_t code = 0;
    std::string localizedDescription;
    std::optional<std::string> localizedFailureReason;
    std::optional<std::string> localizedRecoverySuggestion;
    /// Path of the file the failure concerns, when there is one.
    std::optional<std::string> filePath;
    /// Further details; a JSON object (may be empty).
    Json userInfo = Json::object();
    /// The error that caused this one, if any.
    std::shared_ptr<const Error> underlyingError;

    Error() = default;
    Error(std::string domain, int64_t code, std::string description);

    /// An error of the SDK's own domain.
    static Error skald(ErrorCode code, std::string description);
    /// The system error `errnoValue`, described as "<what>: <system text>",
    /// or by the system text alone when `what` is empty.
    static Error posix(int errnoValue, const std::string& what = {});

    /// "Error Domain=<domain> Code=<code> "<description>"".
    std::string description() const;

    bool operator==(const Error& other) const;
};

}  // namespace skald
