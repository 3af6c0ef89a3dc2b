#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "skald/error.h"
#include "skald/object_store/model.h"

namespace skald::store {

inline constexpr const char* kObjectStoreErrorDomain = "SkaldObjectStoreErrorDomain";

enum class StoreErrorCode : int64_t {
    /// An entity or attribute name that cannot be an identifier, or twice.
    InvalidModel = 1,
    /// An unknown store type, or a URL that is not an absolute file URL.
    InvalidStore = 2,
    /// The store's file could not be opened (missing folder, permissions,
    /// a symlink or something that is not a regular file).
    OpenFailed = 3,
    /// The file is not a database, or its tables do not fit the model.
    NotADatabase = 4,
    UnknownEntity = 5,
    /// A key path or sort key that the entity has no attribute for.
    UnknownKey = 6,
    /// A predicate the store cannot evaluate (an operator SQLite lacks, or
    /// operands of the wrong kind).
    UnsupportedPredicate = 7,
    /// SQLite refused a statement; userInfo "sqlite_code" holds its code.
    StatementFailed = 8,
    /// The context's coordinator has no store for the object.
    NoStore = 9,
    /// A saved object's row is no longer in its store.
    Conflict = 10,
};

inline constexpr const char* kSQLiteStoreType = "SQLite";
inline constexpr const char* kInMemoryStoreType = "InMemory";

/// One store of a coordinator: "SQLite" with a file URL
/// ("file:///path/to.db"), or "InMemory" without one.
struct PersistentStore {
    std::string type;
    std::optional<std::string> url;
};

namespace detail {
class SqliteStore;
}

/// Owns the stores that contexts save to and fetch from. Each store is one
/// SQLite database with a table per entity. Safe to share between threads.
class StoreCoordinator {
  public:
    explicit StoreCoordinator(Model model);
    ~StoreCoordinator();
    StoreCoordinator(const StoreCoordinator&) = delete;
    StoreCoordinator& operator=(const StoreCoordinator&) = delete;

    /// Opens (or creates) the store and its tables; null with `error` set
    /// when the model, the type or the URL is unusable or the file is not a
    /// database.
    std::shared_ptr<const PersistentStore> addPersistentStore(const std::string& type,
                                                              const std::optional<std::string>& url,
                                                              Error* error = nullptr);

    /// In the order they were added.
    std::vector<std::shared_ptr<const PersistentStore>> persistentStores() const;
    const Model& model() const { return model_; }

  private:
    friend class ObjectContext;

    /// Null past the last store.
    std::shared_ptr<detail::SqliteStore> backend(size_t index) const;
    std::optional<size_t> indexOf(const std::shared_ptr<const PersistentStore>& store) const;
    size_t storeCount() const;
    /// Null for an entity the model lacks; objects keep theirs alive.
    std::shared_ptr<const Entity> sharedEntity(const std::string& name) const;

    Model model_;
    std::vector<std::shared_ptr<const Entity>> entities_;
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<const PersistentStore>> stores_;
    std::vector<std::shared_ptr<detail::SqliteStore>> backends_;
};

}  // namespace skald::store
