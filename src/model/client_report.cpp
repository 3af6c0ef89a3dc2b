#include "model/client_report.h"

#include "util/current_date_provider.h"

namespace skald {

Json DiscardedEvent::serialize() const {
    Json json = Json::object();
    json["reason"] = nameForDiscardReason(reason);
    json["category"] = nameForDataCategory(category);
    json["quantity"] = quantity;
    return json;
}

ClientReport::ClientReport(std::vector<DiscardedEvent> discardedEvents)
    : timestamp_(currentDate()), discardedEvents_(std::move(discardedEvents)) {}

Json ClientReport::serialize() const {
    Json events = Json::array();
    for (const auto& event : discardedEvents_) events.push_back(event.serialize());
    Json json = Json::object();
    json["timestamp"] = timeIntervalSince1970(timestamp_);
    json["discarded_events"] = std::move(events);
    return json;
}

}  // namespace skald
