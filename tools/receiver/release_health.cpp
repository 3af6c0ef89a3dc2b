#include "tools/receiver/release_health.h"

#include <algorithm>
#include <map>
#include <string>

namespace skald::tools {

namespace {

std::string text(const Json& object, const char* key) {
    const auto found = object.find(key);
    return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
}

double number(const Json& object, const char* key) {
    const auto found = object.find(key);
    return found != object.end() && found->is_number() ? found->get<double>() : 0;
}

struct Group {
    size_t firstArrival = 0;
    size_t lastArrival = 0;
    std::vector<std::pair<size_t, const SessionUpdate*>> updates;  // arrival index, update
};

struct ReleaseCounts {
    size_t sessions = 0, crashed = 0, abnormal = 0, errored = 0;
};

}  // namespace

Json sessionOverview(const std::vector<SessionUpdate>& updates) {
    std::map<std::string, Group> groups;
    size_t malformed = 0;
    for (size_t i = 0; i < updates.size(); ++i) {
        const Json& session = updates[i].session;
        const std::string sid = session.is_object() ? text(session, "sid") : std::string();
        if (sid.empty()) {
            ++malformed;
            continue;
        }
        auto [found, added] = groups.try_emplace(sid);
        if (added) found->second.firstArrival = i;
        found->second.lastArrival = i;
        found->second.updates.emplace_back(i, &updates[i]);
    }

    std::vector<std::pair<const std::string*, Group*>> ordered;
    for (auto& [sid, group] : groups) ordered.emplace_back(&sid, &group);
    std::sort(ordered.begin(), ordered.end(), [](const auto& a, const auto& b) {
        return a.second->lastArrival > b.second->lastArrival;
    });

    Json sessions = Json::array();
    std::map<std::string, ReleaseCounts> releases;
    for (auto& [sid, group] : ordered) {
        // Updates can arrive out of order (a retried envelope): "seq" says which came later.
        std::stable_sort(
            group->updates.begin(), group->updates.end(), [](const auto& a, const auto& b) {
                return number(a.second->session, "seq") < number(b.second->session, "seq");
            });
        const Json& latest = group->updates.back().second->session;
        std::string release, environment;
        bool crashed = false;
        double errors = 0;
        Json list = Json::array();
        for (const auto& [arrival, update] : group->updates) {
            const Json& session = update->session;
            const auto attrs = session.find("attrs");
            if (attrs != session.end() && attrs->is_object()) {
                if (const auto r = text(*attrs, "release"); !r.empty()) release = r;
                if (const auto e = text(*attrs, "environment"); !e.empty()) environment = e;
            }
            crashed = crashed || text(session, "status") == "crashed";
            errors = std::max(errors, number(session, "errors"));
            Json entry = {{"id", update->itemId},
                          {"seq", number(session, "seq")},
                          {"status", text(session, "status")},
                          {"errors", number(session, "errors")},
                          {"init", session.value("init", false) == true},
                          {"started", text(session, "started")},
                          {"timestamp", text(session, "timestamp")}};
            if (const auto d = session.find("duration"); d != session.end() && d->is_number()) {
                entry["duration"] = *d;
            }
            list.push_back(std::move(entry));
        }
        const std::string status = crashed ? "crashed" : text(latest, "status");
        sessions.push_back({{"sid", *sid},
                            {"did", text(latest, "did")},
                            {"release", release},
                            {"environment", environment},
                            {"started", text(latest, "started")},
                            {"status", status},
                            {"errors", errors},
                            {"updates", std::move(list)}});
        auto& counts = releases[release];
        ++counts.sessions;
        if (crashed) {
            ++counts.crashed;
        } else if (status == "abnormal") {
            ++counts.abnormal;
        } else if (errors > 0) {
            ++counts.errored;
        }
    }

    Json health = Json::array();
    for (const auto& [release, counts] : releases) {
        health.push_back(
            {{"release", release},
             {"sessions", counts.sessions},
             {"crashed", counts.crashed},
             {"abnormal", counts.abnormal},
             {"errored", counts.errored},
             {"crash_free_sessions", static_cast<double>(counts.sessions - counts.crashed) /
                                         static_cast<double>(counts.sessions)}});
    }
    return {{"sessions", std::move(sessions)},
            {"releases", std::move(health)},
            {"malformed", malformed}};
}

}  // namespace skald::tools
