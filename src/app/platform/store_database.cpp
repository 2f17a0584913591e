#include "app/platform/store_database.hpp"

#include <sqlite3.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <system_error>
#include <thread>

#include "app/platform/defaults_store.hpp"
#include "app/platform/environment.hpp"

namespace app::platform {

std::string storeDatabasePath(const Environment& environment) {
    return environment.dataHome() + "/brisolet/store.sqlite";
}

std::string accessDecisionsPath(const Environment& environment) {
    return environment.dataHome() + "/brisolet/access.sqlite";
}

std::string calendarIndexPath(const Environment& environment) {
    return environment.dataHome() + "/brisolet/calendars.index";
}

std::string contactsDirectoryPath(const Environment& environment, DefaultsStore* defaults) {
    return dataFolderPath(environment, defaults, "contactsDirectory", "contacts");
}

std::string messagesDatabasePath(const Environment& environment) {
    return environment.homeDirectory() + "/Library/Messages/chat.db";
}

std::string dataFolderPath(const Environment& environment, DefaultsStore* defaults, std::string_view key,
                           std::string_view name) {
    if (defaults) {
        auto value = defaults->object(key);
        if (const auto* text = value ? std::get_if<std::string>(&*value) : nullptr; text && !text->empty()) {
            if (text->starts_with("~/")) return environment.homeDirectory() + text->substr(1);
            return *text;
        }
    }
    return environment.dataHome() + "/brisolet/" + std::string(name);
}

namespace {

bool isBusy(const SqliteError& error) {
    const int primary = error.code() & 0xff;
    return primary == SQLITE_BUSY || primary == SQLITE_LOCKED;
}

bool isUnusableFile(const SqliteError& error) {
    const int primary = error.code() & 0xff;
    return primary == SQLITE_NOTADB || primary == SQLITE_CORRUPT ||
           (primary == SQLITE_CANTOPEN && (error.sqliteMessage() == "not a regular file" ||
                                           error.sqliteMessage() == "it is a link, not a database file"));
}

// Switching to the write-ahead log takes a lock SQLite does not wait for
// (no busy handler on that path): when several processes open a fresh file
// at once, all but one see "database is locked". Wait as the busy timeout would.
void enableWriteAheadLog(SqliteConnection& connection) {
    const auto deadline = std::chrono::steady_clock::now() + SqliteConnection::defaultBusyTimeout;
    std::minstd_rand jitter(std::random_device{}());
    for (;;) {
        try {
            connection.exec("PRAGMA journal_mode=WAL");
            return;
        } catch (const SqliteError& error) {
            if (!isBusy(error) || std::chrono::steady_clock::now() >= deadline) throw;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2 + jitter() % 20));
    }
}

}  // namespace

SqliteConnection openStoreDatabase(const std::string& path, std::string_view what, std::string_view component,
                                   std::span<const std::string_view> steps) {
    std::string operation = "open " + std::string(what) + " " + path;
    try {
        std::string parent = std::filesystem::path(path).parent_path().string();
        std::string failed;
        if (!parent.empty()) {
            if (int error = makePrivateDirectories(parent, &failed))
                throw PlatformError(operation,
                                    "cannot create " + failed + ": " + std::generic_category().message(error));
        }
        SqliteConnection connection(path, SqliteOpenMode::ReadWriteCreate);
        // The first statements read the file: a file that is not a database fails here.
        enableWriteAheadLog(connection);
        connection.exec("PRAGMA foreign_keys=ON");
        applyMigrations(connection, component, steps);
        return connection;
    } catch (const SqliteError& error) {
        if (isUnusableFile(error)) throw UnusableStoreFile(operation, error.sqliteMessage());
        throw PlatformError(operation, error.sqliteMessage());
    } catch (const PlatformError& error) {
        if (error.operation() == operation) throw;
        throw PlatformError(operation, error.cause());
    }
}

}  // namespace app::platform
