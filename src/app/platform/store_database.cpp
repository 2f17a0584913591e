#include "app/platform/store_database.hpp"

#include <filesystem>
#include <system_error>

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

SqliteConnection openStoreDatabase(const std::string& path, std::string_view what, std::string_view component,
                                   std::span<const std::string_view> steps) {
    std::string operation = "open " + std::string(what) + " " + path;
    try {
        std::filesystem::path parent = std::filesystem::path(path).parent_path();
        if (!parent.empty()) {
            std::error_code error;
            std::filesystem::create_directories(parent, error);
            if (error) throw PlatformError(operation, "cannot create " + parent.string() + ": " + error.message());
        }
        SqliteConnection connection(path, SqliteOpenMode::ReadWriteCreate);
        // The first statements read the file: a file that is not a database fails here.
        connection.exec("PRAGMA journal_mode=WAL");
        connection.exec("PRAGMA foreign_keys=ON");
        applyMigrations(connection, component, steps);
        return connection;
    } catch (const SqliteError& error) {
        throw PlatformError(operation, error.sqliteMessage());
    } catch (const PlatformError& error) {
        if (error.operation() == operation) throw;
        throw PlatformError(operation, error.cause());
    }
}

}  // namespace app::platform
