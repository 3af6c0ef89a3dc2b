#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "skald/envelope.h"
#include "skald/json.h"
#include "skald/level.h"

namespace skald {

class AppState;
class Session;

/// Bytes of envelopes and the records stored beside them, and back. Nothing
/// here throws: failures are logged and give an absent result.
class Serialization {
  public:
    /// Compact JSON of an object or array; nothing for anything else or for
    /// values JSON cannot carry.
    static std::optional<std::string> dataWithJSONObject(const Json& object);

    static std::optional<std::string> dataWithEnvelope(const Envelope& envelope);
    /// Parses possibly truncated or garbage bytes; never reads past them.
    static std::shared_ptr<Envelope> envelopeWithData(std::string_view data);

    static std::optional<std::string> dataWithSession(const Session& session);
    /// Nothing for bad JSON, a bad session or one without a release name.
    static std::shared_ptr<Session> sessionWithData(std::string_view data);
    static std::shared_ptr<AppState> appStateWithData(std::string_view data);

    /// The object in the bytes; nothing when they do not hold a JSON object.
    static std::optional<Json> deserializeDictionaryFromJsonData(std::string_view data);

    /// The level named under "level" of an event's JSON; error when it is
    /// missing, unknown or the bytes are not JSON.
    static Level levelFromData(std::string_view eventData);

    /// The recording's header as JSON, "\n", then the recording's body.
    static std::optional<std::string> dataWithReplayRecording(const ReplayRecording& recording);
};

}  // namespace skald
