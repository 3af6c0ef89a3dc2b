#pragma once

#include <string_view>

namespace skald {

/// Hands diagnostic payloads in their JSON form (one payload object or an
/// array of them; see skald/platform/diagnostic_payload.h) to the process's
/// metric manager. With `enableMetricKit` on, each diagnostic becomes one or
/// more events. False, with a log line, when the text is not such JSON;
/// nothing of it is delivered then.
bool deliverDiagnosticPayloadsJson(std::string_view json);

}  // namespace skald
