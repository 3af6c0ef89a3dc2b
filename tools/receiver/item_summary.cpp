#include "tools/receiver/item_summary.h"

#include <set>

#include "tools/receiver/statsd_lines.h"
#include "util/iso8601.h"

namespace skald::tools {

namespace {

constexpr size_t kTitleLimit = 300;

const Json* member(const Json* object, const char* key) {
    if (!object || !object->is_object()) return nullptr;
    const auto found = object->find(key);
    return found == object->end() ? nullptr : &*found;
}

std::string stringAt(const Json* object, const char* key) {
    const Json* value = member(object, key);
    return value && value->is_string() ? value->get<std::string>() : std::string();
}

/// The exception the event is about: the last of "exception" → "values".
const Json* mainException(const Json& event) {
    const Json* values = member(member(&event, "exception"), "values");
    if (!values || !values->is_array() || values->empty() || !values->back().is_object()) {
        return nullptr;
    }
    return &values->back();
}

std::string eventTitle(const Json& event) {
    if (const Json* exception = mainException(event)) {
        const std::string type = stringAt(exception, "type");
        const std::string value = stringAt(exception, "value");
        if (!type.empty() && !value.empty()) return type + ": " + value;
        if (!type.empty() || !value.empty()) return type + value;
    }
    const Json* message = member(&event, "message");
    std::string text = stringAt(message, "formatted");
    if (text.empty()) text = stringAt(message, "message");
    if (text.empty() && message && message->is_string()) text = message->get<std::string>();
    if (!text.empty()) return text;
    return "(no message)";
}

std::string sessionTitle(const Json& session) {
    std::string title = "Session " + stringAt(&session, "sid") + " " + stringAt(&session, "status");
    if (const Json* seq = member(&session, "seq"); seq && seq->is_number()) {
        title += " (update " + seq->dump() + ")";
    }
    return title;
}

std::string clientReportTitle(const Json& report) {
    std::string title;
    const Json* events = member(&report, "discarded_events");
    if (events && events->is_array()) {
        for (const auto& entry : *events) {
            if (!entry.is_object()) continue;
            if (!title.empty()) title += ", ";
            const Json* quantity = member(&entry, "quantity");
            title += stringAt(&entry, "category") + "/" + stringAt(&entry, "reason") + " ×" +
                     (quantity && quantity->is_number() ? quantity->dump() : "?");
        }
    }
    return title.empty() ? "Client report (nothing discarded)" : "Discarded: " + title;
}

std::string metricsTitle(std::string_view text) {
    std::set<std::string> names;
    for (const auto& line : parseStatsd(text, 1).lines) names.insert(line.name);
    std::string title = std::to_string(names.size()) + (names.size() == 1 ? " metric" : " metrics");
    const char* separator = ": ";
    for (const auto& name : names) {
        title += separator + name;
        separator = ", ";
    }
    return title;
}

/// Seconds since 1970 from a number or an ISO 8601 text.
Json timeOf(const Json* value) {
    if (!value) return nullptr;
    if (value->is_number()) return *value;
    if (value->is_string()) {
        if (const auto date = parseIso8601Timestamp(value->get<std::string>())) {
            return std::chrono::duration<double>(date->time_since_epoch()).count();
        }
    }
    return nullptr;
}

}  // namespace

bool isCrashEvent(const Json& event) {
    if (stringAt(&event, "level") == "fatal") return true;
    const Json* values = member(member(&event, "exception"), "values");
    if (!values || !values->is_array()) return false;
    for (const auto& exception : *values) {
        const Json* handled = member(member(&exception, "mechanism"), "handled");
        if (handled && handled->is_boolean() && !handled->get<bool>()) return true;
    }
    return false;
}

std::string itemKind(const std::string& itemType, const Json* payload) {
    if (itemType == "event") return payload && isCrashEvent(*payload) ? "crash" : "event";
    if (itemType == "profile" || itemType == "profile_chunk") return "profile";
    if (itemType == "statsd") return "metrics";
    if (itemType == "client_report") return "client report";
    return itemType;
}

Json itemSummary(const std::string& kind, const Json* payload, std::string_view text) {
    Json summary = Json::object();
    std::string title;
    if (kind == "event" || kind == "crash") {
        if (payload) title = eventTitle(*payload);
        summary["level"] = stringAt(payload, "level");
        summary["time"] = timeOf(member(payload, "timestamp"));
    } else if (kind == "transaction") {
        title = stringAt(payload, "transaction");
        const std::string op = stringAt(member(member(payload, "contexts"), "trace"), "op");
        if (!op.empty()) title += " (" + op + ")";
        summary["time"] = timeOf(member(payload, "start_timestamp"));
    } else if (kind == "session") {
        if (payload) title = sessionTitle(*payload);
        summary["time"] = timeOf(member(payload, "timestamp"));
        const Json* attrs = member(payload, "attrs");
        summary["release"] = stringAt(attrs, "release");
        summary["environment"] = stringAt(attrs, "environment");
    } else if (kind == "profile") {
        const std::string name = stringAt(member(payload, "transaction"), "name");
        // Continuous profiles come in chunks that belong to no transaction.
        title =
            name.empty() ? "Profile chunk " + stringAt(payload, "chunk_id") : "Profile of " + name;
        const Json* samples = member(member(payload, "profile"), "samples");
        if (samples && samples->is_array()) {
            title += " (" + std::to_string(samples->size()) + " samples)";
        }
        summary["time"] = timeOf(member(payload, "timestamp"));
    } else if (kind == "metrics") {
        title = metricsTitle(text);
    } else if (kind == "client report") {
        if (payload) title = clientReportTitle(*payload);
        summary["time"] = timeOf(member(payload, "timestamp"));
    }
    if (kind != "session") {
        summary["release"] = stringAt(payload, "release");
        summary["environment"] = stringAt(payload, "environment");
    }
    summary["event_id"] = stringAt(payload, "event_id");
    summary["title"] = shortened(title, kTitleLimit);
    return summary;
}

size_t jsonNestingDepth(std::string_view text) {
    size_t depth = 0;
    size_t deepest = 0;
    bool inString = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (c == '\\') {
                ++i;
            } else if (c == '"') {
                inString = false;
            }
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            deepest = std::max(deepest, ++depth);
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return deepest;
}

std::string shortened(std::string_view text, size_t limit) {
    if (text.size() <= limit) return std::string(text);
    size_t end = limit;
    // Step back over continuation bytes to the start of the cut sequence.
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    return std::string(text.substr(0, end)) + "…";
}

}  // namespace skald::tools
