// The calendar and reminder tools on the folders khal, todoman and
// vdirsyncer keep, each program driven as a user would, both ways, under a
// time zone that is not UTC.
#include "app/platform/child_process.hpp"
#include "app/platform/ical_event_store.hpp"
#include "app/platform/scratch_dir.hpp"
#include "app/tools/calendar/calendar_tools.hpp"
#include "app/tools/calendar/event_kit_service.hpp"
#include "app/tools/calendar/reminders_tools.hpp"
#include "json/json.hpp"

#include "calendar_test_support.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

namespace app::tools {
namespace {

using platform::EntityType;
using testing::at;
using testsupport::writeFile;

// Texts as users type them, with what iCalendar escapes and what scripts quote.
const std::vector<std::string> kTexts = {
    "A, B", "x;y", "back\\slash", "trailing\\", "\"quoted\"", "tab\there", "张伟 🎉 émoji",
    "\"; do shell script \"rm -rf ~\" --", "'); DROP TABLE events; --",
};
// Not here: a backslash before an "n", which the peers' own reader takes for
// a line break (Brisolet's store test covers it).

class CalendarInteropTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* program : {"khal", "todoman", "vdirsyncer"})
            if (!platform::runProgram({program, "--version"}, std::chrono::seconds(30)).started)
                GTEST_SKIP() << program << " is not installed (scripts/setup installs it)";
        for (const char* program : {"/khal", "/todoman", "/vdirsyncer"})
            std::filesystem::create_directories(config + program);
        writeFile(config + "/khal/config",
                  "[calendars]\n[[brisolet]]\npath = " + root + "/*\ntype = discover\n"
                  "[locale]\ntimeformat = %H:%M\ndateformat = %Y-%m-%d\nlongdateformat = %Y-%m-%d\n"
                  "datetimeformat = %Y-%m-%d %H:%M\nlongdatetimeformat = %Y-%m-%d %H:%M\n"
                  "local_timezone = Europe/Berlin\ndefault_timezone = Europe/Berlin\n");
        writeFile(config + "/todoman/config.py", "path = \"" + root + "/*\"\ndate_format = \"%Y-%m-%d\"\n"
                                                 "time_format = \"%H:%M\"\ndefault_list = \"Reminders\"\n");
        writeFile(config + "/vdirsyncer/config",
                  "[general]\nstatus_path = \"" + dir.file("status") + "\"\n"
                  "[pair mirror]\na = \"brisolet\"\nb = \"copy\"\ncollections = [\"from a\"]\n"
                  "[storage brisolet]\ntype = \"filesystem\"\npath = \"" + root + "\"\nfileext = \".ics\"\n"
                  "[storage copy]\ntype = \"filesystem\"\npath = \"" + dir.file("copy") + "\"\nfileext = \".ics\"\n");
        registerStore(root);
    }

    void registerStore(const std::string& folder) {
        store = std::make_shared<platform::IcalEventStore>(folder, std::make_shared<platform::FakeAccessPrompter>(),
                                                          diagnostics);
        calendar = std::make_unique<CalendarToolHandler>(std::make_shared<CalendarManager>(store, diagnostics),
                                                         nullptr, [] { return at("2025-03-01T00:00:00Z"); });
        reminders = std::make_unique<RemindersToolHandler>(
            std::make_shared<EventKitService>(store, diagnostics, [] { return at("2025-03-01T00:00:00Z"); }), nullptr);
    }

    // Runs a peer to its end; its standard output, or the test fails.
    std::string peer(const std::vector<std::string>& argv) {
        platform::ProgramRun run = platform::runProgram(argv, std::chrono::seconds(60));
        EXPECT_TRUE(run.started && run.exitCode == 0) << argv[0] << " " << argv[1] << " failed:\n" << run.output;
        return run.output;
    }

    std::vector<json::Value> events(const std::string& from, const std::string& to) {
        json::Value list = json::parse(calendar->handle("get_events", {{"fromDate", from}, {"toDate", to}, {"limit", 100}}, {}));
        return list.asArray();
    }

    // khal's view of a day: title, location and description of each event.
    std::vector<std::vector<std::string>> khalDay(const std::string& day) {
        std::string out = peer({"khal", "list", "--format", "{title}\x1e{location}\x1e{description}\x1f",
                                "--day-format", "", day, "1d"});
        std::vector<std::vector<std::string>> rows;
        for (std::size_t at = 0, end; (end = out.find('\x1f', at)) != std::string::npos; at = end + 1) {
            std::string row = out.substr(at, end - at);
            while (!row.empty() && row.front() == '\n') row.erase(0, 1);
            std::vector<std::string> fields;
            for (std::size_t f = 0, e; f <= row.size(); f = e + 1) {
                e = std::min(row.find('\x1e', f), row.size());
                fields.push_back(row.substr(f, e - f));
            }
            rows.push_back(fields);
        }
        return rows;
    }

    json::Array todos() { return json::parse(peer({"todoman", "--porcelain", "list", "--status", "ANY"})).asArray(); }

    testsupport::ScratchDir dir;
    std::string root = dir.file("calendars");
    std::string config = dir.file("config");
    testsupport::ScopedVariable configHome{"XDG_CONFIG_HOME", config.c_str()};
    testsupport::ScopedVariable dataHome{"XDG_DATA_HOME", dir.file("data").c_str()};
    testsupport::ScopedVariable cacheHome{"XDG_CACHE_HOME", dir.file("cache").c_str()};
    testing::ScopedTimeZone zone{"Europe/Berlin"};
    std::shared_ptr<platform::MemoryDiagnosticSink> diagnostics = std::make_shared<platform::MemoryDiagnosticSink>();
    std::shared_ptr<platform::IcalEventStore> store;
    std::unique_ptr<CalendarToolHandler> calendar;
    std::unique_ptr<RemindersToolHandler> reminders;
};

TEST_F(CalendarInteropTest, EventTextsRoundTripThroughKhalBothWays) {
    // Brisolet writes, khal reads.
    for (std::size_t i = 0; i < kTexts.size(); ++i) {
        const std::string hour = std::to_string(10 + i);
        calendar->handle("create_event", {{"title", kTexts[i]}, {"location", kTexts[i]}, {"notes", kTexts[i] + "\nline 2"},
                                          {"startDate", "2025-03-20T" + hour + ":00:00+01:00"},
                                          {"endDate", "2025-03-20T" + hour + ":30:00+01:00"}}, {});
    }
    auto seen = khalDay("2025-03-20");
    ASSERT_EQ(seen.size(), kTexts.size());
    for (std::size_t i = 0; i < kTexts.size(); ++i)
        EXPECT_EQ(seen[i], (std::vector<std::string>{kTexts[i], kTexts[i], kTexts[i] + "\nline 2"})) << kTexts[i];

    // khal writes, Brisolet reads: every tool shows the text as typed.
    for (std::size_t i = 0; i < kTexts.size(); ++i) {
        const std::string hour = std::to_string(10 + i);
        peer({"khal", "new", "-a", "Calendar", "-l", kTexts[i], "2025-03-21", hour + ":00", hour + ":30", kTexts[i],
              "::", "first\nsecond"});
    }
    auto listed = events("2025-03-21T00:00:00+01:00", "2025-03-22T00:00:00+01:00");
    ASSERT_EQ(listed.size(), kTexts.size());
    for (std::size_t i = 0; i < kTexts.size(); ++i) {
        SCOPED_TRACE(kTexts[i]);
        EXPECT_EQ(listed[i].find("title")->asString(), kTexts[i]);
        EXPECT_EQ(listed[i].find("location")->asString(), kTexts[i]);
        EXPECT_EQ(listed[i].find("notes")->asString(), "first\nsecond");
        char expected[32];
        std::snprintf(expected, sizeof expected, "2025-03-21T%02zu:00", 9 + i);  // Berlin is UTC+1 in March
        EXPECT_EQ(listed[i].find("startDate")->asString().substr(0, 16), expected);
        json::Value found = json::parse(calendar->handle(
            "search_events", {{"searchText", kTexts[i]}, {"fromDate", "2025-03-21T00:00:00Z"}, {"toDate", "2025-03-22T00:00:00Z"}}, {}));
        ASSERT_FALSE(found.asArray().empty());
        EXPECT_EQ(found.asArray()[0].find("title")->asString(), kTexts[i]);
    }
}

TEST_F(CalendarInteropTest, ReminderTextsAndCompletionRoundTripThroughTodoman) {
    for (const auto& text : kTexts) reminders->handle("reminders_add", {{"title", text}, {"notes", text}}, {});
    std::vector<std::string> summaries;
    for (const auto& todo : todos()) {
        summaries.push_back(todo.find("summary")->asString());
        EXPECT_EQ(todo.find("description")->asString(), summaries.back());
    }
    EXPECT_THAT(summaries, ::testing::UnorderedElementsAreArray(kTexts));

    for (const auto& text : kTexts) peer({"todoman", "new", "-l", "Reminders", "peer " + text});
    int done = 0;
    for (const auto& todo : todos())
        if (todo.find("summary")->asString().starts_with("peer ") && done++ < 3)
            peer({"todoman", "done", std::to_string(todo.find("id")->asInt())});
    const std::string open = reminders->handle("reminders_fetch", {{"limit", 100}}, {});
    const std::string completed = reminders->handle("reminders_fetch", {{"status", "completed"}, {"limit", 100}}, {});
    EXPECT_THAT(completed, ::testing::HasSubstr("Found 3 reminders"));
    EXPECT_THAT(open, ::testing::HasSubstr("Found " + std::to_string(2 * kTexts.size() - 3) + " reminders"));
    for (const auto& text : kTexts) {
        auto found = store->reminders({});
        EXPECT_EQ(std::count_if(found.begin(), found.end(), [&](const auto& r) { return r.title == text; }), 1) << text;
        EXPECT_THAT(open + completed, ::testing::HasSubstr("peer " + text)) << text;
    }
}

// khal's calendar folder with no to-dos: reminders still work; to-dos and
// events in one folder are all served, to both peers and to Brisolet.
TEST_F(CalendarInteropTest, KhalsFoldersTakeRemindersAndMixedFoldersServeBoth) {
    std::filesystem::create_directories(root + "/personal");
    peer({"khal", "new", "-a", "personal", "2025-03-20", "09:00", "10:00", "Dentist"});
    EXPECT_THAT(reminders->handle("reminders_add", {{"title", "Milk"}}, {}), ::testing::HasSubstr("Created reminder"));
    EXPECT_THAT(reminders->handle("reminders_get_lists", {}, {}), ::testing::HasSubstr("- Reminders"));
    // todoman puts a to-do into khal's folder, khal an event into the list.
    peer({"todoman", "new", "-l", "personal", "Call back"});
    peer({"khal", "new", "-a", "Reminders", "2025-03-20", "11:00", "12:00", "Review"});
    std::vector<std::string> titles;
    for (const auto& e : events("2025-03-20T00:00:00+01:00", "2025-03-21T00:00:00+01:00"))
        titles.push_back(e.find("title")->asString());
    EXPECT_EQ(titles, (std::vector<std::string>{"Dentist", "Review"}));
    const std::string open = reminders->handle("reminders_fetch", {}, {});
    EXPECT_THAT(open, ::testing::AllOf(::testing::HasSubstr("Milk"), ::testing::HasSubstr("Call back")));
    EXPECT_THAT(calendar->handle("create_event", {{"title", "After"}, {"startDate", "2025-03-20T13:00:00+01:00"},
                                                  {"endDate", "2025-03-20T14:00:00+01:00"}}, {}),
                ::testing::HasSubstr("Event created"));
    EXPECT_EQ(khalDay("2025-03-20").size(), 3u);
    std::vector<std::string> summaries;
    for (const auto& todo : todos()) summaries.push_back(todo.find("summary")->asString());
    EXPECT_THAT(summaries, ::testing::UnorderedElementsAre("Milk", "Call back"));
}

// Dates the files cannot hold are refused and leave no file the peers would
// choke on; the latest year they hold reads back in khal and todoman.
TEST_F(CalendarInteropTest, DatesBeyondWhatTheFilesHoldAreRefusedAndThePeersStillRead) {
    EXPECT_ANY_THROW(reminders->handle("reminders_add", {{"title", "far"}, {"dueDate", "9999-12-31T23:59:59Z"}}, {}));
    EXPECT_ANY_THROW(calendar->handle("create_event", {{"title", "far"}, {"startDate", "9999-06-01T09:00:00Z"},
                                                      {"endDate", "9999-06-01T10:00:00Z"}}, {}));
    EXPECT_THAT(reminders->handle("reminders_add", {{"title", "near"}, {"dueDate", "3000-06-01T09:00:00Z"}}, {}),
                ::testing::HasSubstr("Created reminder"));
    EXPECT_THAT(calendar->handle("create_event", {{"title", "late"}, {"startDate", "3000-06-01T09:00:00Z"},
                                                  {"endDate", "3000-06-01T10:00:00Z"}}, {}),
                ::testing::HasSubstr("Event created"));
    const auto listed = todos();
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].find("summary")->asString(), "near");
    EXPECT_FALSE(listed[0].find("due")->isNull());
    const auto day = khalDay("3000-06-01");
    ASSERT_EQ(day.size(), 1u);
    EXPECT_EQ(day[0].at(0), "late");
}

TEST_F(CalendarInteropTest, VdirsyncerCarriesEverythingBothWays) {
    for (const auto& text : kTexts) {
        calendar->handle("create_event", {{"title", text}, {"startDate", "2025-03-20T10:00:00+01:00"},
                                          {"endDate", "2025-03-20T11:00:00+01:00"}}, {});
        reminders->handle("reminders_add", {{"title", text}}, {});
    }
    for (const auto& entry : std::filesystem::directory_iterator(root))
        if (entry.is_directory()) std::filesystem::create_directories(dir.file("copy") / entry.path().filename());
    peer({"vdirsyncer", "discover"});
    peer({"vdirsyncer", "sync"});
    registerStore(dir.file("copy"));
    std::vector<std::string> titles, todoTitles;
    for (const auto& e : events("2025-03-20T00:00:00+01:00", "2025-03-21T00:00:00+01:00"))
        titles.push_back(e.find("title")->asString());
    for (const auto& r : store->reminders({})) todoTitles.push_back(*r.title);
    EXPECT_THAT(titles, ::testing::UnorderedElementsAreArray(kTexts));
    EXPECT_THAT(todoTitles, ::testing::UnorderedElementsAreArray(kTexts));

    // Saved in the copy, synced back.
    calendar->handle("create_event", {{"title", "from the copy, ; \\"}, {"startDate", "2025-03-20T15:00:00+01:00"},
                                      {"endDate", "2025-03-20T16:00:00+01:00"}}, {});
    peer({"vdirsyncer", "sync"});
    registerStore(root);
    auto back = events("2025-03-20T15:00:00+01:00", "2025-03-20T16:00:00+01:00");
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0].find("title")->asString(), "from the copy, ; \\");
}

}  // namespace
}  // namespace app::tools
