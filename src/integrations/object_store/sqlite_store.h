#pragma once

#include <sqlite3.h>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "skald/error.h"
#include "skald/object_store/model.h"

namespace skald::store::detail {

/// A prepared statement, finalized when it goes.
class Statement {
  public:
    Statement() = default;
    Statement(Statement&& other) noexcept : statement_(other.statement_) {
        other.statement_ = nullptr;
    }
    Statement& operator=(Statement&& other) noexcept;
    ~Statement();

    sqlite3_stmt* get() const { return statement_; }
    explicit operator bool() const { return statement_ != nullptr; }

    /// Binds `values` to the parameters 1, 2, ... after a reset.
    int bindAll(const std::vector<Value>& values);
    /// Column `index` read as an attribute of `type`.
    Value column(int index, AttributeType type) const;

  private:
    friend class SqliteStore;
    sqlite3_stmt* statement_ = nullptr;
};

/// One SQLite database holding a table per entity: "_id" (the row id) and a
/// column per attribute. Calls are serialized by the store's lock, so that
/// the transactions of contexts on different threads never interleave.
class SqliteStore {
  public:
    /// `path` nothing: a database in memory. Creates the tables the model
    /// needs and adds missing columns to the ones there.
    static std::shared_ptr<SqliteStore> open(
        const std::optional<std::string>& path,
        const std::vector<std::shared_ptr<const Entity>>& entities, Error* error);
    ~SqliteStore();
    SqliteStore(const SqliteStore&) = delete;
    SqliteStore& operator=(const SqliteStore&) = delete;

    /// Held around a whole save or fetch.
    std::unique_lock<std::mutex> lock() { return std::unique_lock(mutex_); }

    /// Statement running; false with `error` set on failure.
    bool prepare(const std::string& sql, Statement& statement, Error* error);
    /// One step: SQLITE_ROW, SQLITE_DONE, or false with `error` set.
    std::optional<int> step(Statement& statement, Error* error);
    /// A statement without results and without parameters.
    bool execute(const std::string& sql, Error* error);

    int64_t lastInsertRowId() const;
    int changes() const;

  private:
    explicit SqliteStore(sqlite3* db) : db_(db) {}
    bool createTables(const std::vector<std::shared_ptr<const Entity>>& entities, Error* error);
    Error failure(const std::string& what, int code) const;

    std::mutex mutex_;
    sqlite3* db_ = nullptr;
};

}  // namespace skald::store::detail
