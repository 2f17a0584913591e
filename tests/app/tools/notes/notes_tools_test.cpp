#include "app/tools/notes/notes_tools.hpp"

#include "app/platform/access_prompter.hpp"
#include "app/platform/apple_script.hpp"
#include "app/platform/contact_store.hpp"
#include "app/platform/defaults_store.hpp"
#include "app/platform/diagnostic_sink.hpp"
#include "app/platform/platform.hpp"
#include "app/platform/scratch_dir.hpp"
#include "app/platform/sqlite.hpp"
#include "app/platform/url_opener.hpp"
#include "app/tools/contacts/contacts_manager.hpp"
#include "app/tools/contacts_messages_notes_support.hpp"
#include "app/tools/tool_test_support.hpp"
#include "app/tools/registry/local_tool_service.hpp"
#include "app/tools/notes/notes_stand_in.hpp"
#include "app/tools/tool_families.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>

#include <sys/stat.h>

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
        ++runs;
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

    int runs = 0;
    std::vector<SeenFile> files;

private:
    std::shared_ptr<platform::ScriptHost> inner_;
};

class NotesToolsTest : public ::testing::Test {
protected:
    NotesToolsTest() { makeFamily(std::make_shared<cmntest::FixedEnvironment>(dir.path())); }

    void makeFamily(std::shared_ptr<cmntest::FixedEnvironment> env) {
        environment = std::move(env);
        auto host = std::make_shared<platform::TemplateScriptHost>(prompter);
        EXPECT_TRUE(registerNotesScripts(*host, standIn));
        inspecting = std::make_shared<InspectingHost>(host);
        family = std::make_unique<NotesToolFamily>(environment, inspecting, diagnostics);
    }

    std::string call(const std::string& name, const Arguments& arguments = {}) {
        return family->handle(name, arguments, {});
    }

    std::string create(const std::string& title, const std::string& content) {
        return call("create_note", {{"title", title}, {"content", content}});
    }

    testsupport::ScratchDir dir;
    std::shared_ptr<platform::FakeAccessPrompter> prompter = std::make_shared<platform::FakeAccessPrompter>();
    std::shared_ptr<NotesStandIn> standIn = std::make_shared<NotesStandIn>(dir.file("data/notes"));
    std::shared_ptr<platform::MemoryDiagnosticSink> diagnostics = std::make_shared<platform::MemoryDiagnosticSink>();
    std::shared_ptr<cmntest::FixedEnvironment> environment;
    std::shared_ptr<InspectingHost> inspecting;
    std::unique_ptr<NotesToolFamily> family;
};

TEST_F(NotesToolsTest, CreateKeepsQuotesBackslashesAndLineBreaks) {
    const std::string title = "Say \"hi\" \\ to C:\\dir\\";
    const std::string body = "He said \"yes\"\nPath C:\\temp\\\\ 中文\r\n\ttab \\\" end";
    EXPECT_EQ(call("create_note", {{"title", title}, {"content", body}, {"folder", "Work \"2\""}}),
              "Created note '" + title + "' in folder 'Work \"2\"'");

    auto notes = standIn->notes();
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0].name, title);
    EXPECT_EQ(notes[0].body, body);
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

TEST_F(NotesToolsTest, FoldersAreFoundIgnoringCaseOrMadeUnlessDefault) {
    struct Step {
        std::optional<AnyValue> folder;
        std::string reply;
        std::vector<std::string> folders;  // afterwards
    };
    const Step steps[] = {
        {std::nullopt, "Created note 'n' in default folder", {}},
        {"Notes", "Created note 'n' in default folder", {}},
        {"NOTES", "Created note 'n' in default folder", {}},
        {"  ", "Created note 'n' in default folder", {}},
        {42, "Created note 'n' in default folder", {}},
        {"Work", "Created note 'n' in folder 'Work'", {"Work"}},
        {"wORK", "Created note 'n' in folder 'wORK'", {"Work"}},
        {"Ärger", "Created note 'n' in folder 'Ärger'", {"Work", "Ärger"}},
        {"äRGER", "Created note 'n' in folder 'äRGER'", {"Work", "Ärger"}},
    };
    for (const auto& step : steps) {
        Arguments arguments{{"title", "n"}, {"content", "c"}};
        if (step.folder) arguments["folder"] = *step.folder;
        EXPECT_EQ(call("create_note", arguments), step.reply);
        EXPECT_EQ(standIn->folders(), step.folders);
    }
    auto notes = standIn->notes();
    ASSERT_EQ(notes.size(), std::size(steps));
    EXPECT_EQ(notes[0].folder, "Ärger");
    EXPECT_EQ(notes.back().folder, std::nullopt);
    EXPECT_TRUE(cmntest::folderEntries(environment->temp).empty());
}

TEST_F(NotesToolsTest, ValuesThatTryToLeaveTheirLiteralStayText) {
    const std::string title = "\" & (do shell script \"touch /tmp/owned-by-notes\") & \"";
    EXPECT_EQ(call("create_note", {{"title", title}, {"content", "x"}, {"folder", title}}),
              "Created note '" + title + "' in folder '" + title + "'");
    EXPECT_EQ(standIn->notes()[0].name, title);
    EXPECT_FALSE(std::filesystem::exists("/tmp/owned-by-notes"));
    EXPECT_EQ(call("search_notes", {{"query", "\\\" & \"x"}}), "No notes found matching '\\\" & \"x'");
}

TEST_F(NotesToolsTest, AnOddTemporaryFolderPathIsQuotedToo) {
    auto odd = std::make_shared<cmntest::FixedEnvironment>(dir.path());
    odd->temp = dir.path() + "/odd \"tmp\" \\ dir";
    std::filesystem::create_directories(odd->temp);
    makeFamily(odd);
    EXPECT_EQ(create("t", "body"), "Created note 't' in default folder");
    EXPECT_EQ(standIn->notes()[0].body, "body");
    EXPECT_TRUE(cmntest::folderEntries(odd->temp).empty());
}

TEST_F(NotesToolsTest, TheTemporaryFileGoesWhateverTheOutcome) {
    prompter->setStatus(platform::AccessSubject::automation("Notes"), platform::AuthorizationStatus::Denied);
    expectToolError([&] { create("t", "secret body"); },
                    ToolError("NotesTool", 500, "AppleScript Error: Not authorized to send Apple events to Notes."));
    ASSERT_EQ(inspecting->files.size(), 1u);
    EXPECT_EQ(inspecting->files[0].content, "secret body");
    EXPECT_TRUE(cmntest::folderEntries(environment->temp).empty());
    EXPECT_TRUE(standIn->notes().empty());
}

TEST_F(NotesToolsTest, AnUnwritableTemporaryFolderStopsBeforeTheScript) {
    auto missing = std::make_shared<cmntest::FixedEnvironment>(dir.path());
    missing->temp = dir.path() + "/no/such/folder";
    makeFamily(missing);
    expectToolError([&] { create("t", "c"); }, ToolError("NotesTool", 500, "Failed to write temporary file"));
    EXPECT_EQ(inspecting->runs, 0);
    ASSERT_EQ(diagnostics->lines().size(), 1u);
    EXPECT_NE(diagnostics->lines()[0].find("no/such/folder"), std::string::npos);
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
    EXPECT_EQ(call("search_notes", {{"query", "Zebra"}}), "No notes found matching 'zebra'");
    EXPECT_EQ(call("search_notes", {{"query", "ÉCOLE"}}), "No notes found matching 'école'");
}

TEST_F(NotesToolsTest, LongTextsAreCutAtTwoHundredCharactersNotBytes) {
    auto repeat = [](const std::string& unit, int n) {
        std::string out;
        for (int i = 0; i < n; ++i) out += unit;
        return out;
    };
    struct Case {
        const char* label;
        std::string body;
        std::string shown;
    };
    const Case cases[] = {
        {"300 Chinese", repeat("中", 300), repeat("中", 200) + "..."},
        {"exactly 200", repeat("文", 200), repeat("文", 200)},
        {"201 ASCII", repeat("a", 201), repeat("a", 200) + "..."},
        // A letter with its combining accent is one character.
        {"combining", repeat("e\u0301", 250), repeat("e\u0301", 200) + "..."},
        {"emoji", repeat("👍🏽", 201), repeat("👍🏽", 200) + "..."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        create(std::string("cut ") + c.label, c.body);
        EXPECT_EQ(call("search_notes", {{"query", std::string("cut ") + c.label}}),
                  std::string("Title: cut ") + c.label + "\nContent: " + c.shown + "\n---");
    }
}

TEST_F(NotesToolsTest, SearchStopsAfterTwentyMatchesNewestFirst) {
    for (int i = 1; i <= 25; ++i) create("match " + std::to_string(i), "x");
    std::string reply = call("search_notes", {{"query", "match"}});
    std::size_t blocks = 0;
    for (std::size_t at = reply.find("\n---"); at != std::string::npos; at = reply.find("\n---", at + 1)) ++blocks;
    EXPECT_EQ(blocks, 20u);
    EXPECT_TRUE(reply.starts_with("Title: match 25\n")) << reply;
    EXPECT_TRUE(reply.ends_with("Title: match 6\nContent: x\n---")) << reply;
}

TEST_F(NotesToolsTest, ListNumbersNamesNewestFirst) {
    EXPECT_EQ(call("list_notes"), "No notes found.");
    create("first", "a");
    create("second \"quoted\"", "b");
    create("third", "c");
    struct Case {
        const char* label;
        std::optional<AnyValue> limit;
        const char* reply;
    };
    const Case cases[] = {
        {"absent", std::nullopt, "1. third\n2. second \"quoted\"\n3. first"},
        {"2", 2, "1. third\n2. second \"quoted\""},
        {"0", 0, "No notes found."},
        {"negative", -3, "No notes found."},
        {"text", "1", "1. third\n2. second \"quoted\"\n3. first"},
        {"fraction", 1.5, "1. third\n2. second \"quoted\"\n3. first"},
        {"largest", std::numeric_limits<std::int64_t>::max(), "1. third\n2. second \"quoted\"\n3. first"},
        {"smallest", std::numeric_limits<std::int64_t>::min(), "No notes found."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        Arguments arguments;
        if (c.limit) arguments["limit"] = *c.limit;
        EXPECT_EQ(call("list_notes", arguments), c.reply);
    }
}

TEST(NotesRunner, ExactScriptsAndOutcomes) {
    testsupport::ScratchDir dir;
    auto environment = std::make_shared<cmntest::FixedEnvironment>(dir.path());
    environment->uuid = "0F1E2D3C-4B5A-4978-8796-A5B4C3D2E1F0";
    auto host = std::make_shared<platform::FakeScriptHost>();
    NotesToolFamily family(environment, host, std::make_shared<platform::MemoryDiagnosticSink>());

    host->enqueue(platform::ScriptRun::succeeded("done"));
    EXPECT_EQ(family.handle("create_note", {{"title", "A \"b\" \\c"}, {"content", "x"}, {"folder", "F\"1"}}, {}), "done");
    const std::string path = dir.path() + "/tmp/note-content-0F1E2D3C-4B5A-4978-8796-A5B4C3D2E1F0.txt";
    ASSERT_EQ(host->sources().size(), 1u);
    EXPECT_EQ(host->sources()[0],
              "tell application \"Notes\"\n"
              "    activate\n"
              "    set targetFolder to null\n"
              "    set folderFound to false\n"
              "    \n"
              "    try\n"
              "        set allFolders to folders\n"
              "        repeat with currentFolder in allFolders\n"
              "            if name of currentFolder is \"F\\\"1\" then\n"
              "                set targetFolder to currentFolder\n"
              "                set folderFound to true\n"
              "                exit repeat\n"
              "            end if\n"
              "        end repeat\n"
              "    on error\n"
              "    end try\n"
              "    \n"
              "    -- If folder not found and it's a specific one we want to create, try creating it\n"
              "    if not folderFound and (\"F\\\"1\" is not \"Notes\") then\n"
              "        try\n"
              "            make new folder with properties {name:\"F\\\"1\"}\n"
              "            set targetFolder to folder \"F\\\"1\"\n"
              "            set folderFound to true\n"
              "        on error\n"
              "            -- Fallback to default behavior (usually creates in default account)\n"
              "        end try\n"
              "    end if\n"
              "    \n"
              "    set noteContent to read file POSIX file \"" + path + "\" as «class utf8»\n"
              "    \n"
              "    if folderFound and targetFolder is not null then\n"
              "        make new note at targetFolder with properties {name:\"A \\\"b\\\" \\\\c\", body:noteContent}\n"
              "        return \"Created note 'A \\\"b\\\" \\\\c' in folder 'F\\\"1'\"\n"
              "    else\n"
              "        make new note with properties {name:\"A \\\"b\\\" \\\\c\", body:noteContent}\n"
              "        return \"Created note 'A \\\"b\\\" \\\\c' in default folder\"\n"
              "    end if\n"
              "end tell");
    EXPECT_TRUE(cmntest::folderEntries(environment->temp).empty());

    // The limit is the one value list_notes puts into its script.
    family.handle("list_notes", {{"limit", 7}}, {});
    EXPECT_NE(host->sources().back().find("        if noteCount >= 7 then exit repeat\n"), std::string::npos);
    family.handle("list_notes", {{"limit", "7"}}, {});
    EXPECT_NE(host->sources().back().find("if noteCount >= 50 then"), std::string::npos);

    family.handle("search_notes", {{"query", "Ünïcode \"Q\""}}, {});
    EXPECT_NE(host->sources().back().find("    set searchTerm to \"ünïcode \\\"q\\\"\"\n"), std::string::npos);
    EXPECT_NE(host->sources().back().find("(characters 1 thru 200 of noteContent)"), std::string::npos);

    const Arguments list{{"limit", 1}};
    host->enqueue(platform::ScriptRun::succeeded(std::nullopt));
    EXPECT_EQ(family.handle("list_notes", list, {}), "Success");
    host->enqueue(platform::ScriptRun::notMade());
    expectToolError([&] { family.handle("list_notes", list, {}); },
                    ToolError("NotesTool", 500, "Failed to compile AppleScript"));
    host->enqueue(platform::ScriptRun::failed(std::nullopt));
    expectToolError([&] { family.handle("list_notes", list, {}); },
                    ToolError("NotesTool", 500, "AppleScript Error: Unknown error"));
    host->enqueue(platform::ScriptRun::failed(platform::ScriptErrorInfo{std::nullopt, -1728, "Notes"}));
    expectToolError([&] { family.handle("list_notes", list, {}); },
                    ToolError("NotesTool", 500, "AppleScript Error: Unknown error"));
    host->enqueue(platform::ScriptRun::failed(platform::ScriptErrorInfo{"Notes got an error.", -1728, "Notes"}));
    expectToolError([&] { family.handle("list_notes", list, {}); },
                    ToolError("NotesTool", 500, "AppleScript Error: Notes got an error."));
    // A failed create removes its file too.
    host->enqueue(platform::ScriptRun::notMade());
    EXPECT_THROW(family.handle("create_note", {{"title", "t"}, {"content", "c"}}, {}), ToolError);
    EXPECT_TRUE(cmntest::folderEntries(environment->temp).empty());
}

TEST(NotesRunner, ArgumentErrors) {
    testsupport::ScratchDir dir;
    auto host = std::make_shared<platform::FakeScriptHost>();
    NotesToolFamily family(std::make_shared<cmntest::FixedEnvironment>(dir.path()), host);
    struct Case {
        const char* tool;
        Arguments arguments;
        ToolError error;
    };
    const Case cases[] = {
        {"create_note", {{"content", "c"}}, {"NotesTool", 400, "Missing 'title' or 'content'"}},
        {"create_note", {{"title", "t"}}, {"NotesTool", 400, "Missing 'title' or 'content'"}},
        {"create_note", {{"title", 1}, {"content", "c"}}, {"NotesTool", 400, "Missing 'title' or 'content'"}},
        {"search_notes", {}, {"NotesTool", 400, "Missing 'query' argument"}},
        {"search_notes", {{"query", AnyList{"a"}}}, {"NotesTool", 400, "Missing 'query' argument"}},
        {"List_Notes", {}, {"NotesTool", 404, "Unknown notes tool: List_Notes"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.tool);
        expectToolError([&] { family.handle(c.tool, c.arguments, {}); }, c.error);
    }
    EXPECT_TRUE(host->sources().empty());
}

TEST(NotesToolDefinitions, NamesTextsAndSchemas) {
    using testing::inputSchema;
    using testing::property;
    testing::expectToolDefinitions(
        notesToolDefinitions,
        {
            {"create_note", "Create a new note with a title and content.", "创建具有标题和内容的新备忘录。",
             inputSchema({{"title", property("string", "Note Title")},
                          {"content", property("string", "Note Content")},
                          {"folder", property("string", "Folder name (default: Notes)")}},
                         {"title", "content"})},
            {"search_notes", "Search for notes matching a keyword.", "按关键词搜索备忘录。",
             inputSchema({{"query", property("string", "Search keyword")}}, {"query"})},
            {"list_notes", "List recent notes in the library.", "列出最近的备忘录。",
             inputSchema({{"limit", property("integer", "Maximum number of notes to return (default: 50)")}}, {})},
        });
}

TEST(NotesText, LeadingCharacters) {
    EXPECT_EQ(leadingCharacters("", 3), std::make_pair(std::string(), false));
    EXPECT_EQ(leadingCharacters("abc", 3), std::make_pair(std::string("abc"), false));
    EXPECT_EQ(leadingCharacters("abcd", 3), std::make_pair(std::string("abc"), true));
    EXPECT_EQ(leadingCharacters("中文字符", 2), std::make_pair(std::string("中文"), true));
    EXPECT_EQ(leadingCharacters("a\r\nb", 2), std::make_pair(std::string("a\r\n"), true));
}

// The three families through the registry, as the program builds them.
TEST(ContactsMessagesNotesFamilies, PluggedIntoTheRegistry) {
    testsupport::ScratchDir dir;
    auto environment = std::make_shared<cmntest::FixedEnvironment>(dir.path());
    auto prompter = std::make_shared<platform::FakeAccessPrompter>();
    auto contacts = std::make_shared<platform::InMemoryContactStore>(prompter);
    contacts->add({"", "Ann", "Lee", {"+1 555 0100"}});
    platform::Platform platform;
    platform.defaults = std::make_shared<platform::MemoryDefaultsStore>();
    platform.urlOpener = std::make_shared<platform::RecordingUrlOpener>();
    platform.environment = environment;
    platform.diagnostics = std::make_shared<platform::MemoryDiagnosticSink>();
    platform.scriptHost = std::make_shared<platform::TemplateScriptHost>(prompter);
    platform.contactStore = contacts;
    platform.accessPrompter = prompter;

    rt::MainExecutor executor;
    LocalToolService registry(platform.defaults, executor, makeToolFamilies(platform));
    registry.setContactsEnabled(true);
    registry.setMessagesEnabled(true);
    registry.setNotesEnabled(true);

    std::vector<std::string> names;
    for (const auto& tool : registry.enabledTools()) names.push_back(tool.name);
    EXPECT_EQ(names, (std::vector<std::string>{"get_all_contacts", "find_phone_number", "send_message", "read_messages",
                                               "get_unread_messages", "create_note", "search_notes", "list_notes"}));

    EXPECT_EQ(registry.callTool("find_phone_number", {{"name", "ann"}}), "+1 555 0100");
    EXPECT_EQ(registry.callTool("create_note", {{"title", "From the registry"}, {"content", "body"}}),
              "Created note 'From the registry' in default folder");
    EXPECT_EQ(registry.callTool("list_notes", {}), "1. From the registry");
    EXPECT_EQ(registry.callTool("send_message", {{"phoneNumber", "555 0100"}, {"message", "hi"}}),
              "✅ Message sent to 5550100");
    // The stand-ins keep their records in the program's store.
    EXPECT_TRUE(std::filesystem::exists(environment->data + "/brisolet/store.sqlite"));
    EXPECT_TRUE(cmntest::folderEntries(environment->temp).empty());
    // The shared manager is the one over the platform's store.
    ASSERT_NE(ContactsManager::shared(), nullptr);
    EXPECT_EQ(ContactsManager::shared()->store(), contacts);
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
        NotesStandIn standIn(dir.file("notes"), store);
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
