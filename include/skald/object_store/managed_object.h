#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "skald/object_store/model.h"

namespace skald::store {

namespace detail {
struct ContextState;
}

/// An object of an entity, made by an `ObjectContext` (by `insert` or
/// `fetch`) and used on that context's thread. Changing an object that is in
/// a store marks it updated in its context.
class ManagedObject : public std::enable_shared_from_this<ManagedObject> {
  public:
    struct Key;
    ManagedObject(const Key&, std::shared_ptr<const Entity> entity,
                  std::weak_ptr<detail::ContextState> context);

    const std::string& entityName() const { return entity_->name(); }
    const Entity& entity() const { return *entity_; }
    /// The row id once the object is saved; nothing before.
    std::optional<int64_t> objectId() const { return objectId_; }

    /// False (and nothing changes) for a key the entity lacks, a value of
    /// another type than the attribute's, or a deleted object.
    bool set(const std::string& key, Value value);
    /// No value for an unset attribute or a key the entity lacks.
    Value get(const std::string& key) const;

    /// Inserted in its context and not saved yet.
    bool isInserted() const { return inserted_; }
    /// Changed since it was last saved or fetched.
    bool isUpdated() const { return updated_; }
    /// Deleted in its context (saved or not yet).
    bool isDeleted() const { return deleted_; }

  private:
    friend class ObjectContext;

    std::shared_ptr<const Entity> entity_;
    std::weak_ptr<detail::ContextState> context_;
    std::vector<Value> values_;
    std::optional<int64_t> objectId_;
    /// The coordinator's index of the store the object lives in.
    size_t storeIndex_ = 0;
    bool inserted_ = false;
    bool updated_ = false;
    bool deleted_ = false;
};

}  // namespace skald::store
