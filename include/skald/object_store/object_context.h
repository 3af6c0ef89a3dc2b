#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "skald/error.h"
#include "skald/object_store/fetch_request.h"
#include "skald/object_store/managed_object.h"
#include "skald/object_store/store_coordinator.h"

namespace skald::store {

/// A scratch pad of objects over a coordinator's stores: objects are
/// inserted, changed and deleted here and reach the stores on `save`. Use a
/// context (and its objects) from one thread at a time.
class ObjectContext {
  public:
    explicit ObjectContext(std::shared_ptr<StoreCoordinator> coordinator);
    ~ObjectContext();
    ObjectContext(const ObjectContext&) = delete;
    ObjectContext& operator=(const ObjectContext&) = delete;

    const std::shared_ptr<StoreCoordinator>& coordinator() const { return coordinator_; }

    /// A new object of the entity, saved to `store` (the coordinator's first
    /// store when null). Null for an unknown entity or a foreign store.
    std::shared_ptr<ManagedObject> insert(const std::string& entityName,
                                          const std::shared_ptr<const PersistentStore>& store = {});
    /// An object not saved yet is simply dropped; a saved one is removed
    /// from its store on the next save. Objects of other contexts are ignored.
    void deleteObject(const std::shared_ptr<ManagedObject>& object);

    bool hasChanges() const;
    std::vector<std::shared_ptr<ManagedObject>> insertedObjects() const;
    std::vector<std::shared_ptr<ManagedObject>> updatedObjects() const;
    std::vector<std::shared_ptr<ManagedObject>> deletedObjects() const;

    /// Writes every change, one SQLite transaction per store. On failure
    /// nothing of that store is written, the changes stay pending and
    /// `error` says why.
    bool save(Error* error = nullptr);
    /// The saved objects that match, in the request's order (row order when
    /// it has none). Objects this context already holds are returned as
    /// they are here, with their unsaved changes; objects deleted here are
    /// left out; objects inserted and not saved are not searched. Nothing,
    /// with `error` set, for an unknown entity or key, a predicate SQLite
    /// cannot evaluate, or a failing store.
    std::optional<std::vector<std::shared_ptr<ManagedObject>>> fetch(const FetchRequest& request,
                                                                     Error* error = nullptr);

  private:
    bool saveDirectly(Error* error);
    std::optional<std::vector<std::shared_ptr<ManagedObject>>> fetchDirectly(
        const FetchRequest& request, Error* error);

    std::shared_ptr<StoreCoordinator> coordinator_;
    std::shared_ptr<detail::ContextState> state_;
};

}  // namespace skald::store
