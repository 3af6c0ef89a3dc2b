#include "skald/object_store/object_context.h"

#include <algorithm>
#include <exception>
#include <limits>
#include <map>

#include "integrations/object_store/context_hooks.h"
#include "integrations/object_store/context_state.h"
#include "integrations/object_store/predicate_sql.h"
#include "integrations/object_store/sqlite_store.h"
#include "integrations/object_store/store_error.h"
#include "util/log.h"

namespace skald::store {

namespace {

using detail::report;
using detail::storeError;
using Objects = std::vector<std::shared_ptr<ManagedObject>>;

void removeFrom(Objects& objects, const ManagedObject* object) {
    objects.erase(std::remove_if(objects.begin(), objects.end(),
                                 [&](const auto& entry) { return entry.get() == object; }),
                  objects.end());
}

/// SQLite's order of values: none, then numbers (booleans are numbers
/// there), then text byte by byte.
int compareValues(const Value& a, const Value& b) {
    auto rank = [](const Value& value) {
        if (std::holds_alternative<std::monostate>(value)) return 0;
        if (std::holds_alternative<std::string>(value)) return 2;
        return 1;
    };
    const int rankA = rank(a);
    const int rankB = rank(b);
    if (rankA != rankB) return rankA < rankB ? -1 : 1;
    if (rankA == 0) return 0;
    if (rankA == 2) return std::get<std::string>(a).compare(std::get<std::string>(b));
    auto number = [](const Value& value) -> long double {
        if (const auto* integer = std::get_if<int64_t>(&value)) return *integer;
        if (const auto* real = std::get_if<double>(&value)) return *real;
        return std::get<bool>(value) ? 1 : 0;
    };
    if (std::holds_alternative<int64_t>(a) && std::holds_alternative<int64_t>(b)) {
        const int64_t x = std::get<int64_t>(a), y = std::get<int64_t>(b);
        return x < y ? -1 : (x > y ? 1 : 0);
    }
    const long double x = number(a), y = number(b);
    return x < y ? -1 : (x > y ? 1 : 0);
}

/// What one save writes to one store. The store stays locked while this
/// lives, and a transaction left open (by a failure or an exception) is
/// rolled back before the lock goes.
struct StoreWork {
    std::unique_lock<std::mutex> lock;
    std::shared_ptr<detail::SqliteStore> backend;
    Objects inserted;
    Objects updated;
    Objects deleted;
    std::vector<int64_t> newIds;
    bool begun = false;

    StoreWork() = default;
    StoreWork(const StoreWork&) = delete;
    StoreWork& operator=(const StoreWork&) = delete;
    ~StoreWork() { rollBack(); }

    void rollBack() noexcept {
        if (!begun) return;
        begun = false;
        try {
            backend->execute("ROLLBACK", nullptr);
        } catch (...) {
            // Nothing more to do: SQLite rolls back when the connection closes.
        }
    }
};

/// Prepared statements of one store during one save, by text.
class StatementCache {
  public:
    explicit StatementCache(detail::SqliteStore& store) : store_(store) {}
    detail::Statement* get(const std::string& sql, Error* error) {
        auto found = statements_.find(sql);
        if (found != statements_.end()) return &found->second;
        detail::Statement statement;
        if (!store_.prepare(sql, statement, error)) return nullptr;
        return &statements_.emplace(sql, std::move(statement)).first->second;
    }

  private:
    detail::SqliteStore& store_;
    std::map<std::string, detail::Statement> statements_;
};

std::string columnList(const Entity& entity) {
    std::string columns;
    for (const auto& attribute : entity.attributes()) {
        columns += (columns.empty() ? "" : ", ") + detail::quoteIdentifier(attribute.name);
    }
    return columns;
}

bool bindStatement(detail::Statement& statement, const std::vector<Value>& bindings, Error* error) {
    const int bound = statement.bindAll(bindings);
    if (bound == SQLITE_OK) return true;
    Error failure = storeError(StoreErrorCode::StatementFailed,
                               std::string("Cannot bind a value: ") + sqlite3_errstr(bound));
    failure.userInfo["sqlite_code"] = bound;
    report(error, std::move(failure));
    return false;
}

/// A statement without results.
bool runStatement(detail::SqliteStore& store, detail::Statement& statement,
                  const std::vector<Value>& bindings, Error* error) {
    return bindStatement(statement, bindings, error) && store.step(statement, error).has_value();
}

/// Writes one store's share of a save inside its open transaction.
bool writeChanges(StoreWork& work, Error* error) {
    detail::SqliteStore& store = *work.backend;
    StatementCache cache(store);
    for (const auto& object : work.inserted) {
        const Entity& entity = object->entity();
        const std::string table = detail::quoteIdentifier(entity.name());
        std::string sql = "INSERT INTO " + table + " DEFAULT VALUES";
        if (!entity.attributes().empty()) {
            sql = "INSERT INTO " + table + " (" + columnList(entity) + ") VALUES (?";
            for (size_t i = 1; i < entity.attributes().size(); ++i) sql += ", ?";
            sql += ")";
        }
        std::vector<Value> values;
        for (const auto& attribute : entity.attributes())
            values.push_back(object->get(attribute.name));
        auto* statement = cache.get(sql, error);
        if (!statement || !runStatement(store, *statement, values, error)) return false;
        work.newIds.push_back(store.lastInsertRowId());
    }
    for (const auto& object : work.updated) {
        const Entity& entity = object->entity();
        if (entity.attributes().empty()) continue;
        std::string sql = "UPDATE " + detail::quoteIdentifier(entity.name()) + " SET ";
        std::vector<Value> values;
        for (size_t i = 0; i < entity.attributes().size(); ++i) {
            sql += (i ? ", " : "") + detail::quoteIdentifier(entity.attributes()[i].name) + " = ?";
            values.push_back(object->get(entity.attributes()[i].name));
        }
        sql += " WHERE \"_id\" = ?";
        values.emplace_back(*object->objectId());
        auto* statement = cache.get(sql, error);
        if (!statement || !runStatement(store, *statement, values, error)) return false;
        if (store.changes() != 1) {
            report(error,
                   storeError(StoreErrorCode::Conflict, "The " + entity.name() + " " +
                                                            std::to_string(*object->objectId()) +
                                                            " is no longer in its store."));
            return false;
        }
    }
    for (const auto& object : work.deleted) {
        const std::string sql =
            "DELETE FROM " + detail::quoteIdentifier(object->entityName()) + " WHERE \"_id\" = ?";
        auto* statement = cache.get(sql, error);
        if (!statement || !runStatement(store, *statement, {Value(*object->objectId())}, error)) {
            return false;
        }
    }
    return true;
}

Error unexpected(const char* what, const std::exception* exception) {
    return storeError(StoreErrorCode::StatementFailed,
                      std::string("The ") + what + " failed unexpectedly" +
                          (exception ? std::string(": ") + exception->what() : std::string(".")));
}

}  // namespace

ObjectContext::ObjectContext(std::shared_ptr<StoreCoordinator> coordinator)
    : coordinator_(coordinator ? std::move(coordinator)
                               : std::make_shared<StoreCoordinator>(Model())),
      state_(std::make_shared<detail::ContextState>()) {}

ObjectContext::~ObjectContext() = default;

std::shared_ptr<ManagedObject> ObjectContext::insert(
    const std::string& entityName, const std::shared_ptr<const PersistentStore>& store) {
    auto entity = coordinator_->sharedEntity(entityName);
    if (!entity) {
        SKALD_LOG_DEBUG("Object store: the model has no entity %s.", entityName.c_str());
        return nullptr;
    }
    size_t storeIndex = 0;
    if (store) {
        const auto index = coordinator_->indexOf(store);
        if (!index) {
            SKALD_LOG_DEBUG("Object store: the store is not one of the context's coordinator.");
            return nullptr;
        }
        storeIndex = *index;
    }
    auto object = std::make_shared<ManagedObject>(ManagedObject::Key{}, std::move(entity), state_);
    object->inserted_ = true;
    object->storeIndex_ = storeIndex;
    state_->inserted.push_back(object);
    return object;
}

void ObjectContext::deleteObject(const std::shared_ptr<ManagedObject>& object) {
    if (!object || object->deleted_) return;
    if (object->context_.lock() != state_) {
        SKALD_LOG_DEBUG("Object store: an object of another context is not deleted here.");
        return;
    }
    object->deleted_ = true;
    if (object->inserted_) {
        object->inserted_ = false;
        removeFrom(state_->inserted, object.get());
        return;
    }
    if (object->updated_) {
        object->updated_ = false;
        removeFrom(state_->updated, object.get());
    }
    state_->deleted.push_back(object);
}

bool ObjectContext::hasChanges() const {
    return !state_->inserted.empty() || !state_->updated.empty() || !state_->deleted.empty();
}

std::vector<std::shared_ptr<ManagedObject>> ObjectContext::insertedObjects() const {
    return state_->inserted;
}

std::vector<std::shared_ptr<ManagedObject>> ObjectContext::updatedObjects() const {
    return state_->updated;
}

std::vector<std::shared_ptr<ManagedObject>> ObjectContext::deletedObjects() const {
    return state_->deleted;
}

bool ObjectContext::save(Error* error) {
    try {
        if (auto interceptor = detail::contextInterceptor()) {
            return interceptor->save(*this, error,
                                     [this](Error* inner) { return saveDirectly(inner); });
        }
        return saveDirectly(error);
    } catch (const std::exception& exception) {
        report(error, unexpected("save", &exception));
    } catch (...) {
        report(error, unexpected("save", nullptr));
    }
    return false;
}

std::optional<std::vector<std::shared_ptr<ManagedObject>>> ObjectContext::fetch(
    const FetchRequest& request, Error* error) {
    try {
        if (auto interceptor = detail::contextInterceptor()) {
            return interceptor->fetch(*this, request, error, [this, &request](Error* inner) {
                return fetchDirectly(request, inner);
            });
        }
        return fetchDirectly(request, error);
    } catch (const std::exception& exception) {
        report(error, unexpected("fetch", &exception));
    } catch (...) {
        report(error, unexpected("fetch", nullptr));
    }
    return std::nullopt;
}

bool ObjectContext::saveDirectly(Error* error) try {
    if (!hasChanges()) return true;
    std::map<size_t, StoreWork> work;
    for (const auto& object : state_->inserted)
        work[object->storeIndex_].inserted.push_back(object);
    for (const auto& object : state_->updated) work[object->storeIndex_].updated.push_back(object);
    for (const auto& object : state_->deleted) work[object->storeIndex_].deleted.push_back(object);

    // Stores are locked in index order, so that two contexts saving to the
    // same stores cannot wait for each other.
    for (auto& [index, storeWork] : work) {
        storeWork.backend = coordinator_->backend(index);
        if (!storeWork.backend) {
            report(error, storeError(StoreErrorCode::NoStore,
                                     "The context's coordinator has no store to save to."));
            return false;
        }
        storeWork.lock = storeWork.backend->lock();
    }
    for (auto& [index, storeWork] : work) {
        if (!storeWork.backend->execute("BEGIN IMMEDIATE", error)) return false;
        storeWork.begun = true;
        if (!writeChanges(storeWork, error)) return false;
    }
    for (auto& [index, storeWork] : work) {
        if (!storeWork.backend->execute("COMMIT", error)) {
            SKALD_LOG_DEBUG("Object store: store %zu did not commit; its changes stay pending.",
                            index);
            return false;
        }
        storeWork.begun = false;
        // Committed: this store's objects are saved whatever happens to the
        // stores after it.
        for (size_t i = 0; i < storeWork.inserted.size(); ++i) {
            const auto& object = storeWork.inserted[i];
            object->inserted_ = false;
            object->objectId_ = storeWork.newIds[i];
            state_->registered[{index, &object->entity(), storeWork.newIds[i]}] = object;
        }
        for (const auto& object : storeWork.updated) object->updated_ = false;
        for (const auto& object : storeWork.deleted) {
            state_->registered.erase({index, &object->entity(), *object->objectId_});
        }
        const size_t committed = index;
        auto ofStore = [committed](const auto& object) { return object->storeIndex_ == committed; };
        std::erase_if(state_->inserted, ofStore);
        std::erase_if(state_->updated, ofStore);
        std::erase_if(state_->deleted, ofStore);
    }
    return true;
} catch (const std::exception& exception) {
    report(error, unexpected("save", &exception));
    return false;
}

std::optional<std::vector<std::shared_ptr<ManagedObject>>> ObjectContext::fetchDirectly(
    const FetchRequest& request, Error* error) try {
    auto entity = coordinator_->sharedEntity(request.entityName);
    if (!entity) {
        report(error, storeError(StoreErrorCode::UnknownEntity,
                                 "The model has no entity \"" + request.entityName + "\"."));
        return std::nullopt;
    }
    std::vector<Value> bindings;
    std::string sql = "SELECT \"_id\"";
    for (const auto& attribute : entity->attributes()) {
        sql += ", " + detail::quoteIdentifier(attribute.name);
    }
    sql += " FROM " + detail::quoteIdentifier(entity->name());
    if (request.predicate) {
        auto condition = detail::predicateSql(*request.predicate, *entity, bindings, error);
        if (!condition) return std::nullopt;
        sql += " WHERE " + *condition;
    }
    std::vector<size_t> sortIndexes;
    sql += " ORDER BY ";
    for (const auto& sort : request.sortDescriptors) {
        const auto index = entity->attributeIndex(sort.key);
        if (!index) {
            report(error,
                   storeError(StoreErrorCode::UnknownKey, entity->name() + " has no attribute \"" +
                                                              sort.key + "\" to sort by."));
            return std::nullopt;
        }
        sortIndexes.push_back(*index);
        sql += detail::quoteIdentifier(sort.key) + (sort.ascending ? " ASC, " : " DESC, ");
    }
    sql += "\"_id\" ASC";
    if (request.fetchLimit) sql += " LIMIT ?";

    const size_t limit = request.fetchLimit.value_or(std::numeric_limits<size_t>::max());
    Objects results;
    size_t storesWithRows = 0;
    const size_t storeCount = coordinator_->storeCount();
    for (size_t index = 0; index < storeCount; ++index) {
        auto backend = coordinator_->backend(index);
        if (!backend) continue;
        // Objects deleted here still have rows: ask for that many more.
        int64_t pendingDeletes = 0;
        for (const auto& object : state_->deleted) {
            if (object->storeIndex_ == index && object->entity_ == entity) ++pendingDeletes;
        }
        std::vector<Value> storeBindings = bindings;
        if (request.fetchLimit) {
            const auto maxLimit = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
            const uint64_t wanted = std::min<uint64_t>(limit, maxLimit - pendingDeletes);
            storeBindings.emplace_back(static_cast<int64_t>(wanted) + pendingDeletes);
        }
        auto lock = backend->lock();
        detail::Statement statement;
        if (!backend->prepare(sql, statement, error) ||
            !bindStatement(statement, storeBindings, error)) {
            return std::nullopt;
        }
        const size_t before = results.size();
        while (true) {
            const auto row = backend->step(statement, error);
            if (!row) return std::nullopt;
            if (*row != SQLITE_ROW) break;
            const int64_t id = sqlite3_column_int64(statement.get(), 0);
            auto& slot = state_->registered[{index, entity.get(), id}];
            auto object = slot.lock();
            if (object && object->deleted_) continue;
            if (!object) {
                object = std::make_shared<ManagedObject>(ManagedObject::Key{}, entity, state_);
                object->objectId_ = id;
                object->storeIndex_ = index;
                slot = object;
            }
            // Unsaved changes made here win over the stored values.
            if (!object->updated_) {
                for (size_t i = 0; i < entity->attributes().size(); ++i) {
                    object->values_[i] =
                        statement.column(static_cast<int>(i + 1), entity->attributes()[i].type);
                }
            }
            results.push_back(std::move(object));
        }
        if (results.size() > before) ++storesWithRows;
    }
    if (storesWithRows > 1 && !sortIndexes.empty()) {
        std::stable_sort(results.begin(), results.end(), [&](const auto& a, const auto& b) {
            for (size_t i = 0; i < sortIndexes.size(); ++i) {
                const int order =
                    compareValues(a->values_[sortIndexes[i]], b->values_[sortIndexes[i]]);
                if (order != 0) return request.sortDescriptors[i].ascending ? order < 0 : order > 0;
            }
            return false;
        });
    }
    if (results.size() > limit) results.resize(limit);
    state_->pruneRegistry();
    return results;
} catch (const std::exception& exception) {
    report(error, unexpected("fetch", &exception));
    return std::nullopt;
}

}  // namespace skald::store
