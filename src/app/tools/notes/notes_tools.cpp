#include "app/tools/notes/notes_tools.hpp"

#include "app/platform/apple_script.hpp"
#include "app/platform/platform_error.hpp"
#include "app/platform/unicode_text.hpp"
#include "app/tools/registry/script_reply.hpp"
#include "app/tools/registry/tool_error.hpp"
#include "app/tools/registry/tool_row.hpp"

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <map>
#include <optional>
#include <stdexcept>
#include <unistd.h>

namespace app::tools {

namespace {

constexpr const char* kDomain = "NotesTool";
constexpr std::int64_t kDefaultLimit = 50;
constexpr std::string_view kNoteFileHead = "note-content-", kNoteFileTail = ".txt", kSideFileTail = ".partial";
constexpr auto kSideFileGrace = std::chrono::seconds(10);

void writeAll(int fd, std::string_view bytes, const std::string& path) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            throw platform::errnoError("write " + path, errno);
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

// Moves `from` to `to` unless something already stands at `to`.
void renameNoReplace(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return;
    int error = errno;
    if (error != EINVAL && error != ENOSYS && error != ENOTSUP) throw platform::errnoError("rename " + from, error);
    // A file system without the flag: a hard link never replaces either.
    if (::link(from.c_str(), to.c_str()) != 0) throw platform::errnoError("link " + to, errno);
    ::unlink(from.c_str());
}

const ToolRow<std::string (NotesToolFamily::*)(const Arguments&)> kNotesTools[] = {
    {"create_note", "Create a new note with a title and content.", "创建具有标题和内容的新备忘录。",
     objectSchema(AnyMap{{"title", schemaProperty("string", "Note Title")},
                         {"content", schemaProperty("string", "Note Content")},
                         {"folder", schemaProperty("string", "Folder name (default: Notes)")}},
                  AnyList{"title", "content"}),
     &NotesToolFamily::createNote},
    {"search_notes", "Search for notes matching a keyword.", "按关键词搜索备忘录。",
     objectSchema(AnyMap{{"query", schemaProperty("string", "Search keyword")}}, AnyList{"query"}),
     &NotesToolFamily::searchNotes},
    {"list_notes", "List recent notes in the library.", "列出最近的备忘录。",
     objectSchema(AnyMap{{"limit", schemaProperty("integer", "Maximum number of notes to return (default: 50)")}},
                  AnyList{}),
     &NotesToolFamily::listNotes},
};

}  // namespace

// The scripts as Notes is sent them; lines that look empty keep the blanks of their indentation.
const std::string_view notesCreateTemplate =
    "tell application \"Notes\"\n"
    "    activate\n"
    "    set targetFolder to null\n"
    "    set folderFound to false\n"
    "    \n"
    "    try\n"
    "        set allFolders to folders\n"
    "        repeat with currentFolder in allFolders\n"
    "            if name of currentFolder is \"⟦folder⟧\" then\n"
    "                set targetFolder to currentFolder\n"
    "                set folderFound to true\n"
    "                exit repeat\n"
    "            end if\n"
    "        end repeat\n"
    "    on error\n"
    "    end try\n"
    "    \n"
    "    -- If folder not found and it's a specific one we want to create, try creating it\n"
    "    if not folderFound and (\"⟦folder⟧\" is not \"Notes\") then\n"
    "        try\n"
    "            make new folder with properties {name:\"⟦folder⟧\"}\n"
    "            set targetFolder to folder \"⟦folder⟧\"\n"
    "            set folderFound to true\n"
    "        on error\n"
    "            -- Fallback to default behavior (usually creates in default account)\n"
    "        end try\n"
    "    end if\n"
    "    \n"
    "    set noteContent to read file POSIX file \"⟦path⟧\" as «class utf8»\n"
    "    \n"
    "    if folderFound and targetFolder is not null then\n"
    "        make new note at targetFolder with properties {name:\"⟦title⟧\", body:noteContent}\n"
    "        return \"Created note '⟦title⟧' in folder '⟦folder⟧'\"\n"
    "    else\n"
    "        make new note with properties {name:\"⟦title⟧\", body:noteContent}\n"
    "        return \"Created note '⟦title⟧' in default folder\"\n"
    "    end if\n"
    "end tell";

const std::string_view notesSearchTemplate =
    "tell application \"Notes\"\n"
    "    set matchedNotes to {}\n"
    "    set noteCount to 0\n"
    "    set searchTerm to \"⟦query⟧\"\n"
    "    \n"
    "    set allNotes to notes\n"
    "    \n"
    "    repeat with i from 1 to (count of allNotes)\n"
    "        if noteCount >= 20 then exit repeat\n"
    "        \n"
    "        try\n"
    "            set currentNote to item i of allNotes\n"
    "            set noteName to name of currentNote\n"
    "            set noteContent to plaintext of currentNote\n"
    "            \n"
    "            if (noteName contains searchTerm) or (noteContent contains searchTerm) then\n"
    "                if (length of noteContent) > 200 then\n"
    "                    set noteContent to (characters 1 thru 200 of noteContent) as string\n"
    "                    set noteContent to noteContent & \"...\"\n"
    "                end if\n"
    "                \n"
    "                set end of matchedNotes to \"Title: \" & noteName & \"\n"
    "Content: \" & noteContent & \"\n"
    "---\"\n"
    "                set noteCount to noteCount + 1\n"
    "            end if\n"
    "        on error\n"
    "        end try\n"
    "    end repeat\n"
    "    \n"
    "    if (count of matchedNotes) is 0 then\n"
    "        return \"No notes found matching '\" & searchTerm & \"'\"\n"
    "    end if\n"
    "    \n"
    "    set AppleScript's text item delimiters to \"\n"
    "\"\n"
    "    return matchedNotes as string\n"
    "end tell";

const std::string_view notesListTemplate =
    "tell application \"Notes\"\n"
    "    set notesList to {}\n"
    "    set noteCount to 0\n"
    "    set allNotes to notes\n"
    "    \n"
    "    repeat with i from 1 to (count of allNotes)\n"
    "        if noteCount >= ⟦limit⟧ then exit repeat\n"
    "        \n"
    "        try\n"
    "            set currentNote to item i of allNotes\n"
    "            set noteName to name of currentNote\n"
    "            set noteCount to noteCount + 1\n"
    "            set end of notesList to (noteCount as string) & \". \" & noteName\n"
    "        on error\n"
    "        end try\n"
    "    end repeat\n"
    "    \n"
    "    if (count of notesList) is 0 then\n"
    "        return \"No notes found.\"\n"
    "    end if\n"
    "    \n"
    "    set AppleScript's text item delimiters to \"\n"
    "\"\n"
    "    return notesList as string\n"
    "end tell";

std::string notesCreateScript(std::string_view title, std::string_view folder, std::string_view path) {
    return platform::filledScript(notesCreateTemplate, {{"title", platform::appleScriptEscaped(title)},
                                                        {"folder", platform::appleScriptEscaped(folder)},
                                                        {"path", platform::appleScriptEscaped(path)}});
}

std::string notesSearchScript(std::string_view searchTerm) {
    return platform::filledScript(notesSearchTemplate, {{"query", platform::appleScriptEscaped(searchTerm)}});
}

std::string notesListScript(std::int64_t limit) {
    return platform::filledScript(notesListTemplate, {{"limit", std::to_string(limit)}});
}

// NoteContentFile

NoteContentFile::NoteContentFile(const std::string& directory, const std::string& uuid, std::string_view content,
                                 std::shared_ptr<platform::DiagnosticSink> diagnostics)
    : diagnostics_(std::move(diagnostics)) {
    std::string folder = directory.empty() ? "." : directory;
    if (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    std::string name = std::string(kNoteFileHead) + uuid + std::string(kNoteFileTail);
    std::string finalPath = folder + "/" + name;

    // The file is locked while it lives, so a later start tells a live
    // writer's file from one a killed writer left. An unnamed file is named
    // only when whole: a writer killed before that leaves nothing.
    int fd = ::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (fd >= 0) {
        try {
            if (::flock(fd, LOCK_EX) != 0) throw platform::errnoError("lock " + finalPath, errno);
            writeAll(fd, content, finalPath);
            const std::string handle = "/proc/self/fd/" + std::to_string(fd);
            if (::linkat(AT_FDCWD, handle.c_str(), AT_FDCWD, finalPath.c_str(), AT_SYMLINK_FOLLOW) != 0)
                throw platform::errnoError("link " + finalPath, errno);
        } catch (...) {
            ::close(fd);
            throw;
        }
        lock_ = fd;
        path_ = std::move(finalPath);
        return;
    }
    // A file system without unnamed files: a side file, locked at once.
    std::string sidePath = folder + "/." + name + std::string(kSideFileTail);
    fd = ::open(sidePath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) throw platform::errnoError("create " + sidePath, errno);
    try {
        if (::flock(fd, LOCK_EX) != 0) throw platform::errnoError("lock " + sidePath, errno);
        writeAll(fd, content, sidePath);
        renameNoReplace(sidePath, finalPath);
    } catch (...) {
        ::close(fd);
        ::unlink(sidePath.c_str());
        throw;
    }
    lock_ = fd;
    path_ = std::move(finalPath);
}

void NoteContentFile::removeAbandoned(const std::string& directory) {
    int folder = ::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) return;
    DIR* dir = ::fdopendir(folder);
    if (!dir) {
        ::close(folder);
        return;
    }
    auto isUuid = [](std::string_view text) {
        if (text.size() != 36) return false;
        for (std::size_t i = 0; i < text.size(); ++i) {
            const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
            if (dash ? text[i] != '-' : !std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
        }
        return true;
    };
    std::vector<std::pair<std::string, bool>> found;  // name, whether a side file
    while (dirent* entry = ::readdir(dir)) {
        std::string_view name = entry->d_name;
        const bool side = name.starts_with('.') && name.ends_with(kSideFileTail);
        if (side) name = name.substr(1, name.size() - 1 - kSideFileTail.size());
        if (name.starts_with(kNoteFileHead) && name.ends_with(kNoteFileTail) &&
            isUuid(name.substr(kNoteFileHead.size(), name.size() - kNoteFileHead.size() - kNoteFileTail.size())))
            found.emplace_back(entry->d_name, side);
    }
    const auto now = std::chrono::system_clock::now();
    for (const auto& [name, side] : found) {
        int fd = ::openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) continue;
        struct stat info {};
        struct stat named {};
        // Ours, unlocked (its writer is gone) and still the file under the
        // name. A side file is locked a moment after it is made: a fresh one is left alone.
        const bool gone = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::geteuid() &&
                          ::flock(fd, LOCK_EX | LOCK_NB) == 0 &&
                          ::fstatat(folder, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
                          named.st_ino == info.st_ino && named.st_dev == info.st_dev &&
                          (!side || now - std::chrono::system_clock::from_time_t(info.st_mtime) > kSideFileGrace);
        if (gone) ::unlinkat(folder, name.c_str(), 0);
        ::close(fd);
    }
    ::closedir(dir);
}

NoteContentFile::~NoteContentFile() {
    const bool removed = ::unlink(path_.c_str()) == 0 || errno == ENOENT;
    const int error = errno;
    if (lock_ >= 0) ::close(lock_);
    if (removed || !diagnostics_) return;
    try {
        diagnostics_->write(platform::errnoError("remove temporary note file " + path_, error).what());
    } catch (...) {
        // Nothing more to do about a file that will not go.
    }
}

// NotesToolFamily

NotesToolFamily::NotesToolFamily(std::shared_ptr<platform::Environment> environment,
                                 std::shared_ptr<platform::ScriptHost> scriptHost,
                                 std::shared_ptr<platform::DiagnosticSink> diagnostics)
    : environment_(std::move(environment)), scriptHost_(std::move(scriptHost)), diagnostics_(std::move(diagnostics)) {
    if (!environment_) throw std::invalid_argument("NotesToolFamily needs an environment");
    if (!scriptHost_) throw std::invalid_argument("NotesToolFamily needs a script host");
    if (!diagnostics_) diagnostics_ = std::make_shared<platform::StderrDiagnosticSink>();
    NoteContentFile::removeAbandoned(environment_->temporaryDirectory());
}

std::vector<MCPTool> notesToolDefinitions() { return toolDefinitions(kNotesTools); }

ToolResult NotesToolFamily::run(const std::string& name, const Arguments& arguments, std::stop_token) {
    return (this->*toolNamed(kNotesTools, name, kDomain, "notes").handler)(arguments);
}

std::string NotesToolFamily::runAppleScript(std::string_view source) {
    return scriptReply(scriptHost_->run(source), kDomain);
}

std::string NotesToolFamily::createNote(const Arguments& arguments) {
    auto title = textArgument(arguments, "title");
    auto content = textArgument(arguments, "content");
    if (!title || !content) throw ToolError(kDomain, 400, "Missing 'title' or 'content'");
    std::string folder = textArgument(arguments, "folder").value_or("Notes");

    std::optional<NoteContentFile> file;
    try {
        file.emplace(environment_->temporaryDirectory(), environment_->makeUuid(), *content, diagnostics_);
    } catch (const std::exception& error) {
        diagnostics_->write(std::string("create_note: ") + error.what());
        throw ToolError(kDomain, 500, "Failed to write temporary file");
    }
    // The file goes with `file`, whatever the script's outcome.
    return runAppleScript(notesCreateScript(*title, folder, file->path()));
}

std::string NotesToolFamily::searchNotes(const Arguments& arguments) {
    auto query = textArgument(arguments, "query");
    if (!query) throw ToolError(kDomain, 400, "Missing 'query' argument");
    return runAppleScript(notesSearchScript(platform::lowercased(*query)));
}

std::string NotesToolFamily::listNotes(const Arguments& arguments) {
    return runAppleScript(notesListScript(intArgument(arguments, "limit").value_or(kDefaultLimit)));
}

}  // namespace app::tools
