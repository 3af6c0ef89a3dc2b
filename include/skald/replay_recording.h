#pragma once

#include "skald/json.h"

namespace skald {

/// A session-replay recording as it travels in a "replay_video" item. The
/// replay feature is not built yet: this minimal form carries the recording's
/// header object and its body, a JSON array of recording events.
struct ReplayRecording {
    Json header = Json::object();
    Json body = Json::array();
};

}  // namespace skald
