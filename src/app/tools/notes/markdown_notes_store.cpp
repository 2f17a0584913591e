#include "app/tools/notes/markdown_notes_store.hpp"

#include "app/platform/environment.hpp"
#include "app/platform/platform_error.hpp"
#include "app/platform/sqlite.hpp"
#include "app/platform/stamped_file.hpp"
#include "app/platform/unicode_text.hpp"
#include "app/tools/calendar/calendar_dates.hpp"
#include "app/tools/notes/notes_tools.hpp"
#include "json/utf8.hpp"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/utext.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <ctime>
#include <cerrno>
#include <charconv>
#include <set>
#include <tuple>
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace app::tools {

namespace {

constexpr std::string_view kNoteExtension = ".md";
constexpr std::string_view kSlashStandIn = "\u2215";
constexpr std::size_t kMaxStemBytes = 200;
// Present in the root once notes of an older store were carried over.
constexpr const char* kCarriedOverMarker = ".carried-over-from-store";

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
    // Non-blocking: a FIFO put at the name fails the type check below instead of holding the lane.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
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
    if (static_cast<std::uint64_t>(info.st_size) > MarkdownNotesStore::maxBodySize)
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
        if (bytes.size() > MarkdownNotesStore::maxBodySize)
            throw platform::ScriptFailure("Can’t read file " + path + ": it is too large.", kReadError);
    }
    return json::repairUtf8(bytes);
}


struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
};

// The body of a note file; nullopt for what is no readable regular file.
std::optional<std::string> readNoteFile(const std::string& path) {
    // Non-blocking: a FIFO swapped in after the folder was listed never holds the lane.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return std::nullopt;
    Closer closer{fd};
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
        static_cast<std::uint64_t>(info.st_size) > MarkdownNotesStore::maxBodySize)
        return std::nullopt;
    std::string bytes;
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::nullopt;
        if (n == 0) break;
        bytes.append(buffer, static_cast<std::size_t>(n));
        if (bytes.size() > MarkdownNotesStore::maxBodySize) return std::nullopt;
    }
    return json::repairUtf8(bytes);
}

bool isNoteFile(const std::filesystem::directory_entry& entry) {
    const std::string name = entry.path().filename().string();
    std::error_code ec;
    return !name.starts_with('.') && name.ends_with(kNoteExtension) && name.size() > kNoteExtension.size() &&
           entry.is_regular_file(ec);
}

// The writer's pid of a temp file notes were written through: today's names
// and the ".note-<pid>.tmp" of earlier versions.
std::optional<pid_t> noteTempWriter(std::string_view name) {
    if (auto pid = platform::tempFileWriter(name)) return pid;
    constexpr std::string_view head = ".note-", tail = ".tmp";
    if (!name.starts_with(head) || !name.ends_with(tail)) return std::nullopt;
    std::string_view digits = name.substr(head.size(), name.size() - head.size() - tail.size());
    pid_t pid = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), pid);
    if (ec != std::errc() || end != digits.data() + digits.size() || pid <= 0) return std::nullopt;
    return pid;
}

// Removes temp files whose writer is gone (killed mid-write); a link left
// under such a name is removed, never followed; a folder that is a link is
// the user's layout, and followed.
void removeLeftovers(const std::string& folder) { platform::removeAbandonedTempFiles(folder, noteTempWriter); }

// A folder notes are written into, held open so that nothing put in its
// place afterwards is written through. The notes folder and its sub-folders
// may be links the user made (to a synced folder): those are followed; the
// note file itself never is (it is made new, O_EXCL|O_NOFOLLOW, and linked
// in under a free name).
class NoteFolder {
public:
    NoteFolder(const std::string& root, const std::optional<std::string>& sub, const std::string& title) {
        root_ = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (root_ < 0) fail(title, root, errno);
        if (sub) {
            fd_ = ::openat(root_, sub->c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (fd_ < 0) {
                const int error = errno;
                ::close(root_);
                fail(title, root + "/" + *sub, error);
            }
        }
    }
    ~NoteFolder() {
        if (fd_ >= 0) ::close(fd_);
        ::close(root_);
    }
    NoteFolder(const NoteFolder&) = delete;
    NoteFolder& operator=(const NoteFolder&) = delete;

    int fd() const { return fd_ >= 0 ? fd_ : root_; }
    // The folder by its descriptor.
    std::string path() const { return "/proc/self/fd/" + std::to_string(fd()); }

private:
    [[noreturn]] static void fail(const std::string& title, const std::string& folder, int error) {
        if (error == ELOOP || error == ENOTDIR)
            throw platform::ScriptFailure("Can’t write note " + title + ": " + folder + " is not a folder.");
        throw platform::ScriptFailure("Can’t write note " + title + ": " +
                                      platform::errnoError("open " + folder, error).cause() + ".");
    }

    int root_ = -1;
    int fd_ = -1;
};

// Makes one notes folder, private; true when it is there now.
bool makeNoteFolder(const std::string& path) { return ::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST; }

}  // namespace

std::string noteFileStem(std::string_view title) {
    std::string stem;
    for (char c : json::repairUtf8(title)) {
        if (c == '/') stem += kSlashStandIn;
        else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) stem += ' ';
        else stem += c;
    }
    if (stem.empty()) stem = "Untitled";
    if (stem.starts_with('.')) stem.insert(0, "_");
    if (stem.size() > kMaxStemBytes) {
        std::size_t cut = kMaxStemBytes;
        while (cut > 0 && (static_cast<unsigned char>(stem[cut]) & 0xC0) == 0x80) --cut;
        stem.resize(cut);
    }
    return stem;
}

std::string titleFromFileStem(std::string_view stem) {
    std::string title;
    for (std::size_t at = 0; at < stem.size();) {
        if (stem.substr(at).starts_with(kSlashStandIn)) {
            title += '/';
            at += kSlashStandIn.size();
        } else {
            title += stem[at++];
        }
    }
    return title;
}


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

MarkdownNotesStore::MarkdownNotesStore(std::string root, std::optional<std::string> oldStorePath)
    : root_(std::move(root)), oldStorePath_(std::move(oldStorePath)) {}

void MarkdownNotesStore::prepareLocked() {
    if (prepared_) return;
    std::string failed;
    if (int error = platform::makePrivateDirectories(root_, &failed))
        throw platform::ScriptFailure("Can’t make the notes folder " + root_ + ": " +
                                      platform::errnoError("mkdir " + failed, error).cause() + ".");
    removeLeftovers(root_);
    for (const auto& folder : folders()) removeLeftovers(root_ + "/" + noteFileStem(folder));
    const std::string marker = root_ + "/" + kCarriedOverMarker;
    if (oldStorePath_ && !std::filesystem::exists(marker) && std::filesystem::exists(*oldStorePath_)) {
        carryOver(*oldStorePath_);
    }
    prepared_ = true;
}

void MarkdownNotesStore::carryOver(const std::string& storePath) {
    platform::SqliteConnection db(storePath, platform::SqliteOpenMode::ReadOnly);
    {
        auto check = db.prepare("SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name IN ('notes', 'note_folders')");
        if (!check.step() || check.int64(0) != 2) return;
    }
    auto select = db.prepare(
        "SELECT n.name, n.body, f.name FROM notes n LEFT JOIN note_folders f ON f.id = n.folder_id ORDER BY n.id");
    while (select.step()) {
        std::optional<std::string> folder = select.optionalText(2);
        std::optional<std::string> stem;
        if (folder) {
            stem = noteFileStem(*folder);
            if (!makeNoteFolder(root_ + "/" + *stem))
                throw platform::ScriptFailure("Can’t make the notes folder " + root_ + "/" + *stem + ": " +
                                              platform::errnoError("mkdir", errno).cause() + ".");
        }
        writeNote(stem, select.text(0), select.text(1));
    }
    int fd = ::open((root_ + "/" + kCarriedOverMarker).c_str(),
                    O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) ::close(fd);
}

std::string MarkdownNotesStore::writeNote(const std::optional<std::string>& folderStem, const std::string& title,
                                    const std::string& body) {
    // Strictly newer than every note so far, so "newest first" holds even
    // within one tick of the file system clock.
    std::int64_t newest = 0;
    for (const auto& note : notesLocked(false)) {
        struct stat info {};
        if (::stat(note.path.c_str(), &info) == 0) newest = std::max(newest, platform::nanosecondsOf(info.st_mtim));
    }
    const std::string stem = noteFileStem(title);
    const NoteFolder folder(root_, folderStem, title);
    const std::string folderPath = folderStem ? root_ + "/" + *folderStem : root_;
    std::string temp;
    int error = platform::writeTempFile(folder.path(), "note", body, {.modified = platform::stampAfter(newest)}, temp);
    if (error)
        throw platform::ScriptFailure("Can’t write note " + title + ": " + platform::errnoError("write", error).cause() + ".");
    const std::string tempName = temp.substr(temp.rfind('/') + 1);
    // A free name: an existing note (ours or another program's) is never replaced.
    for (int suffix = 1; suffix < 10000; ++suffix) {
        std::string name = stem + (suffix == 1 ? "" : " " + std::to_string(suffix)) + std::string(kNoteExtension);
        if (::linkat(folder.fd(), tempName.c_str(), folder.fd(), name.c_str(), 0) == 0) {
            ::unlinkat(folder.fd(), tempName.c_str(), 0);
            return folderPath + "/" + name;
        }
        if (errno != EEXIST) {
            error = errno;
            break;
        }
        error = EEXIST;
    }
    ::unlinkat(folder.fd(), tempName.c_str(), 0);
    throw platform::ScriptFailure("Can’t write note " + title + ": " + platform::errnoError("link", error).cause() + ".");
}

std::vector<StoredNote> MarkdownNotesStore::notesLocked(bool withBodies) {
    struct Found {
        StoredNote note;
        std::int64_t modified;
    };
    std::vector<Found> found;
    // Each folder once, however many links lead to it (one back to the root too).
    std::set<std::pair<dev_t, ino_t>> scanned;
    auto scan = [&](const std::string& folderPath, const std::optional<std::string>& folder) {
        struct stat self {};
        if (::stat(folderPath.c_str(), &self) != 0 || !scanned.emplace(self.st_dev, self.st_ino).second) return;
        std::error_code ec;
        for (std::filesystem::directory_iterator it(folderPath, ec), end; !ec && it != end; it.increment(ec)) {
            if (!isNoteFile(*it)) continue;
            struct stat info {};
            if (::stat(it->path().c_str(), &info) != 0) continue;
            StoredNote note;
            note.path = it->path().string();
            std::string stem = it->path().filename().string();
            stem.resize(stem.size() - kNoteExtension.size());
            note.name = titleFromFileStem(stem);
            note.folder = folder;
            if (withBodies) {
                auto body = readNoteFile(note.path);
                if (!body) continue;
                note.body = std::move(*body);
            }
            found.push_back({std::move(note), platform::nanosecondsOf(info.st_mtim)});
        }
    };
    scan(root_, std::nullopt);
    for (const auto& folder : folders()) scan(root_ + "/" + noteFileStem(folder), folder);
    std::stable_sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
        if (a.modified != b.modified) return a.modified > b.modified;
        return a.note.path < b.note.path;
    });
    std::vector<StoredNote> out;
    for (auto& f : found) out.push_back(std::move(f.note));
    return out;
}

std::optional<std::string> MarkdownNotesStore::perform(const platform::ScriptCall& call) {
    if (call.templateId == notesCreateTemplateId) return create(call.bindings);
    if (call.templateId == notesSearchTemplateId) return search(call.bindings);
    if (call.templateId == notesListTemplateId) return list(call.bindings);
    throw platform::ScriptFailure("Notes does not understand this script.");
}

std::string MarkdownNotesStore::create(const platform::ScriptBindings& bindings) {
    const std::string& title = bindings.text("title");
    const std::string& folder = bindings.text("folder");
    const std::string& path = bindings.text("path");
    // The title and folder name become file names, which would hold such a
    // character as a blank (and so do a tab and a line break, as ever).
    const std::tuple<const std::string&, const char*, const char*> names[] = {
        {title, "the title", "a note’s file name"}, {folder, "the folder name", "a folder’s name on disk"}};
    for (const auto& [name, what, where] : names) {
        if (const std::optional<char> c = platform::unkeptControlCharacter(name))
            throw platform::ScriptFailure("Can’t write note '" + platform::shownEscaped(title) + "': " + what + " holds " +
                                          platform::controlCharacterName(*c) + ", which " + where + " cannot hold.");
    }

    std::lock_guard lock(mutex_);
    prepareLocked();
    std::optional<std::string> folderName;
    for (const auto& name : folders()) {
        if (equalIgnoringCase(name, folder)) {
            folderName = name;
            break;
        }
    }
    // The script's try block: a folder that cannot be made leaves the default place.
    if (!folderName && !equalIgnoringCase(folder, "Notes") && !platform::splitAtWhiteSpace(folder).empty()) {
        if (makeNoteFolder(root_ + "/" + noteFileStem(folder))) folderName = folder;
    }

    std::string body = readBodyFile(path);
    writeNote(folderName ? std::optional(noteFileStem(*folderName)) : std::nullopt, title, body);
    if (folderName) return "Created note '" + title + "' in folder '" + folder + "'";
    return "Created note '" + title + "' in default folder";
}

std::string MarkdownNotesStore::search(const platform::ScriptBindings& bindings) {
    const std::string& term = bindings.text("query");
    std::string foldedTerm = platform::foldCase(term);

    std::lock_guard lock(mutex_);
    prepareLocked();
    std::vector<std::string> matches;
    for (const auto& note : notesLocked(true)) {
        if (matches.size() >= kSearchMatches) break;
        if (platform::foldCase(note.name).find(foldedTerm) == std::string::npos &&
            platform::foldCase(note.body).find(foldedTerm) == std::string::npos)
            continue;
        auto [shown, cut] = leadingCharacters(note.body, kSearchTextCharacters);
        if (cut) shown += "...";
        matches.push_back("Title: " + note.name + "\nContent: " + shown + "\n---");
    }
    if (matches.empty()) return "No notes found matching '" + term + "'";
    std::string out;
    for (std::size_t i = 0; i < matches.size(); ++i) {
        if (i) out += '\n';
        out += matches[i];
    }
    return out;
}

std::string MarkdownNotesStore::list(const platform::ScriptBindings& bindings) {
    std::int64_t limit = bindings.integer("limit");
    if (limit <= 0) return "No notes found.";

    std::lock_guard lock(mutex_);
    prepareLocked();
    std::string out;
    std::int64_t number = 0;
    for (const auto& note : notesLocked(false)) {
        if (number >= limit) break;
        if (number) out += '\n';
        out += std::to_string(++number) + ". " + note.name;
    }
    if (number == 0) return "No notes found.";
    return out;
}

std::vector<StoredNote> MarkdownNotesStore::notes() {
    std::lock_guard lock(mutex_);
    prepareLocked();
    return notesLocked(true);
}

std::vector<std::string> MarkdownNotesStore::folders() {
    std::vector<std::string> out;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(root_, ec), end; !ec && it != end; it.increment(ec)) {
        std::string name = it->path().filename().string();
        std::error_code dirError;
        if (!name.starts_with('.') && it->is_directory(dirError)) out.push_back(titleFromFileStem(name));
    }
    std::sort(out.begin(), out.end());
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
