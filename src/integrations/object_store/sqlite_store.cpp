#include "integrations/object_store/sqlite_store.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <set>

#include "integrations/object_store/store_error.h"
#include "util/log.h"

namespace skald::store::detail {

namespace {

/// Long enough for another connection's short write, short enough that a
/// stuck one never holds up the host for long.
constexpr int kBusyTimeoutMillis = 1000;

const char* columnType(AttributeType type) {
    switch (type) {
        case AttributeType::String:
            return "TEXT";
        case AttributeType::Integer:
        case AttributeType::Boolean:
            return "INTEGER";
        case AttributeType::Double:
            return "REAL";
    }
    return "";
}

/// SQLite's identifiers are ASCII case-insensitive.
std::string lowercased(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

int bindValue(sqlite3_stmt* statement, int index, const Value& value) {
    if (const auto* text = std::get_if<std::string>(&value)) {
        return sqlite3_bind_text64(statement, index, text->data(), text->size(), SQLITE_TRANSIENT,
                                   SQLITE_UTF8);
    }
    if (const auto* integer = std::get_if<int64_t>(&value)) {
        return sqlite3_bind_int64(statement, index, *integer);
    }
    if (const auto* real = std::get_if<double>(&value)) {
        return sqlite3_bind_double(statement, index, *real);
    }
    if (const auto* flag = std::get_if<bool>(&value)) {
        return sqlite3_bind_int64(statement, index, *flag ? 1 : 0);
    }
    return sqlite3_bind_null(statement, index);
}

/// Why the store cannot use whatever is at `path`; nothing when there is a
/// regular file there or nothing at all.
std::optional<std::string> unusableFile(const std::string& path) {
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) {
        if (errno == ENOENT) return std::nullopt;
        return "Cannot open the store file " + path + ": " + std::strerror(errno);
    }
    if (S_ISLNK(info.st_mode)) return "The store file " + path + " is a symbolic link.";
    if (!S_ISREG(info.st_mode)) return "The store file " + path + " is not a regular file.";
    return std::nullopt;
}

}  // namespace

Statement& Statement::operator=(Statement&& other) noexcept {
    if (this != &other) {
        sqlite3_finalize(statement_);
        statement_ = other.statement_;
        other.statement_ = nullptr;
    }
    return *this;
}

Statement::~Statement() {
    sqlite3_finalize(statement_);
}

int Statement::bindAll(const std::vector<Value>& values) {
    sqlite3_reset(statement_);
    sqlite3_clear_bindings(statement_);
    for (size_t i = 0; i < values.size(); ++i) {
        const int result = bindValue(statement_, static_cast<int>(i + 1), values[i]);
        if (result != SQLITE_OK) return result;
    }
    return SQLITE_OK;
}

Value Statement::column(int index, AttributeType type) const {
    if (sqlite3_column_type(statement_, index) == SQLITE_NULL) return std::monostate();
    switch (type) {
        case AttributeType::String: {
            const auto* text = sqlite3_column_text(statement_, index);
            if (!text) return std::monostate();
            const int length = sqlite3_column_bytes(statement_, index);
            return std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(length));
        }
        case AttributeType::Integer:
            return static_cast<int64_t>(sqlite3_column_int64(statement_, index));
        case AttributeType::Double:
            return sqlite3_column_double(statement_, index);
        case AttributeType::Boolean:
            return sqlite3_column_int64(statement_, index) != 0;
    }
    return std::monostate();
}

std::shared_ptr<SqliteStore> SqliteStore::open(
    const std::optional<std::string>& path,
    const std::vector<std::shared_ptr<const Entity>>& entities, Error* error) {
    if (path) {
        // SQLite would open a FIFO or a device too, and a FIFO without a
        // writer blocks the first read for good; its journals are opened the
        // same way when it looks for one to roll back.
        for (const char* suffix : {"", "-journal", "-wal", "-shm"}) {
            if (auto problem = unusableFile(*path + suffix)) {
                report(error, storeError(StoreErrorCode::OpenFailed, std::move(*problem)));
                return nullptr;
            }
        }
    }
    sqlite3* db = nullptr;
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX |
                      SQLITE_OPEN_NOFOLLOW | (path ? 0 : SQLITE_OPEN_MEMORY);
    const int result = sqlite3_open_v2(path ? path->c_str() : ":memory:", &db, flags, nullptr);
    if (result != SQLITE_OK) {
        const std::string reason = db ? sqlite3_errmsg(db) : sqlite3_errstr(result);
        sqlite3_close_v2(db);
        report(error,
               storeError(StoreErrorCode::OpenFailed,
                          "Cannot open the store " + path.value_or(":memory:") + ": " + reason));
        return nullptr;
    }
    sqlite3_extended_result_codes(db, 1);
    sqlite3_busy_timeout(db, kBusyTimeoutMillis);
    std::shared_ptr<SqliteStore> store(new SqliteStore(db));
    if (!store->createTables(entities, error)) return nullptr;
    return store;
}

SqliteStore::~SqliteStore() {
    sqlite3_close_v2(db_);
}

Error SqliteStore::failure(const std::string& what, int code) const {
    const int primary = code & 0xff;
    const auto errorCode = (primary == SQLITE_NOTADB || primary == SQLITE_CORRUPT)
                               ? StoreErrorCode::NotADatabase
                               : StoreErrorCode::StatementFailed;
    Error error = storeError(errorCode, what + ": " + sqlite3_errmsg(db_));
    error.userInfo["sqlite_code"] = code;
    return error;
}

bool SqliteStore::prepare(const std::string& sql, Statement& statement, Error* error) {
    sqlite3_stmt* prepared = nullptr;
    const int result =
        sqlite3_prepare_v2(db_, sql.c_str(), static_cast<int>(sql.size()) + 1, &prepared, nullptr);
    statement = Statement();
    statement.statement_ = prepared;
    if (result != SQLITE_OK || !prepared) {
        report(error, failure("Cannot prepare the statement " + sql, result));
        return false;
    }
    return true;
}

std::optional<int> SqliteStore::step(Statement& statement, Error* error) {
    const int result = sqlite3_step(statement.get());
    if (result == SQLITE_ROW || result == SQLITE_DONE) return result;
    const char* sql = sqlite3_sql(statement.get());
    report(error, failure(std::string("The statement ") + (sql ? sql : "") + " failed", result));
    return std::nullopt;
}

bool SqliteStore::execute(const std::string& sql, Error* error) {
    Statement statement;
    if (!prepare(sql, statement, error)) return false;
    std::optional<int> result;
    do {
        result = step(statement, error);
    } while (result == SQLITE_ROW);
    return result.has_value();
}

int64_t SqliteStore::lastInsertRowId() const {
    return sqlite3_last_insert_rowid(db_);
}

int SqliteStore::changes() const {
    return sqlite3_changes(db_);
}

bool SqliteStore::createTables(const std::vector<std::shared_ptr<const Entity>>& entities,
                               Error* error) {
    // Reading the schema first tells a file that is not a database apart
    // before anything is written to it.
    if (!execute("SELECT count(*) FROM sqlite_master", error)) return false;
    if (!execute("BEGIN IMMEDIATE", error)) return false;
    auto fail = [&] {
        execute("ROLLBACK", nullptr);
        return false;
    };
    for (const auto& entity : entities) {
        const std::string table = quoteIdentifier(entity->name());
        std::string create =
            "CREATE TABLE IF NOT EXISTS " + table + " (\"_id\" INTEGER PRIMARY KEY AUTOINCREMENT";
        for (const auto& attribute : entity->attributes()) {
            create += ", " + quoteIdentifier(attribute.name) + " " + columnType(attribute.type);
        }
        create += ")";
        if (!execute(create, error)) return fail();

        Statement columns;
        if (!prepare("SELECT name FROM pragma_table_info(?)", columns, error)) return fail();
        columns.bindAll({Value(entity->name())});
        std::set<std::string> present;
        std::optional<int> row;
        while ((row = step(columns, error)) == SQLITE_ROW) {
            if (auto name = columns.column(0, AttributeType::String);
                std::holds_alternative<std::string>(name)) {
                present.insert(lowercased(std::get<std::string>(name)));
            }
        }
        if (!row) return fail();
        if (!present.count("_id")) {
            report(error, storeError(StoreErrorCode::NotADatabase,
                                     "The table " + entity->name() +
                                         " of the store does not belong to an object store."));
            return fail();
        }
        for (const auto& attribute : entity->attributes()) {
            if (present.count(lowercased(attribute.name))) continue;
            if (!execute("ALTER TABLE " + table + " ADD COLUMN " + quoteIdentifier(attribute.name) +
                             " " + columnType(attribute.type),
                         error)) {
                return fail();
            }
        }
    }
    return execute("COMMIT", error) || fail();
}

}  // namespace skald::store::detail
