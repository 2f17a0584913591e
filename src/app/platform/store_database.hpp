// Opening the program's own SQLite file (store.sqlite): its folder is made
// when missing, the journal is a write-ahead log so several connections can
// share the file, and a failure names the store and the cause.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "app/platform/platform_error.hpp"
#include "app/platform/sqlite.hpp"

namespace app::platform {

class Environment;
class DefaultsStore;

// Where the program keeps its stores: $XDG_DATA_HOME/brisolet/store.sqlite
// and the vCard folder $XDG_DATA_HOME/brisolet/contacts.
std::string storeDatabasePath(const Environment& environment);
// The access decisions: $XDG_DATA_HOME/brisolet/access.sqlite.
std::string accessDecisionsPath(const Environment& environment);
// What the calendar store keeps between runs: $XDG_DATA_HOME/brisolet/calendars.index.
std::string calendarIndexPath(const Environment& environment);
// The message database the messages family reads:
// $HOME/Library/Messages/chat.db.
std::string messagesDatabasePath(const Environment& environment);
// The vCard folder: the one the defaults key `contactsDirectory` names, else
// $XDG_DATA_HOME/brisolet/contacts.
std::string contactsDirectoryPath(const Environment& environment, DefaultsStore* defaults = nullptr);

// A data folder the user may point elsewhere: the text under `key` in the
// defaults (a leading "~/" is the home folder) when there is one, else
// $XDG_DATA_HOME/brisolet/<name>.
std::string dataFolderPath(const Environment& environment, DefaultsStore* defaults, std::string_view key,
                           std::string_view name);

// A store file that holds no usable database (not one at all, damaged, or
// no regular file): the caller may set it aside and start afresh.
class UnusableStoreFile : public PlatformError {
public:
    using PlatformError::PlatformError;
};

// Opens (creating when missing; folders made private) and migrates `component` to the end of
// `steps`. Throws PlatformError "open <what> <path>: <cause>"; an existing
// file that is not a database (UnusableStoreFile), or one from a newer
// program, is reported and left as it is. Another process opening the same
// file at the same moment is waited for, never a failure.
SqliteConnection openStoreDatabase(const std::string& path, std::string_view what, std::string_view component,
                                   std::span<const std::string_view> steps);

}  // namespace app::platform
