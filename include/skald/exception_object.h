#pragma once

#include <exception>
#include <string>

#include "skald/json.h"

namespace skald {

/// An exception as the SDK reports it: a name (its type), the reason and
/// further details. Made from any `std::exception`, or filled by the host for
/// exceptions of its own kind.
struct ExceptionObject {
    std::string name;
    std::string reason;
    /// A JSON object; reported under the "user_info" context when not empty.
    Json userInfo = Json::object();

    /// The readable (demangled) dynamic type as the name and `what()` as the reason.
    static ExceptionObject fromStdException(const std::exception& exception);
};

}  // namespace skald
