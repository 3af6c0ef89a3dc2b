#pragma once

#include <string>

#include "integrations/object_store/context_hooks.h"
#include "skald/json.h"

namespace skald {

class SpanImpl;

/// Spans for the object store: "db.sql.query" around each fetch and
/// "db.sql.transaction" around each save with changes, as children of the
/// span bound to the scope. Results and errors pass through unchanged.
class CoreDataTracker : public store::detail::ContextInterceptor {
  public:
    static constexpr const char* kOrigin = "auto.db.core_data";

    store::detail::FetchResult fetch(
        store::ObjectContext& context, const store::FetchRequest& request, Error* error,
        const std::function<store::detail::FetchResult(Error*)>& proceed) override;
    bool save(store::ObjectContext& context, Error* error,
              const std::function<bool(Error*)>& proceed) override;

    /// "SELECT '<entity>'", then " WHERE <predicate>" and " SORT BY <keys>".
    static std::string descriptionFromRequest(const store::FetchRequest& request);
    /// "INSERTED", "UPDATED", "DELETED" (those with objects), each mapping
    /// entity names to how many of its objects changed so.
    static Json groupEntitiesOperations(const store::ObjectContext& context);
    /// "INSERTED 2 'A', UPDATED 3 items" from the grouped operations.
    static std::string descriptionForOperations(const Json& operations);
    /// Whether the main thread waits, and which stores the context works on.
    static void addExtraInfoToSpan(SpanImpl& span, const store::ObjectContext& context);
};

}  // namespace skald
