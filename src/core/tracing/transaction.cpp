#include "core/tracing/transaction.h"

#include "core/tracing/tracer.h"
#include "util/sanitize.h"

namespace skald {

Transaction::Transaction(std::shared_ptr<Tracer> tracer,
                         const std::vector<std::shared_ptr<SpanImpl>>& children)
    : Event(Level::None), trace(std::move(tracer)), spans(children.begin(), children.end()) {
    type = "transaction";
    if (trace) {
        timestamp = trace->timestamp();
        startTimestamp = trace->startTimestamp();
    }
}

namespace {

/// `into` ∪ `from`, `from` winning; `into` is made an object when it is none.
void mergeObject(Json& into, const Json& from) {
    if (!into.is_object()) into = Json::object();
    for (const auto& [key, value] : from.items()) into[key] = value;
}

}  // namespace

Json Transaction::serialize() {
    Json json = Event::serialize();
    Json spanList = Json::array();
    for (const auto& span : spans) {
        if (span) spanList.push_back(span->serialize());
    }
    json["spans"] = std::move(spanList);
    if (!trace) return json;

    Json traceJson = trace->serialize();
    Json contexts = json.contains("contexts") && json["contexts"].is_object() ? json["contexts"]
                                                                              : Json::object();
    Json profile = Json::object();
    if (auto id = trace->profileSessionId()) profile["profiler_id"] = *id;
    contexts["profile"] = std::move(profile);
    Json metricsSummary;
    if (auto found = traceJson.find("_metrics_summary"); found != traceJson.end()) {
        metricsSummary = std::move(*found);
        traceJson.erase("_metrics_summary");
    }
    contexts["trace"] = traceJson;
    json["contexts"] = std::move(contexts);
    if (!metricsSummary.is_null()) json["_metrics_summary"] = std::move(metricsSummary);

    const auto tags = trace->tags();
    if (!tags.empty()) {
        Json tracerTags = Json::object();
        for (const auto& [key, value] : tags) tracerTags[key] = value;
        if (auto sanitized = sanitizeDictionary(tracerTags)) mergeObject(json["tags"], *sanitized);
    }
    if (auto sanitized = sanitizeDictionary(trace->data()); sanitized && !sanitized->empty()) {
        mergeObject(json["extra"], *sanitized);
    }
    const auto measurements = trace->measurements();
    if (!measurements.empty()) {
        Json values = Json::object();
        for (const auto& [name, measurement] : measurements) values[name] = measurement.serialize();
        json["measurements"] = std::move(values);
    }
    json["transaction"] = trace->transactionContext().name();
    json["transaction_info"] = {
        {"source", nameForTransactionNameSource(trace->transactionContext().nameSource())}};
    return json;
}

}  // namespace skald
