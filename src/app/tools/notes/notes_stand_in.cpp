#include "app/tools/notes/notes_stand_in.hpp"

#include "app/platform/platform_error.hpp"
#include "app/platform/store_database.hpp"
#include "app/platform/unicode_text.hpp"
#include "app/tools/calendar/calendar_dates.hpp"
#include "app/tools/notes/notes_tools.hpp"
#include "json/utf8.hpp"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/utext.h>

#include <array>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace app::tools {

namespace {

constexpr std::array<std::string_view, 1> kMigrations = {
    "CREATE TABLE note_folders("
    "id INTEGER PRIMARY KEY AUTOINCREMENT, "
    "name TEXT NOT NULL);"
    "CREATE TABLE notes("
    "id INTEGER PRIMARY KEY AUTOINCREMENT, "
    "folder_id INTEGER REFERENCES note_folders(id) ON DELETE SET NULL, "
    "name TEXT NOT NULL, "
    "body TEXT NOT NULL, "
    "created_at TEXT NOT NULL)",
};

constexpr std::size_t kSearchMatches = 20;
constexpr std::size_t kSearchTextCharacters = 200;

// The script runner's error numbers for a missing file and a failed read.
constexpr std::int64_t kFileNotFound = -43;
constexpr std::int64_t kReadError = -36;

// AppleScript's default comparison: case ignored, everything else considered.
bool equalIgnoringCase(std::string_view a, std::string_view b) {
    return platform::foldCase(a) == platform::foldCase(b);
}

// `read file POSIX file path as «class utf8»`.
std::string readBodyFile(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        int error = errno;
        if (error == ENOENT) throw platform::ScriptFailure("File " + path + " wasn’t found.", kFileNotFound);
        throw platform::ScriptFailure("Can’t read file " + path + ": " + platform::errnoError("open", error).cause(),
                                      kReadError);
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
        throw platform::ScriptFailure("Can’t read file " + path + ": not a regular file.", kReadError);
    if (static_cast<std::uint64_t>(info.st_size) > NotesStandIn::maxBodySize)
        throw platform::ScriptFailure("Can’t read file " + path + ": it is too large.", kReadError);
    std::string bytes;
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw platform::ScriptFailure("Can’t read file " + path + ": " + platform::errnoError("read", errno).cause(),
                                          kReadError);
        }
        if (n == 0) break;
        bytes.append(buffer, static_cast<std::size_t>(n));
        if (bytes.size() > NotesStandIn::maxBodySize)
            throw platform::ScriptFailure("Can’t read file " + path + ": it is too large.", kReadError);
    }
    return json::repairUtf8(bytes);
}

}  // namespace

std::pair<std::string, bool> leadingCharacters(std::string_view text, std::size_t count) {
    std::string repaired = json::repairUtf8(text);
    UErrorCode status = U_ZERO_ERROR;
    UText* utext = utext_openUTF8(nullptr, repaired.data(), static_cast<int64_t>(repaired.size()), &status);
    std::unique_ptr<icu::BreakIterator> characters(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status) || !characters) {
        utext_close(utext);
        throw std::runtime_error(std::string("character boundaries unavailable: ") + u_errorName(status));
    }
    characters->setText(utext, status);
    std::size_t taken = 0;
    int32_t end = 0;
    int32_t boundary = characters->first();
    while (taken < count) {
        boundary = characters->next();
        if (boundary == icu::BreakIterator::DONE) break;
        end = boundary;
        ++taken;
    }
    bool more = taken == count && characters->next() != icu::BreakIterator::DONE;
    characters.reset();
    utext_close(utext);
    if (!more) return {std::move(repaired), false};
    return {repaired.substr(0, static_cast<std::size_t>(end)), true};
}

NotesStandIn::NotesStandIn(std::string storePath) : storePath_(std::move(storePath)) {}

platform::SqliteConnection& NotesStandIn::connection() {
    if (!connection_) connection_.emplace(platform::openStoreDatabase(storePath_, "notes store", "notes", kMigrations));
    return *connection_;
}

std::optional<std::string> NotesStandIn::perform(const platform::ScriptCall& call) {
    if (call.templateId == notesCreateTemplateId) return create(call.bindings);
    if (call.templateId == notesSearchTemplateId) return search(call.bindings);
    if (call.templateId == notesListTemplateId) return list(call.bindings);
    throw platform::ScriptFailure("Notes does not understand this script.");
}

std::string NotesStandIn::create(const platform::ScriptBindings& bindings) {
    const std::string& title = bindings.text("title");
    const std::string& folder = bindings.text("folder");
    const std::string& path = bindings.text("path");

    std::lock_guard lock(mutex_);
    platform::SqliteConnection& db = connection();

    std::optional<std::int64_t> folderId;
    {
        auto select = db.prepare("SELECT id, name FROM note_folders ORDER BY id");
        while (select.step()) {
            if (equalIgnoringCase(select.text(1), folder)) {
                folderId = select.int64(0);
                break;
            }
        }
    }
    // The script's try block: a folder that cannot be made leaves the default place.
    if (!folderId && !equalIgnoringCase(folder, "Notes") && !platform::splitAtWhiteSpace(folder).empty()) {
        db.prepare("INSERT INTO note_folders(name) VALUES(?)").bind(1, folder).run();
        folderId = db.lastInsertRowId();
    }

    std::string body = readBodyFile(path);
    db.prepare("INSERT INTO notes(folder_id, name, body, created_at) VALUES(?, ?, ?, ?)")
        .bind(1, folderId)
        .bind(2, title)
        .bind(3, body)
        .bind(4, formatInternetDateTime(systemNow()))
        .run();
    if (folderId) return "Created note '" + title + "' in folder '" + folder + "'";
    return "Created note '" + title + "' in default folder";
}

std::string NotesStandIn::search(const platform::ScriptBindings& bindings) {
    const std::string& term = bindings.text("query");
    std::string foldedTerm = platform::foldCase(term);

    std::lock_guard lock(mutex_);
    auto select = connection().prepare("SELECT name, body FROM notes ORDER BY id DESC");
    std::vector<std::string> matches;
    while (matches.size() < kSearchMatches && select.step()) {
        std::string name = select.text(0);
        std::string text = select.text(1);
        if (platform::foldCase(name).find(foldedTerm) == std::string::npos &&
            platform::foldCase(text).find(foldedTerm) == std::string::npos)
            continue;
        auto [shown, cut] = leadingCharacters(text, kSearchTextCharacters);
        if (cut) shown += "...";
        matches.push_back("Title: " + name + "\nContent: " + shown + "\n---");
    }
    if (matches.empty()) return "No notes found matching '" + term + "'";
    std::string out;
    for (std::size_t i = 0; i < matches.size(); ++i) {
        if (i) out += '\n';
        out += matches[i];
    }
    return out;
}

std::string NotesStandIn::list(const platform::ScriptBindings& bindings) {
    std::int64_t limit = bindings.integer("limit");
    if (limit <= 0) return "No notes found.";

    std::lock_guard lock(mutex_);
    auto select = connection().prepare("SELECT name FROM notes ORDER BY id DESC LIMIT ?");
    select.bind(1, limit);
    std::string out;
    std::int64_t number = 0;
    while (select.step()) {
        if (number) out += '\n';
        out += std::to_string(++number) + ". " + select.text(0);
    }
    if (number == 0) return "No notes found.";
    return out;
}

std::vector<StoredNote> NotesStandIn::notes() {
    std::lock_guard lock(mutex_);
    auto select = connection().prepare(
        "SELECT n.id, n.name, n.body, f.name FROM notes n LEFT JOIN note_folders f ON f.id = n.folder_id "
        "ORDER BY n.id DESC");
    std::vector<StoredNote> out;
    while (select.step()) out.push_back({select.int64(0), select.text(1), select.text(2), select.optionalText(3)});
    return out;
}

std::vector<std::string> NotesStandIn::folders() {
    std::lock_guard lock(mutex_);
    auto select = connection().prepare("SELECT name FROM note_folders ORDER BY id");
    std::vector<std::string> out;
    while (select.step()) out.push_back(select.text(0));
    return out;
}

bool registerNotesScripts(platform::TemplateScriptHost& host, std::shared_ptr<platform::ScriptStandIn> standIn) {
    if (host.recognise(notesListScript(1))) return false;
    host.registerTemplate(notesCreateTemplateId, "Notes", notesCreateTemplate);
    host.registerTemplate(notesSearchTemplateId, "Notes", notesSearchTemplate);
    host.registerTemplate(notesListTemplateId, "Notes", notesListTemplate);
    host.registerStandIn("Notes", std::move(standIn));
    return true;
}

}  // namespace app::tools
