// A thin RAII layer over the SQLite C API: a connection, prepared statements
// with binding and NULL-guarding column reads, transactions and schema
// migrations. Every failure becomes a SqliteError naming the operation.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "app/platform/platform_error.hpp"

struct sqlite3;
struct sqlite3_stmt;

namespace app::platform {

// A failed SQLite call. sqliteMessage() is SQLite's own text
// (sqlite3_errmsg), for callers whose replies quote it.
class SqliteError : public PlatformError {
public:
    SqliteError(std::string operation, int code, std::string sqliteMessage);

    int code() const noexcept { return code_; }
    const std::string& sqliteMessage() const noexcept { return sqliteMessage_; }

private:
    int code_;
    std::string sqliteMessage_;
};

enum class SqliteOpenMode {
    ReadOnly,         // the file must exist; nothing is written
    ReadWrite,        // the file must exist
    ReadWriteCreate,  // made when missing
};

class SqliteStatement;

class SqliteConnection {
public:
    static constexpr std::chrono::milliseconds defaultBusyTimeout{5000};

    // Opens the database; throws SqliteError (operation "open <path>") when
    // it cannot. The handle is closed on every path. Only a regular file is
    // opened (looked at without blocking first: a FIFO or device there would
    // hang the open or the first read); a file made here is private (0600).
    // The writable modes never go through a link, neither for the database
    // nor for its journal files.
    SqliteConnection(const std::string& path, SqliteOpenMode mode,
                     std::chrono::milliseconds busyTimeout = defaultBusyTimeout);
    ~SqliteConnection();
    SqliteConnection(SqliteConnection&& other) noexcept;
    SqliteConnection& operator=(SqliteConnection&& other) noexcept;
    SqliteConnection(const SqliteConnection&) = delete;
    SqliteConnection& operator=(const SqliteConnection&) = delete;

    // Runs one or more statements that return no rows.
    void exec(std::string_view sql);
    SqliteStatement prepare(std::string_view sql);

    // Interrupts whatever statement runs on this connection once shouldStop
    // answers true (asked every few thousand steps of SQLite's machine); the
    // statement then fails with SQLITE_INTERRUPT. An empty function clears it.
    void setInterruptCheck(std::function<bool()> shouldStop);

    std::int64_t lastInsertRowId() const;
    int changes() const;
    std::string errorMessage() const;
    const std::string& path() const noexcept { return path_; }
    sqlite3* handle() const noexcept { return db_; }

private:
    sqlite3* db_ = nullptr;
    std::string path_;
    std::unique_ptr<std::function<bool()>> interruptCheck_;  // its address is SQLite's; stable across moves
};

class SqliteStatement {
public:
    ~SqliteStatement();
    SqliteStatement(SqliteStatement&& other) noexcept;
    SqliteStatement& operator=(SqliteStatement&& other) noexcept;
    SqliteStatement(const SqliteStatement&) = delete;
    SqliteStatement& operator=(const SqliteStatement&) = delete;

    // Parameters are 1-based; text is copied, so it need not outlive the call.
    SqliteStatement& bind(int index, std::string_view text);
    SqliteStatement& bind(int index, const char* text) { return bind(index, std::string_view(text)); }
    SqliteStatement& bind(int index, const std::string& text) { return bind(index, std::string_view(text)); }
    SqliteStatement& bind(int index, std::int64_t value);
    SqliteStatement& bind(int index, int value) { return bind(index, static_cast<std::int64_t>(value)); }
    SqliteStatement& bind(int index, double value);
    SqliteStatement& bind(int index, std::nullopt_t);
    SqliteStatement& bind(int index, const std::optional<std::string>& text);
    SqliteStatement& bind(int index, const std::optional<std::int64_t>& value);

    // True when a row is ready, false when the statement is done.
    bool step();
    // Steps a statement that returns no rows to its end.
    void run();
    // Back to the start, bindings cleared.
    void reset();

    int columnCount() const;
    bool isNull(int column) const;
    // NULL reads as "" / 0; the optional forms tell NULL apart.
    std::string text(int column) const;
    std::optional<std::string> optionalText(int column) const;
    std::int64_t int64(int column) const;
    int int32(int column) const;
    std::optional<std::int64_t> optionalInt64(int column) const;
    double real(int column) const;

private:
    friend class SqliteConnection;
    SqliteStatement(sqlite3* db, sqlite3_stmt* statement, std::string sql);
    [[noreturn]] void fail(const std::string& operation, int code) const;
    void checkBind(int index, int code) const;

    sqlite3* db_ = nullptr;
    sqlite3_stmt* statement_ = nullptr;
    std::string sql_;
};

// BEGIN on construction; ROLLBACK on destruction unless committed.
class SqliteTransaction {
public:
    enum class Kind { Deferred, Immediate };
    explicit SqliteTransaction(SqliteConnection& connection, Kind kind = Kind::Immediate);
    ~SqliteTransaction();
    SqliteTransaction(const SqliteTransaction&) = delete;
    SqliteTransaction& operator=(const SqliteTransaction&) = delete;
    void commit();

private:
    SqliteConnection& connection_;
    bool open_ = true;
};

// Brings one component's tables up to date. The component's version is kept
// in the table schema_versions; steps[i] moves version i to i + 1. All steps
// run in one immediate transaction, so connections that open the same file
// at once migrate it exactly once. A version newer than steps.size() (a file
// written by a later program) is refused with a PlatformError, untouched.
void applyMigrations(SqliteConnection& connection, std::string_view component,
                     std::span<const std::string_view> steps);

}  // namespace app::platform
