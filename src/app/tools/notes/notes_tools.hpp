// The notes family: "create_note", "search_notes" and "list_notes", all
// through scripts of the Notes application. A note's body never enters a
// script: it travels through a private temporary file the script reads.
#pragma once

#include "app/platform/diagnostic_sink.hpp"
#include "app/platform/environment.hpp"
#include "app/platform/script_host.hpp"
#include "app/tools/registry/tool_family.hpp"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace app::tools {

std::vector<MCPTool> notesToolDefinitions();

// The three scripts, with slots ⟦title⟧ ⟦folder⟧ ⟦path⟧ (create), ⟦query⟧
// (search) and ⟦limit⟧ (list, an integer in code).
extern const std::string_view notesCreateTemplate;
extern const std::string_view notesSearchTemplate;
extern const std::string_view notesListTemplate;

// The scripts with their values; texts are quoted for their string
// literals. The search term is placed as given (the family lower-cases it).
std::string notesCreateScript(std::string_view title, std::string_view folder, std::string_view path);
std::string notesSearchScript(std::string_view searchTerm);
std::string notesListScript(std::int64_t limit);

class NotesToolFamily : public ToolFamily {
public:
    // Throws std::invalid_argument for a null environment or script host.
    // Failures the replies leave out (the temporary file's) go to
    // `diagnostics`; a null sink is standard error. Removes the note files
    // killed writers left in the temporary directory.
    NotesToolFamily(std::shared_ptr<platform::Environment> environment,
                    std::shared_ptr<platform::ScriptHost> scriptHost,
                    std::shared_ptr<platform::DiagnosticSink> diagnostics = nullptr);

    ToolSwitch toolSwitch() const override { return ToolSwitch::Notes; }
    std::vector<MCPTool> definitions() const override { return notesToolDefinitions(); }
    // Throws ToolError "NotesTool" 400 for a missing argument, 404 "Unknown
    // notes tool: <name>", 500 when the temporary file cannot be written or
    // the script fails.
    ToolResult run(const std::string& name, const Arguments& arguments, std::stop_token stop) override;

    // The script's text ("Success" when it gives none). Throws ToolError
    // "NotesTool" 500 "Failed to compile AppleScript" or "AppleScript Error: <message>".
    std::string runAppleScript(std::string_view source);

    // The tools, as their rows run them.
    std::string createNote(const Arguments& arguments);
    std::string searchNotes(const Arguments& arguments);
    std::string listNotes(const Arguments& arguments);

private:
    std::shared_ptr<platform::Environment> environment_;
    std::shared_ptr<platform::ScriptHost> scriptHost_;
    std::shared_ptr<platform::DiagnosticSink> diagnostics_;
};

// A note body on its way to the Notes script: "note-content-<UUID>.txt" in
// `directory`, mode 0600, written whole (an unnamed file, or a side file made
// with O_EXCL) before it gets its name, which never replaces anything. It is
// locked while it lives and removed when destroyed; a failure to remove it
// goes to `diagnostics`, when given.
class NoteContentFile {
public:
    // Throws PlatformError when the file cannot be made or written (nothing is left behind then).
    NoteContentFile(const std::string& directory, const std::string& uuid, std::string_view content,
                    std::shared_ptr<platform::DiagnosticSink> diagnostics = nullptr);
    ~NoteContentFile();
    NoteContentFile(const NoteContentFile&) = delete;
    NoteContentFile& operator=(const NoteContentFile&) = delete;

    const std::string& path() const { return path_; }

    // Removes from `directory` the note files (and side files) whose writer
    // is gone: killed before it could remove them.
    static void removeAbandoned(const std::string& directory);

private:
    std::string path_;
    int lock_ = -1;
    std::shared_ptr<platform::DiagnosticSink> diagnostics_;
};

}  // namespace app::tools
