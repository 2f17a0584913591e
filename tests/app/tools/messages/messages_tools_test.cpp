#include "app/tools/messages/messages_tools.hpp"

#include "app/platform/access_prompter.hpp"
#include "app/platform/scratch_dir.hpp"
#include "app/platform/sqlite.hpp"
#include "app/tools/contacts_messages_notes_support.hpp"
#include "app/tools/tool_test_support.hpp"
#include "app/tools/messages/kde_connect_sender.hpp"
#include "json/json.hpp"
#include "support/fake_access_prompter.hpp"
#include "support/fake_script_host.hpp"
#include "support/fifo_trap.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <tuple>

#include <sys/stat.h>

namespace app::tools {
namespace {
using testing::expectToolError;

// Message dates count nanoseconds from 2001-01-01 UTC; the replies give
// them in local time, here UTC.
TEST(MessagesTools, ReadsAConversationNewestFirst) {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    testsupport::ScratchDir dir;
    auto environment = std::make_shared<cmntest::FixedEnvironment>(dir.path());
    std::filesystem::create_directories(environment->home + "/Library/Messages");
    platform::SqliteConnection(environment->home + "/Library/Messages/chat.db", platform::SqliteOpenMode::ReadWriteCreate)
        .exec("CREATE TABLE handle(ROWID INTEGER PRIMARY KEY AUTOINCREMENT, id TEXT NOT NULL);"
              "CREATE TABLE message(ROWID INTEGER PRIMARY KEY AUTOINCREMENT, text TEXT, attributedBody BLOB, "
              "date INTEGER, handle_id INTEGER DEFAULT 0, is_from_me INTEGER DEFAULT 0, is_read INTEGER DEFAULT 0, "
              "cache_has_attachments INTEGER DEFAULT 0, item_type INTEGER DEFAULT 0);"
              "INSERT INTO handle(id) VALUES('+12025550100'), ('+12025550199');"
              // A minute apart from 2024-01-02 03:04:05. Left out: nothing to
              // show, another item type, another person.
              "INSERT INTO message(text, attributedBody, date, handle_id, is_from_me, is_read, cache_has_attachments, "
              "item_type) VALUES ('Hi there', NULL, 0, 1, 0, 1, 0, 0), "
              "('Reply with \"quotes\" and a / slash', NULL, 1, 1, 1, 1, 0, 0), (NULL, 'streamtyped', 2, 1, 0, 0, 0, 0), "
              "('', NULL, 3, 1, 0, 1, 1, 0), (NULL, NULL, 4, 1, 0, 1, 0, 0), ('group renamed', NULL, 5, 1, 0, 1, 0, 2), "
              "('for Bob', NULL, 6, 2, 0, 1, 0, 0);"
              // Bob's long history: 60 messages in all.
              "WITH RECURSIVE n(i) AS (SELECT 7 UNION ALL SELECT i + 1 FROM n WHERE i < 65) "
              "INSERT INTO message(text, date, handle_id) SELECT 'more', i, 2 FROM n;"
              "UPDATE message SET date = 725857445000000000 + date * 60000000000;");
    MessagesToolFamily family(environment, std::make_shared<platform::FakeScriptHost>());
    const auto call = [&](const std::string& name, const Arguments& arguments) { return family.handle(name, arguments, {}); };

    EXPECT_EQ(call("read_messages", {{"phoneNumber", "(202) 555-0100"}}),
              "[\n  {\n    \"content\" : \"[Attachment]\",\n    \"date\" : \"2024-01-02 03:07:05\",\n    \"sender\" : \"+12025550100\",\n    \"isFromMe\" : false,\n    \"hasAttachments\" : true\n  },\n"
              "  {\n    \"content\" : \"[Rich text message]\",\n    \"date\" : \"2024-01-02 03:06:05\",\n    \"sender\" : \"+12025550100\",\n    \"isFromMe\" : false,\n    \"hasAttachments\" : false\n  },\n"
              "  {\n    \"content\" : \"Reply with \\\"quotes\\\" and a \\/ slash\",\n    \"date\" : \"2024-01-02 03:05:05\",\n    \"sender\" : \"+12025550100\",\n    \"isFromMe\" : true,\n    \"hasAttachments\" : false\n  },\n"
              "  {\n    \"content\" : \"Hi there\",\n    \"date\" : \"2024-01-02 03:04:05\",\n    \"sender\" : \"+12025550100\",\n    \"isFromMe\" : false,\n    \"hasAttachments\" : false\n  }\n]");
    // An e-mail address keeps no digits: nobody's conversation.
    EXPECT_EQ(call("read_messages", {{"phoneNumber", "alice@example.com"}}), "[]");
    for (const auto& [limit, count] : {std::pair{49, 49}, {50, 50}, {51, 50}, {1000, 50}, {-1, 0}}) {
        const auto read = json::parse(call("read_messages", {{"phoneNumber", "+12025550199"}, {"limit", limit}}));
        EXPECT_EQ(read.asArray().size(), std::size_t(count)) << limit;
    }
}

// Messages copied from a Mac keep their newest rows in chat.db-wal. They are
// read, and reading changes nothing in the folder: no chat.db-shm is made,
// one that is there is left as it was, and a database in WAL mode with no
// WAL beside it gets none.
TEST(MessagesTools, ReadsTheWalAndWritesNothingBesideTheDatabase) {
    ASSERT_EQ(std::system("command -v sqlite3 >/dev/null"), 0) << "sqlite3 is needed";
    for (const auto& [walKept, indexBeside] : {std::pair{true, false}, {true, true}, {false, false}}) {
        SCOPED_TRACE(!walKept ? "no WAL" : indexBeside ? "with chat.db-shm" : "without chat.db-shm");
        testsupport::ScratchDir dir;
        auto environment = std::make_shared<cmntest::FixedEnvironment>(dir.path());
        const std::string folder = environment->home + "/Library/Messages";
        std::filesystem::create_directories(folder);
        testsupport::writeFile(dir.file("make.sql"),
            "PRAGMA journal_mode=WAL;\n"
            "CREATE TABLE handle(ROWID INTEGER PRIMARY KEY, id TEXT);\n"
            "CREATE TABLE message(ROWID INTEGER PRIMARY KEY, text TEXT, attributedBody BLOB, date INTEGER, "
            "handle_id INTEGER, is_from_me INTEGER DEFAULT 0, is_read INTEGER DEFAULT 0, "
            "cache_has_attachments INTEGER DEFAULT 0, item_type INTEGER DEFAULT 0);\n"
            "INSERT INTO handle VALUES (1, '+12025550100');\n"
            "INSERT INTO message(text, date, handle_id) VALUES ('in the file', 1, 1);\n"
            "PRAGMA wal_checkpoint(TRUNCATE);\n"
            + std::string(walKept ? ".dbconfig no_ckpt_on_close on\n" : "") +
            "INSERT INTO message(text, date, handle_id) VALUES ('only in the WAL', 2, 1);\n");
        ASSERT_EQ(std::system(("sqlite3 '" + folder + "/chat.db' < '" + dir.file("make.sql") + "' >/dev/null").c_str()), 0);
        ASSERT_EQ(std::filesystem::exists(folder + "/chat.db-wal"), walKept);
        if (walKept) ASSERT_GT(std::filesystem::file_size(folder + "/chat.db-wal"), 0u);
        if (!indexBeside) std::filesystem::remove(folder + "/chat.db-shm");
        const auto snapshot = [&] {
            std::map<std::string, std::pair<std::string, std::int64_t>> files;  // bytes and change time
            for (const auto& entry : std::filesystem::directory_iterator(folder)) {
                struct stat info {};
                ::stat(entry.path().c_str(), &info);
                files[entry.path().filename()] = {testsupport::readFile(entry.path()),
                                                  info.st_mtim.tv_sec * 1'000'000'000LL + info.st_mtim.tv_nsec};
            }
            return files;
        };
        const auto before = snapshot();
        MessagesToolFamily family(environment, std::make_shared<platform::FakeScriptHost>());
        const json::Value read = json::parse(family.handle("read_messages", {{"phoneNumber", "+12025550100"}}, {}));
        ASSERT_EQ(read.asArray().size(), 2u) << json::write(read);
        EXPECT_EQ(read.asArray()[0].find("content")->asString(), "only in the WAL");
        EXPECT_EQ(read.asArray()[1].find("content")->asString(), "in the file");
        const auto after = snapshot();
        EXPECT_EQ(after.size(), before.size());
        EXPECT_TRUE(after == before) << "a file beside chat.db was made or changed";
    }
}

// A database made to compute forever, or no file at all, answers an error
// and never holds the call.
TEST(MessagesTools, AHostileDatabaseNeverStallsACall) {
    testsupport::ScratchDir dir;
    const std::string endless = "WITH RECURSIVE n(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM n) ";
    const std::string tables = "CREATE TABLE handle(id); CREATE TABLE message(text);";
    const std::string loop = endless + "SELECT x FROM n WHERE x < 0";
    std::stop_source stopped;
    stopped.request_stop();
    const std::tuple<const char*, std::string, std::string, std::stop_token, int, std::string> rows[] = {
        // what, schema ("" for a FIFO), query, stop, budget in ms, error
        {"an endless view", "CREATE TABLE handle(ROWID, id); CREATE VIEW message AS " + endless +
             "SELECT x AS ROWID, 'hi' AS text, NULL AS attributedBody, x AS date, 0 AS handle_id, 0 AS is_from_me, "
             "0 AS is_read, 0 AS cache_has_attachments, x < 0 AS item_type FROM n;",
         messagesUnreadStatement(10), {}, 10000, "Query prepare failed: message is not a table"},
        {"a FIFO", "", "", {}, 10000,
         "Failed to open messages DB: not a regular file. Please enable Full Disk Access."},
        {"stopped", tables, loop, stopped.get_token(), 10000, "Query failed: stopped"},
        {"over budget", tables, loop, {}, 50, "Query failed: took too long"},
        // A few bytes of schema describing a text of 50 MB for every row.
        {"a generated text", "CREATE TABLE handle(ROWID, id); CREATE TABLE message(ROWID, attributedBody, date, "
             "handle_id, is_from_me, is_read, cache_has_attachments, item_type, "
             "text GENERATED ALWAYS AS (hex(zeroblob(25000000))) VIRTUAL);"
             "INSERT INTO message(ROWID, is_from_me, is_read, item_type) VALUES (1, 0, 0, 0), (2, 0, 0, 0);",
         messagesUnreadStatement(10), {}, 10000, "Query prepare failed: message.text is a generated column"},
        {"a stored generated handle", "CREATE TABLE message(text); CREATE TABLE handle(ROWID, x, "
             "id GENERATED ALWAYS AS (x || x) STORED);",
         messagesUnreadStatement(10), {}, 10000, "Query prepare failed: handle.id is a generated column"},
        {"one value too large", tables + "INSERT INTO message VALUES (hex(zeroblob(600000)));",
         "SELECT text, '', '', 0, 0 FROM message", {}, 10000, "Query failed: a message is larger than 1 MiB"},
        {"an answer too large", tables + "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 10) "
             "INSERT INTO message SELECT hex(zeroblob(450000)) FROM n;",
         "SELECT text, '', '', 0, 0 FROM message", {}, 10000,
         "Query failed: the answer is larger than 8 MiB; ask for fewer messages"},
    };
    for (const auto& [what, schema, sql, stop, budget, error] : rows) {
        SCOPED_TRACE(what);
        const std::string path = dir.file(std::string(what) + ".db");
        if (schema.empty()) ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
        else platform::SqliteConnection(path, platform::SqliteOpenMode::ReadWriteCreate).exec(schema);
        expectToolError([&] { queryMessages(path, sql, {}, stop, std::chrono::milliseconds(budget)); },
                        ToolError("MessagesTool", 500, error));
    }
    // A FIFO beside a database in WAL mode, where SQLite looks for its WAL.
    {
        const std::string path = dir.file("a FIFO as its WAL.db");
        platform::SqliteConnection(path, platform::SqliteOpenMode::ReadWriteCreate)
            .exec("PRAGMA journal_mode=WAL; " + tables);
        testsupport::FifoTrap trap;
        trap.plant(path + "-wal");
        trap.run([&] {
            expectToolError([&] { queryMessages(path, messagesUnreadStatement(10), {}); },
                            ToolError("MessagesTool", 500, "Query prepare failed: unable to open database file"));
            return 0;
        });
        EXPECT_FALSE(trap.sprung) << "a FIFO was opened blocking";
    }
    // Just within both bounds: eight texts of 900,000 bytes are answered whole.
    const std::string path = dir.file("an answer within bounds.db");
    platform::SqliteConnection(path, platform::SqliteOpenMode::ReadWriteCreate)
        .exec(tables + "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 8) "
                       "INSERT INTO message SELECT hex(zeroblob(450000)) FROM n;");
    const auto rows8 = json::parse(queryMessages(path, "SELECT text, '', '', 0, 0 FROM message", {}));
    ASSERT_EQ(rows8.asArray().size(), 8u);
    EXPECT_EQ(rows8.asArray()[7].find("content")->asString().size(), 900000u);
}

TEST(MessagesPhoneNumbers, Normalisation) {
    const std::pair<const char*, const char*> cases[] = {
        {"(202) 555-0100", "+12025550100"},
        {"+44 20 7946 0958", "+442079460958"},
        {"1-202-555-0100", "12025550100"},
        {"555-0100", "5550100"},
        {"john@example.com", ""},
        {"", ""},
        {"++1 2", "++12"},
        {"202.555.0100 ext", "+12025550100"},
        // Numeric characters of every script, and the other numeric ones.
        {"٠١٢٣٤٥٦٧٨٩", "+1٠١٢٣٤٥٦٧٨٩"},
        {"½²", "½²"},
        {"5+5", "5+5"},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(normalizePhoneNumber(in), out) << in;
}

// A fake kdeconnect-cli: lists the devices given (or fails listing when
// they read "broken"), records every send's argument vector (NUL-separated),
// refuses SMS on a device named "nosms*" with a reason on standard error.
class MessagesSendTest : public ::testing::Test {
protected:
    MessagesSendTest()
        : environment(std::make_shared<cmntest::FixedEnvironment>(dir.path())),
          host(std::make_shared<platform::TemplateScriptHost>(std::make_shared<platform::FakeAccessPrompter>())),
          family(environment, host) {
        EXPECT_TRUE(registerMessagesScripts(*host, std::make_shared<KdeConnectSender>()));
    }

    // The reply, or the error as "domain code message".
    std::string send(const std::string& body, const char* devices, const std::string& number = "(202) 555-0100") {
        testsupport::ScratchDir bin;
        if (devices) {
            testsupport::writeFile(bin.file("devices"), devices);
            testsupport::writeScript(
                bin.file("kdeconnect-cli"),
                "if [ \"$1\" = --list-available ]; then\n"
                "  if grep -q broken '" + bin.file("devices") + "'; then echo 'no daemon running' >&2; exit 1; fi\n"
                "  cat '" + bin.file("devices") + "'; exit 0\nfi\n"
                "for a in \"$@\"; do printf '%s\\0' \"$a\" >> '" + log() + "'; done\n"
                "case \"$1\" in --device=nosms*) echo 'first line' >&2; echo 'no SMS plugin' >&2; exit 1;; esac\n");
        }
        testsupport::ScopedPath path(bin.path() + ":/usr/bin:/bin");
        try {
            return family.handle("send_message", {{"phoneNumber", number}, {"message", body}}, {});
        } catch (const ToolError& error) {
            return error.domain() + " " + std::to_string(error.code()) + " " + error.message();
        }
    }

    std::string log() const { return dir.file("log"); }
    // The argument vectors recorded since the last look.
    std::vector<std::string> recorded() {
        std::vector<std::string> arguments;
        std::string all = testsupport::readFile(log());
        for (std::size_t start = 0, end; (end = all.find('\0', start)) != std::string::npos; start = end + 1)
            arguments.push_back(all.substr(start, end - start));
        std::filesystem::remove(log());
        return arguments;
    }

    testsupport::ScratchDir dir;
    std::shared_ptr<cmntest::FixedEnvironment> environment;
    std::shared_ptr<platform::TemplateScriptHost> host;
    MessagesToolFamily family;
};

// Quotes, backslashes and line breaks are rows of the text round-trip table.
TEST_F(MessagesSendTest, TheBodyReachesTheDeviceIntact) {
    for (const std::string body : {"-- not a comment", "中文 ⟦body⟧ «class utf8»", "C:\\path\\ and \\\" both", "",
                                   "\" to targetBuddy\nend tell\ndo shell script \"touch /tmp/owned"}) {
        EXPECT_EQ(send(body, "phone1\n"), "✅ Message sent to +12025550100");
        EXPECT_EQ(recorded(), (std::vector<std::string>{"--device=phone1", "--send-sms=" + body,
                                                        "--destination=+12025550100"}));
    }
    EXPECT_FALSE(std::filesystem::exists("/tmp/owned"));
    // A second registration changes nothing.
    EXPECT_FALSE(registerMessagesScripts(*host, std::make_shared<KdeConnectSender>("other")));
}

// Nor is a text sent that a program's arguments cannot hold whole.
TEST_F(MessagesSendTest, RefusesAPhoneNumberHoldingLettersOrAnAt) {
    for (const char* number : {"call-me-5551234", "5551234@5550100", "555 1234 x", "555 １２３ é"}) {
        EXPECT_EQ(send("hi", "phone1\n", number), "MessagesTool 400 Invalid phoneNumber") << number;
    }
    EXPECT_EQ(send(std::string("Meet at 5\0 and bring the keys", 30), "phone1\n"),
              "MessagesTool 400 Message contains a NUL character, which cannot be sent");
    EXPECT_EQ(recorded(), std::vector<std::string>{});
    EXPECT_EQ(send("hi", "phone1\n", "+1 (202) 555-0100"), "✅ Message sent to +12025550100");
}

// Sent only when a device took it; otherwise the reply says why.
TEST_F(MessagesSendTest, SentThroughAReachableDeviceOrAFailureSayingWhy) {
    const std::string body = "--help \"quoted\" $(id) `id`\nline two";
    const std::string to = "--destination=+12025550100";
    const std::string failed = "MessagesTool 500 Failed to send: ";
    // What --list-available --id-only prints (null: no program), the sends, the reply.
    const std::tuple<const char*, std::vector<std::string>, std::string> rows[] = {
        {nullptr, {}, failed + "KDE Connect is not installed (no kdeconnect-cli to run)"},
        {"broken", {}, failed + "KDE Connect cannot list devices: no daemon running (exit status 1)"},
        {"", {}, failed + "no reachable KDE Connect device (pair a phone and keep it connected)"},
        {"phone1\n", {"--device=phone1", "--send-sms=" + body, to}, "✅ Message sent to +12025550100"},
        {"nosms\nphone2\n", {"--device=nosms", "--send-sms=" + body, to, "--device=phone2", "--send-sms=" + body, to},
         "✅ Message sent to +12025550100"},
        {"nosms1\nnosms2\n",
         {"--device=nosms1", "--send-sms=" + body, to, "--device=nosms2", "--send-sms=" + body, to},
         failed + "no KDE Connect device took the message (nosms1: no SMS plugin (exit status 1); nosms2: no SMS "
                  "plugin (exit status 1))"},
    };
    for (const auto& [devices, sends, reply] : rows) {
        SCOPED_TRACE(devices ? devices : "no program");
        EXPECT_EQ(send(body, devices), reply);
        EXPECT_EQ(recorded(), sends);
    }
}

}  // namespace
}  // namespace app::tools
