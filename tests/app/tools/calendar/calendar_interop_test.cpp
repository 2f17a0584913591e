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
#include "support/fake_access_prompter.hpp"
#include "support/memory_diagnostic_sink.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <set>
#include <sstream>

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

// Collections kept where a sync tool puts them: the calendars folder the
// store is given, a calendar and a reminder list in it are links to folders.
// Brisolet, khal and todoman all write into them and read each other there.
TEST_F(CalendarInteropTest, LinkedFoldersAreReadAndWrittenThroughByEveryone) {
    const std::string team = dir.file("Sync/TeamCal"), chores = dir.file("Sync/Chores");
    std::filesystem::create_directories(team);
    std::filesystem::create_directories(chores);
    std::filesystem::create_directories(root);
    std::filesystem::create_directory_symlink(team, root + "/team");
    std::filesystem::create_directory_symlink(chores, root + "/chores");
    // A link back up holds no items (khal itself fails on a loop of links,
    // which the store's own test covers).
    std::filesystem::create_directory_symlink(dir.file("linked-root"), root + "/up");
    std::filesystem::create_directory_symlink(root, dir.file("linked-root"));
    registerStore(dir.file("linked-root"));

    peer({"khal", "new", "-a", "team", "2025-03-20", "09:00", "10:00", "Standup"});
    peer({"todoman", "new", "-l", "chores", "Water plants"});
    EXPECT_THAT(calendar->handle("create_event", {{"title", "Review"}, {"calendarName", "team"},
                                                  {"startDate", "2025-03-20T11:00:00+01:00"},
                                                  {"endDate", "2025-03-20T12:00:00+01:00"}}, {}),
                ::testing::HasSubstr("Event created"));
    EXPECT_THAT(reminders->handle("reminders_add", {{"title", "Buy soil"}, {"listName", "chores"}}, {}),
                ::testing::HasSubstr("Created reminder"));

    std::vector<std::string> titles;
    for (const auto& e : events("2025-03-20T00:00:00+01:00", "2025-03-21T00:00:00+01:00"))
        titles.push_back(e.find("title")->asString() + " in " + e.find("calendarName")->asString());
    EXPECT_EQ(titles, (std::vector<std::string>{"Standup in team", "Review in team"}));
    auto day = khalDay("2025-03-20");
    ASSERT_EQ(day.size(), 2u);
    EXPECT_EQ(day[1][0], "Review");
    std::vector<std::string> summaries;
    for (const auto& todo : todos()) summaries.push_back(todo.find("summary")->asString());
    EXPECT_THAT(summaries, ::testing::UnorderedElementsAre("Water plants", "Buy soil"));
    EXPECT_THAT(reminders->handle("reminders_fetch", {{"listName", "chores"}}, {}),
                ::testing::AllOf(::testing::HasSubstr("Water plants"), ::testing::HasSubstr("Buy soil")));
    // The items are in the folders the links lead to, and links stay links.
    std::size_t files = 0;
    for (const auto& folder : {team, chores})
        for (const auto& entry : std::filesystem::directory_iterator(folder))
            files += entry.path().extension() == ".ics" && entry.is_regular_file() ? 1 : 0;
    EXPECT_EQ(files, 4u);
    EXPECT_TRUE(std::filesystem::is_symlink(root + "/team"));
    EXPECT_TRUE(std::filesystem::is_symlink(dir.file("linked-root")));
}

// Local times that a change of offset skips or repeats, in files as other
// programs write them: read as RFC 5545 says (a skipped time takes the offset
// before the change, a repeated one is its first occurrence), also for the
// occurrences of a rule. khal reads every skipped time so; for repeated ones
// it takes the second occurrence, which the rows leave unchecked there.
TEST_F(CalendarInteropTest, TimesInAChangeOfOffsetReadAsKhalAndICalendarDo) {
    struct Row {
        const char* id;
        const char* start;
        const char* rule;  // null: khal writes the event
        std::vector<std::string> utc;
        bool khalAgrees;
    };
    const Row rows[] = {
        {"berlin-gap", "TZID=Europe/Berlin:20300331T023000", "", {"2030-03-31 01:30"}, true},
        {"newyork-gap", "TZID=America/New_York:20300310T023000", "", {"2030-03-10 07:30"}, true},
        {"daily-spring", "TZID=Europe/Berlin:20300330T023000", "RRULE:FREQ=DAILY;COUNT=3\r\n",
         {"2030-03-30 01:30", "2030-03-31 01:30", "2030-04-01 00:30"}, true},
        {"berlin-overlap", "TZID=Europe/Berlin:20301027T023000", "", {"2030-10-27 00:30"}, false},
        {"newyork-overlap", "TZID=America/New_York:20301103T013000", "", {"2030-11-03 05:30"}, false},
        {"daily-autumn", "TZID=Europe/Berlin:20301026T023000", "RRULE:FREQ=DAILY;COUNT=3\r\n",
         {"2030-10-26 00:30", "2030-10-27 00:30", "2030-10-28 01:30"}, false},
        // Written by khal (start given as day and time in Berlin), with the VTIMEZONE it writes.
        {"khal-overlap", "2030-10-27 02:30", nullptr, {"2030-10-27 00:30"}, false},
        {"khal-gap", "2030-03-31 02:30", nullptr, {"2030-03-31 01:30"}, true},
        {"khal-summer-hour", "2030-03-31 03:30", nullptr, {"2030-03-31 01:30"}, true},
    };
    std::filesystem::create_directories(root + "/Calendar");
    for (const auto& row : rows) {
        if (!row.rule) {
            const std::string day(row.start, 10), time(row.start + 11);
            peer({"khal", "new", "-a", "Calendar", day, time, "10m", row.id});
            continue;
        }
        writeFile(root + "/Calendar/" + row.id + ".ics",
                  std::string("BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Other//App//EN\r\nBEGIN:VEVENT\r\nUID:") + row.id +
                      "\r\nDTSTAMP:20250101T000000Z\r\nSUMMARY:" + row.id + "\r\nDTSTART;" + row.start +
                      "\r\nDURATION:PT10M\r\n" + row.rule + "END:VEVENT\r\nEND:VCALENDAR\r\n");
    }
    // khal showing times in UTC.
    const std::string utcConfig = config + "/khal/utc";
    std::string khalConfig = testsupport::readFile(config + "/khal/config");
    for (const char* key : {"local_timezone = Europe/Berlin", "default_timezone = Europe/Berlin"})
        khalConfig.replace(khalConfig.find(key), std::strlen(key), std::string(key, std::strchr(key, '=') + 2) + "UTC");
    writeFile(utcConfig, khalConfig);
    const std::string khal = peer({"khal", "-c", utcConfig, "list", "--format", "{title}\x1e{start}", "--day-format", "",
                                   "2030-03-01", "2030-12-01"});
    const auto listed = events("2030-03-01T00:00:00Z", "2030-12-01T00:00:00Z");
    for (const auto& row : rows) {
        SCOPED_TRACE(row.id);
        std::vector<std::string> ours;
        for (const auto& e : listed) {
            if (e.find("title")->asString() != row.id) continue;
            const std::string start = e.find("startDate")->asString();
            ours.push_back(start.substr(0, 10) + " " + start.substr(11, 5));
        }
        EXPECT_EQ(ours, row.utc);
        std::set<std::string> theirs;
        std::istringstream lines(khal);
        for (std::string line; std::getline(lines, line);)
            if (line.starts_with(std::string(row.id) + "\x1e")) theirs.insert(line.substr(line.find('\x1e') + 1));
        if (row.khalAgrees) EXPECT_EQ(theirs, std::set<std::string>(row.utc.begin(), row.utc.end()));
    }
}

// python-icalendar's own example of two series without UID (khal skips the
// file for it): both are listed, the weekly Vienna one with its ten 2012
// occurrences, each series under an id of its own.
TEST_F(CalendarInteropTest, SeriesWithoutUidAreListedWhole) {
    const std::string example = "/usr/lib/python3/dist-packages/icalendar/tests/recurrence.ics";
    ASSERT_TRUE(std::filesystem::exists(example)) << example << " missing (khal's python3-icalendar holds it)";
    std::filesystem::create_directories(root + "/Calendar");
    std::filesystem::copy_file(example, root + "/Calendar/recurrence.ics");
    std::vector<std::string> vienna;
    for (const auto& e : events("2012-01-01T00:00:00Z", "2013-01-01T00:00:00Z")) {
        EXPECT_EQ(e.find("id")->asString(), "recurrence#2");
        vienna.push_back(e.find("startDate")->asString());
    }
    EXPECT_EQ(vienna, (std::vector<std::string>{"2012-03-27T08:00:00Z", "2012-04-24T08:00:00Z", "2012-05-08T08:00:00Z",
                                                "2012-05-15T08:00:00Z", "2012-05-22T08:00:00Z", "2012-06-05T08:00:00Z",
                                                "2012-06-12T08:00:00Z", "2012-06-19T08:00:00Z", "2012-06-26T08:00:00Z",
                                                "2012-07-03T08:00:00Z"}));
    // Floating 01:00 in Berlin is 23:00Z: the EXDATEs at 01:00Z name no occurrence.
    const auto daily = events("1996-04-01T00:00:00Z", "1996-04-06T00:00:00Z");
    ASSERT_EQ(daily.size(), 5u);
    EXPECT_EQ(daily[0].find("id")->asString(), "recurrence");
    EXPECT_EQ(daily[0].find("startDate")->asString(), "1996-04-01T23:00:00Z");
}

// An all-day event ends the day before its DTEND: the days khal shows are the
// days Brisolet lists, written by either.
TEST_F(CalendarInteropTest, AllDayEventsCoverTheSameDaysForKhal) {
    calendar->handle("create_event", {{"title", "Fair"}, {"startDate", "2030-07-01"},
                                      {"endDate", "2030-07-02T12:00:00+02:00"}, {"isAllDay", true}}, {});
    peer({"khal", "new", "-a", "Calendar", "2030-07-05", "2030-07-06", "Trip"});  // khal's end day is its last
    const std::tuple<const char*, std::vector<std::string>> days[] = {
        {"2030-07-01", {"Fair"}}, {"2030-07-02", {"Fair"}}, {"2030-07-03", {}},
        {"2030-07-04", {}}, {"2030-07-05", {"Trip"}}, {"2030-07-06", {"Trip"}}, {"2030-07-07", {}},
    };
    for (const auto& [day, titles] : days) {
        SCOPED_TRACE(day);
        std::vector<std::string> khals, ours;
        for (const auto& row : khalDay(day)) khals.push_back(row.at(0));
        const std::string from = std::string(day) + "T00:00:00+02:00", to = std::string(day) + "T23:59:59+02:00";
        for (const auto& e : events(from, to)) ours.push_back(e.find("title")->asString());
        EXPECT_EQ(khals, titles);
        EXPECT_EQ(ours, titles);
    }
}

// A to-do todoman cancelled is done, as todoman shows it, and stays
// cancelled; titles and notes keep the blanks they start and end with.
TEST_F(CalendarInteropTest, CancelledToDosAndBlanksAsTodomanHasThem) {
    const std::vector<std::string> blanks = {"  Spaced  ", " x, y; z\\ ", " \t x \t", "   "};
    reminders->handle("reminders_get_lists", {}, {});  // the lists, for todoman to find
    peer({"todoman", "new", "-l", "Reminders", "Dropped"});
    for (const auto& text : blanks) peer({"todoman", "new", "-l", "Reminders", text});
    for (const auto& todo : todos())
        if (todo.find("summary")->asString() == "Dropped") peer({"todoman", "cancel", std::to_string(todo.find("id")->asInt())});
    std::string cancelledFile;
    for (const auto& entry : std::filesystem::directory_iterator(root + "/Reminders")) {
        const std::string text = testsupport::readFile(entry.path());
        if (text.find("SUMMARY:Dropped") != std::string::npos) cancelledFile = entry.path();
    }
    ASSERT_FALSE(cancelledFile.empty());
    const std::string before = testsupport::readFile(cancelledFile);
    ASSERT_THAT(before, ::testing::HasSubstr("STATUS:CANCELLED"));

    const std::string open = reminders->handle("reminders_fetch", {}, {});
    const std::string done = reminders->handle("reminders_fetch", {{"status", "completed"}}, {});
    EXPECT_THAT(open, ::testing::Not(::testing::HasSubstr("Dropped")));
    EXPECT_THAT(done, ::testing::HasSubstr("\u2611\uFE0F Dropped"));
    EXPECT_THAT(reminders->handle("reminders_find", {{"query", "dropped"}}, {}),
                ::testing::Not(::testing::HasSubstr("\u2610 Dropped")));
    const auto finished = store->reminders({.completed = true});
    ASSERT_EQ(finished.size(), 1u);
    EXPECT_EQ(finished[0].title, "Dropped");
    store->setReminderCompletion(finished[0].identifier, at("2025-03-02T00:00:00Z"));
    EXPECT_EQ(testsupport::readFile(cancelledFile), before);

    std::vector<std::string> ours;
    for (const auto& r : store->reminders({})) ours.push_back(r.title.value_or("<none>"));
    EXPECT_THAT(ours, ::testing::UnorderedElementsAreArray(blanks));
    for (const auto& text : blanks) reminders->handle("reminders_add", {{"title", "ours" + text}, {"notes", text}}, {});
    for (const auto& todo : todos()) {
        const std::string summary = todo.find("summary")->asString();
        if (summary.starts_with("ours")) EXPECT_EQ("ours" + todo.find("description")->asString(), summary);
        if (summary == "Dropped") EXPECT_TRUE(todo.find("completed")->asBool());
    }
}

}  // namespace
}  // namespace app::tools
