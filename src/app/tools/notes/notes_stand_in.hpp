// What stands in for the Notes application on this system: the create,
// search and list scripts are recognised by the script host, and folders and
// notes live in the program's SQLite store.
#pragma once

#include "app/platform/script_host.hpp"
#include "app/platform/sqlite.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace app::tools {

struct StoredNote {
    std::int64_t id = 0;
    std::string name;
    std::string body;                   // its plain text
    std::optional<std::string> folder;  // none: the default place

    bool operator==(const StoredNote&) const = default;
};

class NotesStandIn : public platform::ScriptStandIn {
public:
    // A note body file larger than this is refused, as are files that are not regular.
    static constexpr std::size_t maxBodySize = 64 * 1024 * 1024;

    // `storePath` is the program's store (the program uses
    // $XDG_DATA_HOME/brisolet/store.sqlite), opened and migrated at first use;
    // one that cannot be opened fails that run and is tried again next time.
    explicit NotesStandIn(std::string storePath);

    // "notes.create": takes the first folder whose name equals the folder
    // text ignoring case; otherwise makes one unless the text is "Notes"
    // (ignoring case) or blank; reads the body file as UTF-8 and makes the
    // note there, or in the default place. "notes.search": the first 20
    // notes whose name or text contains the term ignoring case, texts over
    // 200 characters cut with "...". "notes.list": the first `limit` names,
    // numbered. Notes are visited newest first, as Notes lists them.
    std::optional<std::string> perform(const platform::ScriptCall& call) override;

    // Every note, newest first.
    std::vector<StoredNote> notes();
    // Folder names, oldest first.
    std::vector<std::string> folders();

private:
    platform::SqliteConnection& connection();  // caller holds mutex_
    std::string create(const platform::ScriptBindings& bindings);
    std::string search(const platform::ScriptBindings& bindings);
    std::string list(const platform::ScriptBindings& bindings);

    std::string storePath_;
    std::mutex mutex_;
    std::optional<platform::SqliteConnection> connection_;
};

// Template ids of the three scripts.
inline constexpr const char* notesCreateTemplateId = "notes.create";
inline constexpr const char* notesSearchTemplateId = "notes.search";
inline constexpr const char* notesListTemplateId = "notes.list";

// Teaches the host the three scripts (application "Notes") and gives it the
// stand-in. False (and nothing changed) when the host knows them already.
bool registerNotesScripts(platform::TemplateScriptHost& host, std::shared_ptr<platform::ScriptStandIn> standIn);

// The first `count` characters (grapheme clusters) of UTF-8 text, and
// whether the text had more.
std::pair<std::string, bool> leadingCharacters(std::string_view text, std::size_t count);

}  // namespace app::tools
