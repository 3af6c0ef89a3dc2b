#pragma once

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <map>
#include <memory>
#include <tuple>
#include <vector>

#include "skald/object_store/managed_object.h"

namespace skald::store {

/// Only the store's own code makes objects.
struct ManagedObject::Key {};

namespace detail {

/// What a context tracks; objects reach it through a weak reference so that
/// a change to a saved object marks it updated.
struct ContextState {
    std::vector<std::shared_ptr<ManagedObject>> inserted;
    /// Held strongly so that a change is saved even after the host lets go
    /// of the object.
    std::vector<std::shared_ptr<ManagedObject>> updated;
    std::vector<std::shared_ptr<ManagedObject>> deleted;
    /// Saved objects by store index, entity (each has its own row ids) and
    /// row id: fetching a row twice gives the same object.
    using RowKey = std::tuple<size_t, const Entity*, int64_t>;
    std::map<RowKey, std::weak_ptr<ManagedObject>> registered;
    size_t pruneAt = 64;

    /// Drops the entries of objects gone, each time the registry has doubled,
    /// so that a context fetching for long keeps no more than it holds.
    void pruneRegistry() {
        if (registered.size() < pruneAt) return;
        for (auto entry = registered.begin(); entry != registered.end();) {
            entry = entry->second.expired() ? registered.erase(entry) : std::next(entry);
        }
        pruneAt = std::max<size_t>(64, registered.size() * 2);
    }
};

}  // namespace detail
}  // namespace skald::store
