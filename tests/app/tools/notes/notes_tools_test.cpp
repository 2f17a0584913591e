#include "app/tools/notes/notes_tools.hpp"

#include "app/platform/access_prompter.hpp"
#include "app/platform/apple_script.hpp"
#include "app/platform/diagnostic_sink.hpp"
#include "app/platform/platform.hpp"
#include "app/platform/scratch_dir.hpp"
#include "app/platform/sqlite.hpp"
#include "app/tools/contacts_messages_notes_support.hpp"
#include "app/tools/tool_test_support.hpp"
#include "app/tools/notes/markdown_notes_store.hpp"
#include "support/fake_access_prompter.hpp"
#include "support/memory_diagnostic_sink.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <thread>
#include <tuple>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace app::tools {
namespace {
using testing::expectToolError;

// Passes scripts on, noting each note file the script names while it still exists.
class InspectingHost : public platform::ScriptHost {
public:
    struct SeenFile {
        std::string path;
        unsigned mode = 0;
        std::string content;
    };

    explicit InspectingHost(std::shared_ptr<platform::ScriptHost> inner) : inner_(std::move(inner)) {}

    platform::ScriptRun run(std::string_view source) override {
        for (const auto& literal : platform::lexAppleScript(source).literals) {
            if (literal.find("/note-content-") == std::string::npos) continue;
            struct stat info {};
            SeenFile seen{literal, 0, {}};
            if (::stat(literal.c_str(), &info) == 0) seen.mode = info.st_mode & 07777;
            seen.content = testsupport::readFile(literal);
            files.push_back(seen);
        }
        return inner_->run(source);
    }

    std::vector<SeenFile> files;

private:
    std::shared_ptr<platform::ScriptHost> inner_;
};

class NotesToolsTest : public ::testing::Test {
protected:
    NotesToolsTest() {
        auto host = std::make_shared<platform::TemplateScriptHost>(prompter);
        EXPECT_TRUE(registerNotesScripts(*host, standIn));
        inspecting = std::make_shared<InspectingHost>(host);
        family = std::make_unique<NotesToolFamily>(environment, inspecting, diagnostics);
    }

    std::string call(const std::string& name, const Arguments& arguments = {}) { return family->handle(name, arguments, {}); }

    std::string create(const std::string& title, const std::string& content) { return call("create_note", {{"title", title}, {"content", content}}); }

    testsupport::ScratchDir dir;
    std::shared_ptr<platform::FakeAccessPrompter> prompter = std::make_shared<platform::FakeAccessPrompter>();
    std::shared_ptr<MarkdownNotesStore> standIn = std::make_shared<MarkdownNotesStore>(dir.file("data/notes"));
    std::shared_ptr<platform::MemoryDiagnosticSink> diagnostics = std::make_shared<platform::MemoryDiagnosticSink>();
    std::shared_ptr<cmntest::FixedEnvironment> environment = std::make_shared<cmntest::FixedEnvironment>(dir.path());
    std::shared_ptr<InspectingHost> inspecting;
    std::unique_ptr<NotesToolFamily> family;
};

// The title and body read back are rows of the text round-trip table.
TEST_F(NotesToolsTest, CreateKeepsQuotesBackslashesAndLineBreaks) {
    const std::string title = "Say \"hi\" \\ to C:\\dir\\";
    const std::string body = "He said \"yes\"\nPath C:\\temp\\\\ 中文\r\n\ttab \\\" end";
    EXPECT_EQ(call("create_note", {{"title", title}, {"content", body}, {"folder", "Work \"2\""}}),
              "Created note '" + title + "' in folder 'Work \"2\"'");

    auto notes = standIn->notes();
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0].folder, "Work \"2\"");

    // The body went through a private file that is gone now.
    ASSERT_EQ(inspecting->files.size(), 1u);
    const auto& seen = inspecting->files[0];
    EXPECT_EQ(seen.mode, 0600u);
    EXPECT_EQ(seen.content, body);
    EXPECT_TRUE(std::regex_match(seen.path, std::regex(".*/tmp/note-content-[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}\\.txt")))
        << seen.path;
    EXPECT_TRUE(cmntest::folderEntries(environment->temp).empty());
}

// A title or folder name is a file name: a control character it would hold
// as a blank is refused, and nothing is made; a tab or line break becomes a blank.
TEST_F(NotesToolsTest, TitlesAndFoldersAFileNameCannotHoldAreRefused) {
    const std::string refused = "AppleScript Error: Can’t write note '";
    const std::tuple<std::string, std::string, std::string> rows[] = {  // title, folder, error
        {std::string("N\0x", 3), "Notes",
         refused + "N\\u0000x': the title holds a NUL character, which a note’s file name cannot hold."},
        {"CR\rinside", "Work",
         refused + "CR\\rinside': the title holds a carriage return (\\r) without a line feed after it, which a "
                   "note’s file name cannot hold."},
        {"T", "W\u0001\u007f",
         refused + "T': the folder name holds the control character \\u0001, which a folder’s name on disk cannot hold."},
        {"a\tb\r\nc", "F\tG", ""},
    };
    for (const auto& [title, folder, error] : rows) {
        SCOPED_TRACE(title);
        const Arguments arguments{{"title", title}, {"content", "c"}, {"folder", folder}};
        if (error.empty()) {
            EXPECT_EQ(call("create_note", arguments), "Created note '" + title + "' in folder '" + folder + "'");
            continue;
        }
        expectToolError([&] { call("create_note", arguments); }, ToolError("NotesTool", 500, error));
    }
    auto notes = standIn->notes();
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(std::tie(notes[0].name, notes[0].folder), std::make_tuple("a b  c", std::optional<std::string>("F G")));
    EXPECT_EQ(cmntest::folderEntries(dir.file("data/notes")), std::vector<std::string>{"F G"});
    EXPECT_TRUE(cmntest::folderEntries(environment->temp).empty());
}

TEST_F(NotesToolsTest, ANameTakenAtTheFinalPathIsNeverReplaced) {
    environment->uuid = "0F1E2D3C-4B5A-4978-8796-A5B4C3D2E1F0";
    const std::string taken = environment->temp + "/note-content-" + environment->uuid + ".txt";
    testsupport::writeFile(taken, "someone else's");
    expectToolError([&] { create("t", "c"); }, ToolError("NotesTool", 500, "Failed to write temporary file"));
    EXPECT_EQ(testsupport::readFile(taken), "someone else's");
    EXPECT_EQ(cmntest::folderEntries(environment->temp), std::vector<std::string>{"note-content-" + environment->uuid + ".txt"});
}

TEST_F(NotesToolsTest, SearchIgnoresCaseAndAnswersWithTheLowerCasedTerm) {
    create("Q3 Budget", "numbers");
    create("Groceries", "milk, BUDGET apples");
    create("Trip", "nothing here");
    create("Obst", "Äpfel und Birnen");
    EXPECT_EQ(call("search_notes", {{"query", "BUDGET"}}),
              "Title: Groceries\nContent: milk, BUDGET apples\n---\nTitle: Q3 Budget\nContent: numbers\n---");
    EXPECT_EQ(call("search_notes", {{"query", "ÄPFEL"}}), "Title: Obst\nContent: Äpfel und Birnen\n---");
    EXPECT_EQ(call("search_notes", {{"query", "ÉCOLE"}}), "No notes found matching 'école'");
}

TEST_F(NotesToolsTest, LongTextsAreCutAtTwoHundredCharactersNotBytes) {
    auto repeat = [](const std::string& unit, int n) {
        std::string out;
        for (int i = 0; i < n; ++i) out += unit;
        return out;
    };
    const std::tuple<const char*, std::string, std::string> cases[] = {  // label, body, shown
        {"300 Chinese", repeat("中", 300), repeat("中", 200) + "..."},
        {"exactly 200", repeat("文", 200), repeat("文", 200)},
        {"201 ASCII", repeat("a", 201), repeat("a", 200) + "..."},
        // A letter with its combining accent is one character.
        {"combining", repeat("e\u0301", 250), repeat("e\u0301", 200) + "..."},
        {"emoji", repeat("👍🏽", 201), repeat("👍🏽", 200) + "..."},
    };
    for (const auto& [label, body, shown] : cases) {
        create(std::string("cut ") + label, body);
        EXPECT_EQ(call("search_notes", {{"query", std::string("cut ") + label}}),
                  std::string("Title: cut ") + label + "\nContent: " + shown + "\n---");
    }
}

// Notes are files other editors share: what they change is seen on the next call.
TEST_F(NotesToolsTest, FilesChangedOnDiskAreSeenOnTheNextCall) {
    create("Plan a/b", "first draft");
    create("Plan a/b", "second note, same title");
    const std::string root = dir.file("data/notes");
    EXPECT_EQ(testsupport::readFile(root + "/Plan a\u2215b.md"), "first draft");
    EXPECT_EQ(testsupport::readFile(root + "/Plan a\u2215b 2.md"), "second note, same title");
    EXPECT_EQ(call("list_notes"), "1. Plan a/b 2\n2. Plan a/b");

    // Another editor rewrites one note and adds one in a folder of its own.
    testsupport::writeFile(root + "/Plan a\u2215b.md", "edited elsewhere: zebra");
    std::filesystem::create_directories(root + "/Home");
    testsupport::writeFile(root + "/Home/Shopping.md", "milk");
    testsupport::writeFile(root + "/.hidden.md", "zebra");
    testsupport::writeFile(root + "/readme.txt", "zebra");
    EXPECT_EQ(call("search_notes", {{"query", "ZEBRA"}}), "Title: Plan a/b\nContent: edited elsewhere: zebra\n---");
    EXPECT_EQ(call("create_note", {{"title", "Eggs"}, {"content", "x"}, {"folder", "home"}}),
              "Created note 'Eggs' in folder 'home'");
    EXPECT_EQ(testsupport::readFile(root + "/Home/Eggs.md"), "x");
    EXPECT_EQ(standIn->folders(), std::vector<std::string>{"Home"});
    std::filesystem::remove(root + "/Plan a\u2215b 2.md");
    EXPECT_EQ(call("list_notes", {{"limit", 2}}), "1. Eggs\n2. Shopping");
}

// Links planted in the notes folder: no note goes through one to a file
// outside, and a name taken by a link is left to it. A link to a folder (the
// notes folder itself, or a notes folder in it) is the user's layout: the
// note goes into the folder it leads to.
TEST_F(NotesToolsTest, APlantedLinkIsNeverWrittenThrough) {
    const std::string root = dir.file("data/notes"), outside = dir.file("outside");
    const std::tuple<const char*, std::string, std::string, std::string, std::vector<std::string>> rows[] = {
        // what, link under the notes folder ("" the folder itself; a folder link
        // unless it names a file), folder asked for, where the note goes ("" refused),
        // what the folder outside then holds
        {"the temp name writers once used", ".note-" + std::to_string(::getpid()) + ".tmp", "Notes", "/t.md", {"victim"}},
        {"the note's own name", "t.md", "Notes", "/t 2.md", {"victim"}},
        {"a sub-folder", "Away/", "Away", "/Away/t.md", {"t.md", "victim"}},
        {"the notes folder", "", "Notes", "/t.md", {"t.md", "victim"}},
    };
    for (const auto& [what, link, folder, savedAs, outsideHolds] : rows) {
        SCOPED_TRACE(what);
        std::filesystem::remove_all(root);
        std::filesystem::remove_all(outside);
        std::filesystem::create_directories(outside);
        std::filesystem::create_directories(dir.file("data"));
        const bool toFolder = link.empty() || link.back() == '/';
        testsupport::writeFile(outside + "/victim", "keep");
        if (!link.empty()) std::filesystem::create_directories(root);
        std::filesystem::create_symlink(toFolder ? outside : outside + "/victim",
                                        link.empty() ? root : root + "/" + link.substr(0, link.find('/')));
        auto host = std::make_shared<platform::TemplateScriptHost>(prompter);
        registerNotesScripts(*host, std::make_shared<MarkdownNotesStore>(root));
        try {
            NotesToolFamily(environment, host, diagnostics)
                .handle("create_note", {{"title", "t"}, {"content", "body"}, {"folder", folder}}, {});
        } catch (const ToolError&) {
        }
        EXPECT_EQ(cmntest::folderEntries(outside), outsideHolds);
        EXPECT_EQ(testsupport::readFile(outside + "/victim"), "keep");
        struct stat info {};
        EXPECT_EQ(!savedAs.empty(), ::lstat((root + savedAs).c_str(), &info) == 0 && S_ISREG(info.st_mode));
    }
}

// Notes folders that are links the user made: a note written into one is
// found again, once, however many links lead to its folder (one back to the
// notes folder too); a loop of links is passed over.
TEST_F(NotesToolsTest, LinkedNotesFoldersAreReadOnceAndWrittenInto) {
    const std::string root = dir.file("data/notes"), synced = dir.file("Sync/Journal");
    std::filesystem::create_directories(root);
    std::filesystem::create_directories(synced);
    testsupport::writeFile(synced + "/Monday.md", "rain");
    std::filesystem::create_directory_symlink(synced, root + "/Journal");
    std::filesystem::create_directory_symlink(synced, root + "/Diary");
    std::filesystem::create_directory_symlink(root, root + "/Everything");
    std::filesystem::create_directory_symlink(root + "/Loop B", root + "/Loop A");
    std::filesystem::create_directory_symlink(root + "/Loop A", root + "/Loop B");
    testsupport::writeFile(root + "/Top.md", "sun");
    EXPECT_EQ(call("create_note", {{"title", "Tuesday"}, {"content", "rain again"}, {"folder", "journal"}}),
              "Created note 'Tuesday' in folder 'journal'");
    EXPECT_EQ(testsupport::readFile(synced + "/Tuesday.md"), "rain again");
    EXPECT_EQ(call("search_notes", {{"query", "rain"}}),
              "Title: Tuesday\nContent: rain again\n---\nTitle: Monday\nContent: rain\n---");
    EXPECT_EQ(standIn->notes().size(), 3u);
}

// Folders the program makes are private, those the user made keep their
// modes; temp files of writers that are gone are cleared away.
TEST_F(NotesToolsTest, FoldersArePrivateAndDeadWritersLeftoversGo) {
    const mode_t oldMask = ::umask(022);
    const std::string root = dir.file("data/notes");
    MarkdownNotesStore(root).notes();
    ::mkdir((root + "/Mine").c_str(), 0755);
    const std::string live = ".note-" + std::to_string(::getppid()) + ".tmp";
    const std::string gone = "2147483600";  // beyond any pid
    for (const auto& name : {".note-" + gone + ".tmp", ".note.tmp-" + gone + "-0a", "Mine/.note-" + gone + ".tmp",
                             live})
        testsupport::writeFile(root + "/" + name, "half");
    EXPECT_EQ(call("create_note", {{"title", "t"}, {"content", "c"}, {"folder", "New"}}),
              "Created note 't' in folder 'New'");
    for (const auto& [path, mode] : {std::pair{dir.file("data"), 0700u}, {root, 0700u}, {root + "/New", 0700u},
                                     {root + "/Mine", 0755u}, {root + "/New/t.md", 0600u}}) {
        struct stat info {};
        EXPECT_TRUE(::stat(path.c_str(), &info) == 0 && (info.st_mode & 0777) == mode) << path;
    }
    EXPECT_EQ(cmntest::folderEntries(root), (std::vector<std::string>{live, "Mine", "New"}));
    EXPECT_TRUE(cmntest::folderEntries(root + "/Mine").empty());
    ::umask(oldMask);
}

// Writers killed mid-write (8 MiB bodies, killed at staggered moments)
// leave nothing the next start keeps; a live writer's file and a side file
// made a moment ago stay.
TEST(NotesFiles, KilledWritersLeaveNothingPastTheNextStart) {
    testsupport::ScratchDir dir;
    auto environment = std::make_shared<cmntest::FixedEnvironment>(dir.path());
    const std::string body(8 << 20, 'x');
    std::vector<std::string> killed;
    for (int i = 0; i < 30; ++i) {
        char uuid[40];
        std::snprintf(uuid, sizeof uuid, "00000000-0000-4000-8000-%012d", i);
        killed.emplace_back(uuid);
        const pid_t writer = ::fork();
        if (writer == 0) {
            NoteContentFile file(environment->temp, uuid, body);
            ::pause();  // the script runs: the file stays while it does
            ::_exit(0);
        }
        ASSERT_GT(writer, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(i % 10));
        ::kill(writer, SIGKILL);
        ::waitpid(writer, nullptr, 0);
    }
    const std::string gone = "2147483600";  // beyond any pid
    const std::string tempDir = environment->temp;
    const std::string oldSide = ".note-content-10000000-0000-4000-8000-000000000000.txt.partial";
    const std::string freshSide = ".note-content-20000000-0000-4000-8000-000000000000.txt.partial";
    testsupport::writeFile(tempDir + "/" + oldSide, "half");
    testsupport::writeFile(tempDir + "/" + freshSide, "half");
    const struct timespec old[2] = {{1, 0}, {1, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (tempDir + "/" + oldSide).c_str(), old, 0), 0);
    // Names of others' that only look alike stay.
    testsupport::writeFile(tempDir + "/note-content-mine.txt", "keep");
    const NoteContentFile live(tempDir, "30000000-0000-4000-8000-000000000000", "live");

    // The killed writers did leave files for the start to clear.
    const auto before = cmntest::folderEntries(tempDir);
    EXPECT_GT(std::count_if(before.begin(), before.end(),
                            [](const std::string& name) { return name.starts_with("note-content-0000"); }),
              0);

    auto host = std::make_shared<platform::TemplateScriptHost>(std::make_shared<platform::FakeAccessPrompter>());
    NotesToolFamily family(environment, host, std::make_shared<platform::MemoryDiagnosticSink>());
    std::vector<std::string> expected{freshSide, "note-content-30000000-0000-4000-8000-000000000000.txt",
                                      "note-content-mine.txt"};
    std::sort(expected.begin(), expected.end());
    auto left = cmntest::folderEntries(tempDir);
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, expected);
    EXPECT_EQ(testsupport::readFile(live.path()), "live");
}

TEST(NotesFiles, TitlesBecomeSafeFileNames) {
    const std::pair<std::string, std::string> rows[] = {
        {"a/b", "a\u2215b"},
        {"", "Untitled"},
        {".profile", "_.profile"},
        {"tab\there\nnew", "tab here new"},
        {std::string(199, 'x') + "中", std::string(199, 'x')},
    };
    for (const auto& [title, stem] : rows) EXPECT_EQ(noteFileStem(title), stem) << title;
}

// Notes of the earlier single-file store are carried over once, tables kept.
TEST(NotesFiles, CarriedOverOnceFromTheOldStore) {
    testsupport::ScratchDir dir;
    const std::string store = dir.file("store.sqlite");
    {
        platform::SqliteConnection db(store, platform::SqliteOpenMode::ReadWriteCreate);
        db.exec("CREATE TABLE note_folders(id INTEGER PRIMARY KEY, name TEXT NOT NULL);"
                "CREATE TABLE notes(id INTEGER PRIMARY KEY, folder_id INTEGER, name TEXT NOT NULL, "
                "body TEXT NOT NULL, created_at TEXT NOT NULL);"
                "INSERT INTO note_folders VALUES (1, 'Work');"
                "INSERT INTO notes VALUES (1, NULL, 'old one', 'body 1', '2024-01-01T00:00:00Z');"
                "INSERT INTO notes VALUES (2, 1, 'old two', 'body 2', '2024-01-02T00:00:00Z');");
    }
    for (int round = 0; round < 2; ++round) {
        MarkdownNotesStore standIn(dir.file("notes"), store);
        auto notes = standIn.notes();
        ASSERT_EQ(notes.size(), 2u) << "round " << round;
        EXPECT_EQ(notes[0].name, "old two");
        EXPECT_EQ(notes[0].folder, "Work");
        EXPECT_EQ(notes[0].body, "body 2");
        EXPECT_EQ(notes[1].name, "old one");
        EXPECT_EQ(notes[1].folder, std::nullopt);
    }
    platform::SqliteConnection db(store, platform::SqliteOpenMode::ReadOnly);
    auto count = db.prepare("SELECT count(*) FROM notes");
    ASSERT_TRUE(count.step());
    EXPECT_EQ(count.int64(0), 2);
}

}  // namespace
}  // namespace app::tools
