#include "integrations/object_store/core_data_tracker.h"

#include <exception>
#include <map>

#include "core/tracing/auto_span.h"
#include "core/tracing/span_impl.h"
#include "integrations/object_store/predicate_descriptor.h"
#include "skald/sdk.h"
#include "skald/url.h"
#include "util/log.h"

namespace skald {

namespace {

constexpr const char* kOperationWords[] = {"INSERTED", "UPDATED", "DELETED"};

/// Null without a bound span, so that nothing is described for nothing.
std::shared_ptr<SpanImpl> startSpan(const std::string& operation,
                                    const std::function<std::string()>& description) {
    std::shared_ptr<SpanImpl> span;
    if (SDK::span()) span = startAutoChild(operation, description(), CoreDataTracker::kOrigin);
    if (!span) {
        SKALD_LOG_DEBUG("No transaction bound to scope. Won't track object store operation.");
        return nullptr;
    }
    SKALD_LOG_DEBUG(
        "SkaldCoreDataTracker automatically started a new span with description: %s, "
        "operation: %s",
        span->spanDescription().value_or("").c_str(), operation.c_str());
    return span;
}

void finishSpan(SpanImpl& span, bool succeeded) {
    span.finish(succeeded ? SpanStatus::Ok : SpanStatus::InternalError);
    SKALD_LOG_DEBUG("SkaldCoreDataTracker automatically finished span with status: %s",
                    succeeded ? "ok" : "error");
}

/// The path of a store's URL, as the URL says it when it is not one.
std::string storePath(const std::optional<std::string>& url) {
    if (!url) return "(null)";
    const auto parsed = Url::parse(*url);
    return parsed ? parsed->path() : *url;
}

}  // namespace

store::detail::FetchResult CoreDataTracker::fetch(
    store::ObjectContext& context, const store::FetchRequest& request, Error* error,
    const std::function<store::detail::FetchResult(Error*)>& proceed) {
    std::shared_ptr<SpanImpl> span;
    try {
        span = startSpan("db.sql.query", [&] { return descriptionFromRequest(request); });
    } catch (const std::exception& exception) {
        SKALD_LOG_ERROR("Could not start a span for a fetch: %s", exception.what());
    }
    auto result = proceed(error);
    if (span) {
        try {
            addExtraInfoToSpan(*span, context);
            span->setData("read_count", result ? result->size() : 0);
            finishSpan(*span, result.has_value());
        } catch (const std::exception& exception) {
            SKALD_LOG_ERROR("Could not finish the span of a fetch: %s", exception.what());
        }
    }
    return result;
}

bool CoreDataTracker::save(store::ObjectContext& context, Error* error,
                           const std::function<bool(Error*)>& proceed) {
    if (!context.hasChanges()) return proceed(error);
    std::shared_ptr<SpanImpl> span;
    try {
        const Json operations = groupEntitiesOperations(context);
        span =
            startSpan("db.sql.transaction", [&] { return descriptionForOperations(operations); });
        if (span) span->setData("operations", operations);
    } catch (const std::exception& exception) {
        SKALD_LOG_ERROR("Could not start a span for a save: %s", exception.what());
    }
    const bool saved = proceed(error);
    if (span) {
        try {
            addExtraInfoToSpan(*span, context);
            finishSpan(*span, saved);
        } catch (const std::exception& exception) {
            SKALD_LOG_ERROR("Could not finish the span of a save: %s", exception.what());
        }
    }
    return saved;
}

std::string CoreDataTracker::descriptionFromRequest(const store::FetchRequest& request) {
    std::string description = "SELECT '" + request.entityName + "'";
    if (request.predicate) {
        description += " WHERE " + PredicateDescriptor::predicateDescription(*request.predicate);
    }
    if (!request.sortDescriptors.empty()) {
        description += " SORT BY ";
        bool first = true;
        for (const auto& sort : request.sortDescriptors) {
            if (!first) description += ", ";
            first = false;
            description += sort.key + (sort.ascending ? "" : " DESCENDING");
        }
    }
    return description;
}

Json CoreDataTracker::groupEntitiesOperations(const store::ObjectContext& context) {
    const std::vector<std::shared_ptr<store::ManagedObject>> changed[] = {
        context.insertedObjects(), context.updatedObjects(), context.deletedObjects()};
    Json operations = Json::object();
    for (size_t i = 0; i < 3; ++i) {
        if (changed[i].empty()) continue;
        std::map<std::string, uint64_t> counts;
        for (const auto& object : changed[i]) ++counts[object->entityName()];
        Json entities = Json::object();
        for (const auto& [name, count] : counts) entities[name] = count;
        operations[kOperationWords[i]] = std::move(entities);
    }
    return operations;
}

std::string CoreDataTracker::descriptionForOperations(const Json& operations) {
    std::string description;
    for (const char* word : kOperationWords) {
        const auto found = operations.find(word);
        if (found == operations.end() || !found->is_object() || found->empty()) continue;
        if (!description.empty()) description += ", ";
        if (found->size() == 1) {
            const auto entry = found->begin();
            const uint64_t count =
                entry.value().is_number_unsigned() ? entry.value().get<uint64_t>() : 0;
            description +=
                std::string(word) + " " + std::to_string(count) + " '" + entry.key() + "'";
            continue;
        }
        uint64_t total = 0;
        for (const auto& count : *found) {
            if (count.is_number_unsigned()) total += count.get<uint64_t>();
        }
        description += std::string(word) + " " + std::to_string(total) + " items";
    }
    return description;
}

void CoreDataTracker::addExtraInfoToSpan(SpanImpl& span, const store::ObjectContext& context) {
    addMainThreadInfo(span, false);
    std::string systems;
    std::string names;
    bool first = true;
    for (const auto& store : context.coordinator()->persistentStores()) {
        if (!first) {
            systems += ";";
            names += ";";
        }
        first = false;
        systems += store->type;
        names += storePath(store->url);
    }
    span.setData("db.system", systems);
    span.setData("db.name", names);
}

}  // namespace skald
