// The Markdown notes store, which stands in for the Notes application on
// this system: the create, search and list scripts are recognised by the
// script host, and notes are Markdown files any editor can change: the
// default place is the root
// folder, each notes folder a folder under it, each note a "<title>.md" file
// holding its body. Newest first means most recently modified first.
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
    std::string path;
    std::string name;
    std::string body;                   // its plain text
    std::optional<std::string> folder;  // none: the default place

    bool operator==(const StoredNote&) const = default;
};

class MarkdownNotesStore : public platform::ScriptStandIn {
public:
    // A note body file larger than this is refused, as are files that are not regular.
    static constexpr std::size_t maxBodySize = 64 * 1024 * 1024;

    // `root` is the notes folder (made private at first use, when temp files
    // of writers killed mid-write are removed too). Notes kept in the
    // tables of an older program store at `oldStorePath` are copied into it
    // once, at first use; the tables are left as they are.
    explicit MarkdownNotesStore(std::string root, std::optional<std::string> oldStorePath = std::nullopt);

    // "notes.create": takes the first folder whose name equals the folder
    // text ignoring case; otherwise makes one unless the text is "Notes"
    // (ignoring case) or blank; reads the body file as UTF-8 and makes the
    // note there, or in the default place. A title or folder name holding a
    // control character other than a tab or line break is refused, and
    // nothing made. "notes.search": the first 20
    // notes whose name or text contains the term ignoring case, texts over
    // 200 characters cut with "...". "notes.list": the first `limit` names,
    // numbered. Notes are visited newest first, as Notes lists them.
    std::optional<std::string> perform(const platform::ScriptCall& call) override;

    // Every note, newest first; unreadable files are left out.
    std::vector<StoredNote> notes();
    // Folder names, in name order.
    std::vector<std::string> folders();

private:
    void prepareLocked();  // makes the root and carries old notes over, once
    std::vector<StoredNote> notesLocked(bool withBodies);
    // Writes a new note file under a free name in the root or the sub-folder
    // of that file name; returns its path. A folder that is a link is
    // followed; the note file never is.
    std::string writeNote(const std::optional<std::string>& folderStem, const std::string& title,
                          const std::string& body);
    void carryOver(const std::string& storePath);
    std::string create(const platform::ScriptBindings& bindings);
    std::string search(const platform::ScriptBindings& bindings);
    std::string list(const platform::ScriptBindings& bindings);

    std::string root_;
    std::optional<std::string> oldStorePath_;
    std::mutex mutex_;
    bool prepared_ = false;
};

// The file name (without extension) a title is kept under, and back: "/" is
// written as U+2215 and back; control characters become spaces, a leading
// "." gets a "_" before it, an empty title is "Untitled", and a name over
// 200 bytes is cut at a character boundary.
std::string noteFileStem(std::string_view title);
std::string titleFromFileStem(std::string_view stem);

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
