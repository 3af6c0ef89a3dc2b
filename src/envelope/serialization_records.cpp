// The session and app-state parts of Serialization, kept apart so that the
// envelope framing builds without the records' dependencies.
#include "skald/serialization.h"
#include "skald/app_state.h"
#include "skald/session.h"
#include "util/json_bytes.h"
#include "util/log.h"

namespace skald {

std::optional<std::string> Serialization::dataWithSession(const Session& session) {
    return dataWithJSONObject(session.serialize());
}

std::shared_ptr<Session> Serialization::sessionWithData(std::string_view data) {
    std::string errorText;
    auto json = parseJsonBytes(data, &errorText);
    if (!json) {
        SKALD_LOG_ERROR("Failed to deserialize session data %s", errorText.c_str());
        return nullptr;
    }
    auto session = Session::fromJson(*json);
    if (!session) {
        SKALD_LOG_ERROR("Failed to initialize session from dictionary. Dropping it.");
        return nullptr;
    }
    const auto releaseName = session->releaseName();
    if (!releaseName || releaseName->empty()) {
        SKALD_LOG_ERROR("Deserialized session doesn't contain a release name. Dropping it.");
        return nullptr;
    }
    return session;
}

std::shared_ptr<AppState> Serialization::appStateWithData(std::string_view data) {
    std::string errorText;
    auto json = parseJsonBytes(data, &errorText);
    if (!json) {
        SKALD_LOG_ERROR("Failed to deserialize app state data %s", errorText.c_str());
        return nullptr;
    }
    auto state = AppState::fromJson(*json);
    if (!state) {
        SKALD_LOG_ERROR("Failed to deserialize app state data %s",
                        "a required value is missing or of the wrong type");
    }
    return state;
}

}  // namespace skald
