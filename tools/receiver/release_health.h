#pragma once

#include <cstdint>
#include <vector>

#include "skald/json.h"

namespace skald::tools {

/// One session update as it arrived: the receiver's item id and the session JSON.
struct SessionUpdate {
    uint64_t itemId = 0;
    Json session;
};

/// Groups updates (in arrival order) by "sid", each group's updates ordered by
/// "seq", newest session first, and counts per release: sessions, crashed,
/// abnormal, errored (errors but no crash) and the crash-free share.
/// Updates without a text "sid" are left out and counted as "malformed".
Json sessionOverview(const std::vector<SessionUpdate>& updates);

}  // namespace skald::tools
