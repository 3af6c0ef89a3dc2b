#pragma once

namespace skald::platform {

/// The reason phrase of an HTTP status code in lower case ("not found");
/// "server error" and the like by class for codes without their own.
const char* localizedStringForStatusCode(int statusCode);

}  // namespace skald::platform
