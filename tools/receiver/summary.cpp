#include <string>
#include <vector>

#include "skald/serialization.h"
#include "skald/envelope.h"
#include "tools/receiver/receiver.h"

namespace skald::tools {

namespace {

std::string text(const Json& json, const char* key) {
    const auto found = json.find(key);
    if (found == json.end()) return {};
    if (found->is_string()) return found->get<std::string>();
    // Replaces bad UTF-8 instead of throwing: the summary is for people.
    return found->dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string describeEvent(const Json& event) {
    std::string line = " event_id=" + text(event, "event_id") + " level=" + text(event, "level");
    if (const auto message = event.find("message");
        message != event.end() && message->is_object()) {
        line += " message=\"" + text(*message, "formatted") + "\"";
    }
    if (const auto exception = event.find("exception");
        exception != event.end() && exception->is_object()) {
        const auto values = exception->find("values");
        if (values != exception->end() && values->is_array() && !values->empty() &&
            values->back().is_object()) {
            line +=
                " exception=" + text(values->back(), "type") + ": " + text(values->back(), "value");
        }
    }
    return line;
}

std::string describe(const EnvelopeItem& item) {
    const auto& header = *item.header();
    std::string line = header.type() + " (" + std::to_string(item.data().size()) + " bytes)";
    if (header.filename()) line += " filename=" + *header.filename();
    const auto parsed = Json::parse(item.data().begin(), item.data().end(), nullptr, false);
    const auto* payload = parsed.is_discarded() ? nullptr : &parsed;
    if (!payload || !payload->is_object()) return line;
    if (header.type() == "event" || header.type() == "transaction") {
        line += describeEvent(*payload);
    } else if (header.type() == "session") {
        line += " sid=" + text(*payload, "sid") + " status=" + text(*payload, "status") +
                " errors=" + text(*payload, "errors") + " seq=" + text(*payload, "seq");
        if (payload->contains("init")) line += " init=true";
    } else if (header.type() == "client_report") {
        const auto events = payload->find("discarded_events");
        if (events != payload->end() && events->is_array()) {
            for (const auto& entry : *events) {
                if (!entry.is_object()) continue;
                line += " " + text(entry, "category") + ":" + text(entry, "reason") + "=" +
                        text(entry, "quantity");
            }
        }
    }
    return line;
}

}  // namespace

std::optional<std::vector<std::string>> summarizeEnvelope(const std::string& bytes) {
    const auto envelope = Serialization::envelopeWithData(bytes);
    if (!envelope) return std::nullopt;
    return summarizeEnvelope(*envelope);
}

std::vector<std::string> summarizeEnvelope(const Envelope& envelope) {
    std::vector<std::string> lines;
    for (const auto& item : envelope.items()) lines.push_back(describe(*item));
    return lines;
}

}  // namespace skald::tools
