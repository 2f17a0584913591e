// The iCalendar collections as other calendar programs leave them.
#include "app/platform/ical_event_store.hpp"

#include "app/platform/defaults_store.hpp"
#include "app/platform/scratch_dir.hpp"
#include "app/platform/sqlite.hpp"
#include "support/fake_access_prompter.hpp"
#include "support/memory_diagnostic_sink.hpp"
#include "runtime/runtime.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <thread>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace app::platform {
namespace {

using namespace std::chrono;
using testsupport::readFile;
using testsupport::writeFile;

Instant utc(int month, int day, int hour, int minute = 0) {
    return Instant(sys_days(year(2025) / month / day).time_since_epoch() + hours(hour) + minutes(minute));
}

std::string item(const std::string& body) {
    return "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Other//App//EN\r\n" + body + "END:VCALENDAR\r\n";
}

const std::string kNewYork =
    "BEGIN:VTIMEZONE\r\nTZID:America/New_York\r\n"
    "BEGIN:DAYLIGHT\r\nTZOFFSETFROM:-0500\r\nTZOFFSETTO:-0400\r\nTZNAME:EDT\r\nDTSTART:19700308T020000\r\n"
    "RRULE:FREQ=YEARLY;BYMONTH=3;BYDAY=2SU\r\nEND:DAYLIGHT\r\n"
    "BEGIN:STANDARD\r\nTZOFFSETFROM:-0400\r\nTZOFFSETTO:-0500\r\nTZNAME:EST\r\nDTSTART:19701101T020000\r\n"
    "RRULE:FREQ=YEARLY;BYMONTH=11;BYDAY=1SU\r\nEND:STANDARD\r\nEND:VTIMEZONE\r\n";

Instant utc2030(int month, int day, int hour, int minute = 0) {
    return Instant(sys_days(year(2030) / month / day).time_since_epoch() + hours(hour) + minutes(minute));
}

// The local zone (TZ) for one test.
class LocalZone {
public:
    explicit LocalZone(const char* zone) : saved_(std::getenv("TZ") ? std::optional<std::string>(std::getenv("TZ")) : std::nullopt) {
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
    ~LocalZone() {
        saved_ ? ::setenv("TZ", saved_->c_str(), 1) : ::unsetenv("TZ");
        ::tzset();
    }

private:
    std::optional<std::string> saved_;
};

class IcalStoreTest : public ::testing::Test {
protected:
    IcalStoreTest() {
        std::filesystem::create_directories(root + "/work");
        std::filesystem::create_directories(root + "/tasks");
        writeFile(root + "/work/displayname", "Work\n");
        writeFile(root + "/work/color", "#ff0000\n");
        writeFile(root + "/tasks/displayname", "Chores");
        writeFile(root + "/work/tz.ics",
                  item(kNewYork + "BEGIN:VEVENT\r\nUID:tz-1\r\nDTSTAMP:20250101T000000Z\r\nSUMMARY:New York call\r\n"
                                  "DTSTART;TZID=America/New_York:20250310T090000\r\n"
                                  "DTEND;TZID=America/New_York:20250310T100000\r\nEND:VEVENT\r\n"));
        writeFile(root + "/work/allday.ics",
                  item("BEGIN:VEVENT\r\nUID:day-1\r\nDTSTAMP:20250101T000000Z\r\nSUMMARY:Holiday\r\n"
                       "DTSTART;VALUE=DATE:20250312\r\nDTEND;VALUE=DATE:20250313\r\nEND:VEVENT\r\n"));
        writeFile(root + "/work/weekly.ics",
                  item("BEGIN:VEVENT\r\nUID:week-1\r\nDTSTAMP:20250101T000000Z\r\nSUMMARY:Standup\r\n"
                       "DTSTART:20250303T100000Z\r\nDTEND:20250303T103000Z\r\nRRULE:FREQ=WEEKLY;COUNT=10\r\n"
                       "EXDATE:20250317T100000Z\r\nLOCATION:Room 2\r\nEND:VEVENT\r\n"));
        writeFile(root + "/work/broken.ics", "this is not a calendar\n");
        writeFile(root + "/tasks/todo.ics",
                  item("BEGIN:VTODO\r\nUID:todo-1\r\nDTSTAMP:20250101T000000Z\r\nSUMMARY;X-FOO=bar:Sweep\r\n"
                       "DUE:20250315T080000\r\nPRIORITY:1\r\nX-OTHER-APP:keep me\r\nEND:VTODO\r\n"));
    }

    testsupport::ScratchDir dir;
    std::string root = dir.file("calendars");
    std::shared_ptr<MemoryDiagnosticSink> sink = std::make_shared<MemoryDiagnosticSink>();
    IcalEventStore store{root, std::make_shared<FakeAccessPrompter>(), sink};
};

TEST_F(IcalStoreTest, ReadsCollectionsOtherProgramsWrote) {
    // A series of RDATEs alone, one with an occurrence moved, a two-day event.
    writeFile(root + "/work/rdate.ics",
              item("BEGIN:VEVENT\r\nUID:rdate-1\r\nSUMMARY:Visit\r\nDTSTART:20250305T080000Z\r\n"
                   "DTEND:20250305T090000Z\r\nRDATE:20250307T080000Z\r\nEND:VEVENT\r\n"));
    writeFile(root + "/work/moved.ics",
              item("BEGIN:VEVENT\r\nUID:moved-1\r\nSUMMARY:Review\r\nDTSTART:20250304T150000Z\r\n"
                   "DTEND:20250304T160000Z\r\nRRULE:FREQ=DAILY;COUNT=3\r\nEND:VEVENT\r\n"
                   "BEGIN:VEVENT\r\nUID:moved-1\r\nSUMMARY:Review moved\r\nRECURRENCE-ID:20250305T150000Z\r\n"
                   "DTSTART:20250305T170000Z\r\nDTEND:20250305T180000Z\r\nEND:VEVENT\r\n"));
    writeFile(root + "/work/trip.ics",
              item("BEGIN:VEVENT\r\nUID:trip-1\r\nSUMMARY:Trip\r\nDTSTART;VALUE=DATE:20250314\r\n"
                   "DTEND;VALUE=DATE:20250316\r\nEND:VEVENT\r\n"));
    EXPECT_EQ(store.calendars(EntityType::Event).size(), 1u);  // nothing added to a root in use
    EXPECT_EQ(store.calendars(EntityType::Reminder).size(), 1u);

    struct Row {
        std::string title;
        Instant start, end;
        bool allDay;
    };
    const Instant holiday = *localInstant({2025, 3, 12, 0, 0});
    const Row expected[] = {
        {"Standup", utc(3, 3, 10), utc(3, 3, 10, 30), false},
        {"Review", utc(3, 4, 15), utc(3, 4, 16), false},
        {"Visit", utc(3, 5, 8), utc(3, 5, 9), false},  // DTSTART counts with RDATEs alone
        {"Review moved", utc(3, 5, 17), utc(3, 5, 18), false},  // in place of the 15:00 one
        {"Review", utc(3, 6, 15), utc(3, 6, 16), false},
        {"Visit", utc(3, 7, 8), utc(3, 7, 9), false},
        {"Standup", utc(3, 10, 10), utc(3, 10, 10, 30), false},
        {"New York call", utc(3, 10, 13), utc(3, 10, 14), false},  // EDT, four hours behind
        {"Holiday", holiday, *localInstant({2025, 3, 13, 0, 0}), true},
        {"Trip", *localInstant({2025, 3, 14, 0, 0}), *localInstant({2025, 3, 16, 0, 0}), true},  // DTEND exclusive
        {"Standup", utc(3, 24, 10), utc(3, 24, 10, 30), false},  // the 17th is excluded
        {"Standup", utc(3, 31, 10), utc(3, 31, 10, 30), false},
    };
    for (int round = 0; round < 2; ++round) {
        auto events = store.events(utc(3, 1, 0), utc(4, 1, 0));
        ASSERT_EQ(events.size(), std::size(expected));
        for (std::size_t i = 0; i < events.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(events[i].title, expected[i].title);
            EXPECT_EQ(events[i].startDate, expected[i].start);
            EXPECT_EQ(events[i].endDate, expected[i].end);
            EXPECT_EQ(events[i].isAllDay, expected[i].allDay);
            EXPECT_EQ(events[i].calendar.title, "Work");
        }
    }
    // The window cuts the series: only occurrences inside it.
    auto april = store.events(utc(4, 7, 0), utc(4, 15, 0));
    ASSERT_EQ(april.size(), 2u);
    EXPECT_EQ(april[0].startDate, utc(4, 7, 10));
    EXPECT_EQ(april[1].location, "Room 2");
    EXPECT_TRUE(store.events(utc(5, 12, 0), utc(6, 1, 0)).empty());  // COUNT=10 ended it

    auto todo = store.reminder("todo-1");
    ASSERT_TRUE(todo);
    EXPECT_EQ(todo->title, "Sweep");
    EXPECT_EQ(todo->priority, 1);
    EXPECT_EQ(todo->dueDateComponents, (DateComponents{2025, 3, 15, 8, 0}));
    EXPECT_FALSE(todo->isCompleted);

    // The broken file: skipped, reported once, left as it was.
    EXPECT_EQ(sink->lines().size(), 1u);
    EXPECT_THAT(sink->lines().at(0), ::testing::HasSubstr("broken.ics"));
    EXPECT_EQ(readFile(root + "/work/broken.ics"), "this is not a calendar\n");
}

TEST_F(IcalStoreTest, RewritingKeepsWhatOtherProgramsWrote) {
    store.setReminderCompletion("todo-1", utc(3, 14, 12));
    const std::string text = readFile(root + "/tasks/todo.ics");
    EXPECT_THAT(text, ::testing::HasSubstr("X-OTHER-APP:keep me"));
    EXPECT_THAT(text, ::testing::HasSubstr("SUMMARY;X-FOO=bar:Sweep"));
    EXPECT_THAT(text, ::testing::HasSubstr("COMPLETED:20250314T120000Z"));
    EXPECT_EQ(store.reminder("todo-1")->completionDate, utc(3, 14, 12));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(root + "/tasks"), {}), 2);  // no temporary file left

    // Another program changes the file: seen on the next call.
    writeFile(root + "/tasks/todo.ics",
              item("BEGIN:VTODO\r\nUID:todo-1\r\nSUMMARY:Sweep twice\r\nEND:VTODO\r\n"));
    EXPECT_EQ(store.reminder("todo-1")->title, "Sweep twice");
}

TEST(IcalStore, TwoStoresOnOneRootShareEverySave) {
    testsupport::ScratchDir dir;
    auto prompter = std::make_shared<FakeAccessPrompter>();
    IcalEventStore first(dir.file("c"), prompter, nullptr);
    IcalEventStore second(dir.file("c"), prompter, nullptr);
    EXPECT_EQ(first.calendars(EntityType::Event), second.calendars(EntityType::Event));
    constexpr int perThread = 25;
    auto writer = [&](EventStore& store, const std::string& prefix) {
        for (int i = 0; i < perThread; ++i) store.saveReminder({.title = prefix + std::to_string(i)});
    };
    {
        std::jthread a([&] { writer(first, "a"); });
        std::jthread b([&] { writer(second, "b"); });
    }
    EXPECT_EQ(first.reminders({}).size(), 2u * perThread);
    EXPECT_EQ(second.reminders({}).size(), 2u * perThread);
    EXPECT_EQ(first.calendars(EntityType::Reminder).size(), 1u);
}

// The tables of the program store of the earlier layout, reminders apart.
constexpr const char* kOldStoreTables =
    "CREATE TABLE calendars(seq INTEGER PRIMARY KEY, identifier TEXT, title TEXT, entity INTEGER, is_default INTEGER);"
    "CREATE TABLE events(seq INTEGER PRIMARY KEY, identifier TEXT, calendar INTEGER, title TEXT, location TEXT,"
    " notes TEXT, start_us INTEGER, end_us INTEGER, all_day INTEGER, url TEXT);"
    "CREATE TABLE reminder_alarms(seq INTEGER PRIMARY KEY, reminder INTEGER, at_us INTEGER);";
constexpr const char* kOldRemindersTable =
    "CREATE TABLE reminders(seq INTEGER PRIMARY KEY, identifier TEXT, calendar INTEGER, title TEXT, notes TEXT,"
    " priority INTEGER, due_year INTEGER, due_month INTEGER, due_day INTEGER, due_hour INTEGER,"
    " due_minute INTEGER, completed INTEGER, completion_us INTEGER);";

TEST(IcalStore, CarriesTheOldStoreOverOnce) {
    testsupport::ScratchDir dir;
    const std::string old = dir.file("store.sqlite");
    {
        SqliteConnection db(old, SqliteOpenMode::ReadWriteCreate);
        db.exec(std::string(kOldStoreTables) + kOldRemindersTable +
                "INSERT INTO calendars VALUES(1, 'A', 'Calendar', 0, 1), (2, 'B', 'Reminders', 1, 1), (3, 'C', 'Home', 1, 0),"
                " (4, 'D', '../../../../outside_cal', 0, 0);"
                "INSERT INTO events VALUES(1, 'ev-1', 1, 'Dentist', 'Main St', NULL, 1741341600000000, 1741345200000000, 0,"
                " 'https://example.org'), (2, '/../../../../elsewhere/ESCAPED_EVENT', 4, 'Out', NULL, NULL,"
                " 1741341600000000, 1741345200000000, 0, NULL);"
                "INSERT INTO reminders VALUES(1, 'rem-1', 3, 'Milk', NULL, 5, 2025, 3, 2, NULL, NULL, 1, 1741600000000000);"
                "INSERT INTO reminder_alarms VALUES(1, 1, 1741500000000000);");
    }
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        IcalEventStore store(dir.file("calendars"), std::make_shared<FakeAccessPrompter>(), nullptr, old);
        std::vector<std::string> lists;
        for (const auto& c : store.calendars(EntityType::Reminder)) lists.push_back(c.title);
        EXPECT_EQ(lists, (std::vector<std::string>{"Reminders", "Home"}));
        auto events = store.events(utc(3, 1, 0), utc(4, 1, 0));
        ASSERT_EQ(events.size(), 2u);
        EXPECT_EQ(events[0].identifier, "ev-1");
        // Identifiers and titles become names inside the folder, never paths.
        EXPECT_EQ(events[1].identifier, "/../../../../elsewhere/ESCAPED_EVENT");
        EXPECT_EQ(events[1].calendar.title, "../../../../outside_cal");
        auto file = std::filesystem::path(*store.location(events[1].identifier, EntityType::Event));
        EXPECT_EQ(file.parent_path().parent_path(), dir.file("calendars"));
        EXPECT_EQ(std::filesystem::canonical(file).parent_path().parent_path(), dir.file("calendars"));
        EXPECT_EQ(events[0].startDate, Instant(microseconds(1741341600000000)));
        EXPECT_EQ(events[0].location, "Main St");
        EXPECT_EQ(events[0].url, "https://example.org");
        auto milk = store.reminder("rem-1");
        ASSERT_TRUE(milk);
        EXPECT_EQ(milk->calendar.title, "Home");
        EXPECT_EQ(milk->priority, 5);
        EXPECT_EQ(milk->dueDateComponents, (DateComponents{2025, 3, 2, std::nullopt, std::nullopt}));
        EXPECT_EQ(milk->alarms, std::vector<Instant>{Instant(microseconds(1741500000000000))});
        EXPECT_EQ(milk->completionDate, Instant(microseconds(1741600000000000)));
    }
    SqliteConnection db(old, SqliteOpenMode::ReadOnly);
    auto count = db.prepare("SELECT count(*) FROM events");
    ASSERT_TRUE(count.step());
    EXPECT_EQ(count.int64(0), 2);
}

// An old store that cannot be read whole leaves the calendars untouched, so
// the start that can read it carries everything over once, with no copies.
TEST(IcalStore, AnOldStoreReadHalfwayCarriesNothingOver) {
    testsupport::ScratchDir dir;
    const std::string old = dir.file("store.sqlite");
    {
        SqliteConnection db(old, SqliteOpenMode::ReadWriteCreate);
        // A reminders table without most of its columns.
        db.exec(std::string(kOldStoreTables) +
                "CREATE TABLE reminders(seq INTEGER PRIMARY KEY, identifier TEXT, calendar INTEGER, title TEXT);"
                "INSERT INTO calendars VALUES(1, 'A', 'Work', 0, 1);"
                "INSERT INTO events VALUES(1, 'ev-1', 1, 'Dentist', NULL, NULL, 1741341600000000, 1741345200000000, 0, NULL);");
    }
    auto sink = std::make_shared<MemoryDiagnosticSink>();
    {
        IcalEventStore store(dir.file("calendars"), std::make_shared<FakeAccessPrompter>(), sink, old);
        EXPECT_THROW(store.calendars(EntityType::Event), PlatformError);
    }
    ASSERT_EQ(sink->lines().size(), 1u);
    EXPECT_EQ(sink->lines()[0].rfind("Calendars: cannot carry over " + old + ": ", 0), 0u) << sink->lines()[0];
    {
        SqliteConnection db(old, SqliteOpenMode::ReadWrite);
        db.exec(std::string("DROP TABLE reminders;") + kOldRemindersTable);
    }
    IcalEventStore store(dir.file("calendars"), std::make_shared<FakeAccessPrompter>(), nullptr, old);
    std::vector<std::string> titles;
    for (const auto& c : store.calendars(EntityType::Event)) titles.push_back(c.title);
    EXPECT_EQ(titles, std::vector<std::string>{"Work"});
    EXPECT_EQ(store.events(utc(3, 1, 0), utc(4, 1, 0)).size(), 1u);
}

TEST_F(IcalStoreTest, AnyDateAFileNamesIsReadWithoutOverflow) {
    writeFile(root + "/tasks/odd.ics", item("BEGIN:VTODO\r\nUID:odd-1\r\nSUMMARY:Odd\r\n"
                                            "COMPLETED:10125151T100000Z\r\nEND:VTODO\r\n"));
    auto odd = store.reminder("odd-1");
    ASSERT_TRUE(odd);
    EXPECT_TRUE(odd->isCompleted);
}

// Text comes back exactly as it was given, through this store's own files
// and through text another program escaped (the peers' tests cover the rest).
TEST_F(IcalStoreTest, TextRoundTripsExactly) {
    // A line break of either kind is one line break: the format has one.
    const std::pair<std::string, std::string> rows[] = {
        {"A, B; \\\"q\"\ttab \\", "A, B; \\\"q\"\ttab \\"}, {"\\n is not a break", "\\n is not a break"},
        {"a\r\nb", "a\nb"}, {"张伟 🎉", "张伟 🎉"}, {"  Spaced  ", "  Spaced  "}, {" x, y; z\\ ", " x, y; z\\ "},
        {" \t x\t ", " \t x\t "}, {"   ", "   "}};
    for (const auto& [text, back] : rows) {
        const NewEvent event{
            .title = text, .startDate = utc(3, 20, 9), .endDate = utc(3, 20, 10), .location = text, .notes = text};
        auto saved = store.event(store.saveEvent(event).identifier);
        EXPECT_EQ(std::tie(saved->title, *saved->location, *saved->notes), std::tie(back, back, back)) << text;
        EXPECT_EQ(store.reminder(store.saveReminder({.title = text}).identifier)->title, back);
    }
    writeFile(root + "/work/escaped.ics",
              item("BEGIN:VEVENT\r\nUID:esc-1\r\nSUMMARY:A\\, B\\; c\\\\d\\ne\\Nf\r\nLOCATION:\r\n"
                   "DESCRIPTION;LANGUAGE=en: two\r\n  lines \\n\t\r\nDTSTART:20250320T090000Z\r\nEND:VEVENT\r\n"));
    EXPECT_EQ(store.event("esc-1")->title, "A, B; c\\d\ne\nf");
    EXPECT_EQ(store.event("esc-1")->location, "");
    EXPECT_EQ(store.event("esc-1")->notes, " two lines \n\t");
}

// Calendar servers and other programs keep events and to-dos in one folder,
// and several items in one file: all of it is served, none of it lost.
TEST_F(IcalStoreTest, MixedFoldersAndFilesOfSeveralItemsServeEverything) {
    writeFile(root + "/work/mixed.ics",
              item("BEGIN:VEVENT\r\nUID:m-1\r\nSUMMARY:First\r\nDTSTART:20250320T090000Z\r\nEND:VEVENT\r\n"
                   "BEGIN:VEVENT\r\nUID:m-2\r\nSUMMARY:Second\r\nDTSTART:20250321T090000Z\r\nEND:VEVENT\r\n"
                   "BEGIN:VTODO\r\nUID:m-3\r\nSUMMARY:Task\r\nX-KEEP:me\r\nEND:VTODO\r\n") +
                  item("BEGIN:VEVENT\r\nUID:m-4\r\nSUMMARY:Third\r\nDTSTART:20250322T090000Z\r\nEND:VEVENT\r\n"));
    writeFile(root + "/tasks/khal.ics",
              item("BEGIN:VEVENT\r\nUID:k-1\r\nSUMMARY:In the list\r\nDTSTART:20250323T090000Z\r\nEND:VEVENT\r\n"));
    std::vector<std::string> titles;
    for (const auto& e : store.events(utc(3, 20, 0), utc(3, 24, 0))) titles.push_back(e.title);
    EXPECT_EQ(titles, (std::vector<std::string>{"First", "Second", "Third", "In the list"}));
    EXPECT_EQ(store.calendars(EntityType::Event).size(), 2u);
    EXPECT_EQ(store.calendars(EntityType::Reminder).size(), 2u);
    EXPECT_EQ(store.reminder("m-3")->calendar.title, "Work");
    NewEvent added{
        .title = "New", .startDate = utc(3, 25, 9), .endDate = utc(3, 25, 10), .calendarIdentifier = "tasks"};
    EXPECT_EQ(store.saveEvent(added).calendar.title, "Chores");
    // Completing the to-do rewrites its file with every other item in it.
    store.setReminderCompletion("m-3", utc(3, 21, 0));
    EXPECT_TRUE(store.reminder("m-3")->isCompleted);
    for (const char* id : {"m-1", "m-2", "m-4"}) EXPECT_TRUE(store.event(id)) << id;
    EXPECT_THAT(readFile(root + "/work/mixed.ics"), ::testing::HasSubstr("X-KEEP:me"));

    // Items without UID (as exports hold them) and a UID given twice: each
    // listed under an id of its own from the file and its place; what is not
    // read is reported.
    writeFile(root + "/work/export.ics",
              item("BEGIN:VEVENT\r\nSUMMARY:No UID\r\nDTSTART:20250401T090000Z\r\nEND:VEVENT\r\n"
                   "BEGIN:VJOURNAL\r\nSUMMARY:Diary\r\nEND:VJOURNAL\r\n") +
                  item("BEGIN:VEVENT\r\nSUMMARY:Weekly, no UID\r\nDTSTART:20250402T090000Z\r\n"
                       "RRULE:FREQ=WEEKLY;COUNT=2\r\nEND:VEVENT\r\n"
                       "BEGIN:VEVENT\r\nUID:m-1\r\nSUMMARY:Copy of First\r\nDTSTART:20250403T090000Z\r\nEND:VEVENT\r\n"
                       "BEGIN:VEVENT\r\nUID:twice\r\nSUMMARY:Twice\r\nDTSTART:20250404T090000Z\r\nEND:VEVENT\r\n"
                       "BEGIN:VEVENT\r\nUID:twice\r\nSUMMARY:Twice again\r\nDTSTART:20250405T090000Z\r\nEND:VEVENT\r\n"
                       "BEGIN:VTODO\r\nSUMMARY:Task, no UID\r\nEND:VTODO\r\n"));
    std::vector<std::string> listed;
    for (const auto& e : store.events(utc(4, 1, 0), utc(4, 30, 0)))
        if (e.title != "Standup") listed.push_back(e.title + " " + e.identifier);
    EXPECT_EQ(listed, (std::vector<std::string>{"No UID export", "Weekly, no UID export#2", "Copy of First m-1",
                                                "Twice twice", "Twice again export#5", "Weekly, no UID export#2"}));
    ASSERT_TRUE(store.event("export#5"));
    EXPECT_EQ(store.event("export#5")->title, "Twice again");
    store.setReminderCompletion("export#6", utc(4, 1, 0));
    EXPECT_TRUE(store.reminder("export#6")->isCompleted);
    EXPECT_EQ(store.reminder("export#6")->title, "Task, no UID");
    EXPECT_THAT(sink->lines(), ::testing::Contains("Calendars: skipping part of " + root +
                                                   "/work/export.ics: a VJOURNAL is not an event or a reminder"));
}

// Ids made from file names name one item of the whole root, whatever other
// folders, files and UIDs hold, in this process and the next (through the
// index): lookups, the file and completion reach that item alone.
TEST(IcalStore, MadeIdsNameOneItemAcrossTheRoot) {
    auto event = [](const std::string& uid, const std::string& title) {
        return "BEGIN:VEVENT\r\n" + (uid.empty() ? "" : "UID:" + uid + "\r\n") + "SUMMARY:" + title +
               "\r\nDTSTART:20250401T090000Z\r\nEND:VEVENT\r\n";
    };
    auto todo = [](const std::string& uid, const std::string& title) {
        return "BEGIN:VTODO\r\n" + (uid.empty() ? "" : "UID:" + uid + "\r\n") + "SUMMARY:" + title +
               "\r\nEND:VTODO\r\n";
    };
    struct Listed {
        std::string title, id, file;
    };
    struct Row {
        const char* what;
        std::vector<std::pair<std::string, std::string>> files;  // under the root
        std::vector<Listed> listed;
    };
    const Row rows[] = {
        {"one name in two folders",
         {{"Work/export.ics", event("", "Work's")}, {"Home/export.ics", event("", "Home's")}},
         {{"Home's", "Home/export", "Home/export.ics"}, {"Work's", "Work/export", "Work/export.ics"}}},
        {"a file named as another's second item",
         {{"c/x#2.ics", event("", "Alone")}, {"c/x.ics", event("", "First") + event("", "Second")}},
         {{"Alone", "c/x%232", "c/x#2.ics"}, {"First", "x", "c/x.ics"}, {"Second", "c/x#2", "c/x.ics"}}},
        {"a UID elsewhere",
         {{"c/stem.ics", event("", "Made")}, {"d/other.ics", event("stem", "Real")}},
         {{"Made", "c/stem", "c/stem.ics"}, {"Real", "stem", "d/other.ics"}}},
        {"a UID that is the qualified id too",
         {{"c/stem.ics", event("", "Made")}, {"d/a.ics", event("stem", "Real")}, {"d/b.ics", event("c/stem", "Slash")},
          {"d/c.ics", event("c/stem~2", "Slash 2")}},
         {{"Made", "c/stem~3", "c/stem.ics"}, {"Real", "stem", "d/a.ics"}, {"Slash", "c/stem", "d/b.ics"},
          {"Slash 2", "c/stem~2", "d/c.ics"}}},
        {"a UID its own file repeats as a made id",
         {{"c/a.ics", event("a#2", "Real") + event("", "Made")}},
         {{"Real", "a#2", "c/a.ics"}, {"Made", "c/a#2", "c/a.ics"}}},
        {"reminders and events alike",
         {{"Work/export.ics", todo("", "Task")}, {"Home/export.ics", event("", "Meeting")},
          {"Home/a.ics", todo("a#2", "Real task") + todo("", "Made task")}},
         {{"Meeting", "Home/export", "Home/export.ics"}, {"Task", "Work/export", "Work/export.ics"},
          {"Real task", "a#2", "Home/a.ics"}, {"Made task", "Home/a#2", "Home/a.ics"}}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        testsupport::ScratchDir dir;
        const std::string root = dir.file("c"), index = dir.file("calendars.index");
        for (const auto& [file, body] : row.files) {
            std::filesystem::create_directories(std::filesystem::path(root + "/" + file).parent_path());
            writeFile(root + "/" + file, item(body));
        }
        for (int run = 0; run < 2; ++run) {  // the second reads the first one's index
            SCOPED_TRACE(run);
            IcalEventStore store(root, std::make_shared<FakeAccessPrompter>(), nullptr, std::nullopt, index);
            for (int look = 0; look < 2; ++look) {  // equal starts: compared by title, not order
                std::map<std::string, std::pair<std::string, std::string>> listed, expected;
                for (const auto& e : store.events(utc(4, 1, 0), utc(4, 2, 0)))
                    listed[e.title] = {e.identifier,
                                       store.location(e.identifier, EntityType::Event).value_or("none")};
                for (const auto& r : store.reminders({}))
                    listed[*r.title] = {r.identifier,
                                        store.location(r.identifier, EntityType::Reminder).value_or("none")};
                for (const auto& [title, id, file] : row.listed) expected[title] = {id, root + "/" + file};
                EXPECT_EQ(listed, expected);
            }
            for (const auto& [title, id, file] : row.listed) {
                const auto e = store.event(id);
                const auto r = store.reminder(id);
                EXPECT_EQ(e ? e->title : r ? r->title.value_or("") : "", title) << id;
            }
            if (run == 1) continue;
            // Completing one reminder completes it alone.
            for (const auto& r : store.reminders({})) {
                store.setReminderCompletion(r.identifier, utc(4, 1, 0));
                for (const auto& other : store.reminders({.completed = true}))
                    EXPECT_EQ(other.identifier, r.identifier);
                store.setReminderCompletion(r.identifier, std::nullopt);
            }
        }
    }
}

// What an attacker who can write into the calendars folder may plant: the
// store neither blocks, crashes, writes outside, nor expands without bound.
TEST(IcalStore, PlantedFilesCannotBlockCrashOrRedirect) {
    testsupport::ScratchDir dir;
    const std::string root = dir.file("c");
    std::filesystem::create_directories(root + "/work");
    std::filesystem::create_directories(dir.file("outside"));
    writeFile(dir.file("outside/target"), "keep");
    writeFile(root + "/work/a.ics",
              item("BEGIN:VEVENT\r\nUID:a\r\nSUMMARY:A\r\nDTSTART:20250320T090000Z\r\nEND:VEVENT\r\n"));
    ASSERT_EQ(::mkfifo((root + "/work/displayname").c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo((root + "/work/fifo.ics").c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo((root + "/.brisolet-order").c_str(), 0600), 0);
    std::string deep;
    for (int i = 0; i < 70000; ++i) deep += "BEGIN:VALARM\r\n";
    for (int i = 0; i < 70000; ++i) deep += "END:VALARM\r\n";
    writeFile(root + "/work/deep.ics",
              item("BEGIN:VEVENT\r\nUID:d\r\nDTSTART:20250320T090000Z\r\n" + deep + "END:VEVENT\r\n"));
    std::string rules;
    for (int i = 0; i < 20; ++i) rules += "RRULE:FREQ=SECONDLY\r\n";
    for (int i = 0; i < 1000; ++i) rules += "EXDATE:2021010" + std::to_string(1 + i % 9) + "T000000Z\r\n";
    writeFile(root + "/work/storm.ics",
              item("BEGIN:VEVENT\r\nUID:s\r\nSUMMARY:Storm\r\nDTSTART:20200101T000000Z\r\n" + rules + "END:VEVENT\r\n"));
    // One byte over what an item file may hold: never read, however good.
    const std::string head = "BEGIN:VEVENT\r\nUID:h\r\nDTSTART:20250320T090000Z\r\nX-PAD:";
    const std::string tail = "\r\nEND:VEVENT\r\n";
    writeFile(root + "/work/huge.ics",
              item(head + std::string((16u << 20) + 1 - item(head + tail).size(), 'x') + tail));
    // Temp files: one of a writer that is gone, one of a live one.
    const pid_t gone = ::fork();
    if (gone == 0) ::_exit(0);
    ::waitpid(gone, nullptr, 0);
    const std::string stale[] = {"/work/.x.ics.tmp-" + std::to_string(gone),
                                 "/work/.x.ics.tmp-" + std::to_string(gone) + "-0123456789abcdef"};
    const std::string live = "/work/.y.ics.tmp-" + std::to_string(::getppid()) + "-0123456789abcdef";
    for (const auto& name : stale) writeFile(root + name, "half");
    writeFile(root + live, "half");

    auto sink = std::make_shared<MemoryDiagnosticSink>();
    IcalEventStore store(root, std::make_shared<FakeAccessPrompter>(), sink);
    for (int round = 0; round < 2; ++round) {
        auto events = store.events(utc(1, 1, 0), utc(12, 31, 0));
        EXPECT_EQ(events.front().title, "Storm");
        // The call's budget of occurrences, not the rule's end.
        EXPECT_LE(std::count_if(events.begin(), events.end(), [](const Event& e) { return e.title == "Storm"; }), 50000);
        EXPECT_TRUE(store.event("a"));
        EXPECT_FALSE(store.event("h"));
    }
    EXPECT_EQ(store.calendars(EntityType::Event).at(0).title, "work");
    auto lines = sink->lines();
    for (const char* planted : {"/work/displayname", "/work/fifo.ics", "/.brisolet-order", "/work/deep.ics", "/work/huge.ics"})
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                                [&](const std::string& l) { return l.find(root + planted + ":") != std::string::npos; }),
                  1) << planted;
    EXPECT_THAT(lines, ::testing::Contains(::testing::HasSubstr("cut short at storm.ics")));
    EXPECT_THAT(lines, ::testing::Contains(::testing::HasSubstr("deep.ics: components nested deeper")));
    EXPECT_THAT(lines, ::testing::Contains(::testing::HasSubstr("huge.ics: larger than 16 MiB")));
    for (const auto& name : stale) EXPECT_FALSE(std::filesystem::exists(root + name)) << name;
    EXPECT_TRUE(std::filesystem::exists(root + live));

    // A link planted in place of the order file is replaced, never written
    // through. A collection folder that is a link is the user's layout: the
    // item goes into the folder it leads to, next to what is there.
    std::filesystem::remove(root + "/.brisolet-order");
    std::filesystem::create_symlink(dir.file("outside/target"), root + "/.brisolet-order");
    std::filesystem::create_directory_symlink(dir.file("outside"), root + "/linked");
    store.addCalendar("Added", EntityType::Event);
    EXPECT_EQ(readFile(dir.file("outside/target")), "keep");
    EXPECT_FALSE(std::filesystem::is_symlink(root + "/.brisolet-order"));
    NewEvent event{.title = "Out", .startDate = utc(3, 1, 9), .endDate = utc(3, 1, 10), .calendarIdentifier = "linked"};
    EXPECT_NO_THROW(store.saveEvent(event));
    EXPECT_EQ(readFile(dir.file("outside/target")), "keep");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.file("outside")), {}), 2);
}

// A call stopped while the files are read ends at the next file (or within
// the file it reads) with rt::Cancelled; what it read stays, and the next
// call reads the rest: nothing is lost or taken for read.
TEST(IcalStore, AStoppedCallEndsAndTheNextReadsEverything) {
    testsupport::ScratchDir dir;
    const std::string root = dir.file("c");
    std::filesystem::create_directories(root + "/a");
    std::filesystem::create_directories(root + "/b");
    writeFile(root + "/a/broken.ics", "not a calendar\n");
    for (int i = 0; i < 20; ++i)
        writeFile(root + "/b/e" + std::to_string(i) + ".ics",
                  item("BEGIN:VEVENT\r\nUID:e" + std::to_string(i) + "\r\nSUMMARY:E\r\nDTSTART:20250320T090000Z\r\n"
                       "END:VEVENT\r\n"));
    writeFile(root + "/b/long.ics", item("BEGIN:VEVENT\r\nUID:long\r\nDTSTART:20250320T100000Z\r\nSUMMARY:" +
                                         std::string(15'000'000, 'x') + "\r\nEND:VEVENT\r\n"));
    // The first report (the broken file, in the folder read first) stops the call.
    class StoppingSink : public MemoryDiagnosticSink {
    public:
        void write(std::string_view line) override {
            MemoryDiagnosticSink::write(line);
            source.request_stop();
        }
        std::stop_source source;
    };
    auto sink = std::make_shared<StoppingSink>();
    IcalEventStore store(root, std::make_shared<FakeAccessPrompter>(), sink);
    const std::function<void()> calls[] = {
        [&] { store.events(utc(3, 1, 0), utc(4, 1, 0)); },  // stopped midway
        [&] { store.reminders({}); },                       // stopped before it began
        [&] { store.event("long"); },
    };
    for (const auto& call : calls) {
        rt::StopScope scope(sink->source.get_token());
        EXPECT_THROW(call(), rt::Cancelled);
    }
    const auto events = store.events(utc(3, 1, 0), utc(4, 1, 0));
    EXPECT_EQ(events.size(), 21u);
    ASSERT_TRUE(store.event("long"));
    EXPECT_EQ(store.event("long")->title.size(), 15'000'000u);
    EXPECT_EQ(store.calendars(EntityType::Event).size(), 2u);
}

// The index kept between runs spares a new process the parsing, and is
// never believed over the files: a changed file, or an index that is
// damaged, and the files are read.
TEST(IcalStore, TheIndexBetweenRunsNeverHidesAChange) {
    testsupport::ScratchDir dir;
    const std::string root = dir.file("c"), index = dir.file("index/calendars.index");
    std::filesystem::create_directories(root + "/work");
    auto event = [](const std::string& title) {
        return item("BEGIN:VEVENT\r\nUID:a\r\nSUMMARY:" + title + "\r\nDTSTART:20250320T090000Z\r\nEND:VEVENT\r\n");
    };
    writeFile(root + "/work/a.ics", event("Before"));
    auto title = [&] {
        IcalEventStore store(root, std::make_shared<FakeAccessPrompter>(), nullptr, std::nullopt, index);
        return store.event("a")->title;
    };
    EXPECT_EQ(title(), "Before");
    ASSERT_TRUE(std::filesystem::exists(index));
    const std::string rows[] = {"Afters", "Aftert"};  // same size: the time and inode tell
    for (const auto& next : rows) {
        writeFile(root + "/work/a.ics.new", event(next));
        std::filesystem::rename(root + "/work/a.ics.new", root + "/work/a.ics");
        EXPECT_EQ(title(), next);
    }
    std::string damaged = readFile(index);
    damaged.resize(damaged.size() / 2);
    writeFile(index, damaged);
    EXPECT_EQ(title(), "Aftert");

    // A series keeps its rules (a new process lists every occurrence, not the
    // first alone), and a new zone reads floating and all-day times anew.
    writeFile(root + "/work/w.ics", item("BEGIN:VEVENT\r\nUID:w\r\nSUMMARY:Weekly\r\nDTSTART:20250303T090000Z\r\n"
                                         "RRULE:FREQ=WEEKLY;COUNT=5\r\nEND:VEVENT\r\n"));
    writeFile(root + "/work/f.ics", item("BEGIN:VEVENT\r\nUID:f\r\nSUMMARY:Floating\r\nDTSTART:20250320T090000\r\n"
                                         "END:VEVENT\r\nBEGIN:VEVENT\r\nUID:d\r\nSUMMARY:Day\r\n"
                                         "DTSTART;VALUE=DATE:20250321\r\nEND:VEVENT\r\n"));
    const std::tuple<const char*, Instant, Instant> zones[] = {
        {"UTC", utc(3, 20, 9), utc(3, 21, 0)}, {"Asia/Shanghai", utc(3, 20, 1), utc(3, 20, 16)},
        {"Asia/Shanghai", utc(3, 20, 1), utc(3, 20, 16)}, {"UTC", utc(3, 20, 9), utc(3, 21, 0)}};
    for (const auto& [zone, floating, day] : zones) {
        SCOPED_TRACE(zone);
        LocalZone local(zone);
        IcalEventStore store(root, std::make_shared<FakeAccessPrompter>(), nullptr, std::nullopt, index);
        const auto events = store.events(utc(3, 1, 0), utc(4, 30, 0));
        EXPECT_EQ(std::count_if(events.begin(), events.end(), [](const Event& e) { return e.title == "Weekly"; }), 5);
        EXPECT_EQ(store.event("f")->startDate, floating);
        EXPECT_EQ(store.event("d")->startDate, day);
    }
}

TEST(IcalStore, NewFoldersAndFilesArePrivate) {
    testsupport::ScratchDir dir;
    const mode_t old = ::umask(022);
    std::filesystem::create_directories(dir.file("mine"));
    ::chmod(dir.file("mine").c_str(), 0755);
    IcalEventStore store(dir.file("mine/data/c"), std::make_shared<FakeAccessPrompter>(), nullptr);
    const auto id = store.saveEvent({.title = "A", .startDate = utc(3, 1, 9), .endDate = utc(3, 1, 10)}).identifier;
    ::umask(old);
    auto mode = [](const std::string& path) {
        struct stat info {};
        ::lstat(path.c_str(), &info);
        return info.st_mode & 07777;
    };
    const std::string c = dir.file("mine/data/c");
    const std::pair<std::string, mode_t> rows[] = {
        {dir.file("mine"), 0755}, {dir.file("mine/data"), 0700}, {c, 0700}, {c + "/Calendar", 0700},
        {c + "/Calendar/displayname", 0600}, {c + "/.brisolet-order", 0600},
        {*store.location(id, EntityType::Event), 0600},
    };
    for (const auto& [path, expected] : rows) EXPECT_EQ(mode(path), expected) << path;
}

// Collections kept where a sync tool or dotfiles put them: the root and
// the folders in it may be links to folders, which are followed for reading
// and writing; a loop of links, or one back to the root, ends the walk.
TEST(IcalStore, LinkedRootAndCollectionsAreWrittenThrough) {
    testsupport::ScratchDir dir;
    const std::string real = dir.file("real"), root = dir.file("root"), synced = dir.file("Sync/TeamCal"),
                      list = dir.file("Sync/Chores");
    std::filesystem::create_directories(real);
    std::filesystem::create_directories(synced);
    std::filesystem::create_directories(list);
    writeFile(synced + "/displayname", "Team");
    writeFile(list + "/.brisolet-reminders", "");
    std::filesystem::create_directory_symlink(real, root);
    std::filesystem::create_directory_symlink(synced, real + "/team");
    std::filesystem::create_directory_symlink(list, real + "/chores");
    std::filesystem::create_directory_symlink(real + "/loop-b", real + "/loop-a");
    std::filesystem::create_directory_symlink(real + "/loop-a", real + "/loop-b");
    std::filesystem::create_directory_symlink(root, real + "/self");
    IcalEventStore store(root, std::make_shared<FakeAccessPrompter>(), nullptr);

    std::vector<std::string> titles;
    for (const auto& calendar : store.calendars(EntityType::Event)) titles.push_back(calendar.title);
    EXPECT_THAT(titles, ::testing::Contains("Team"));
    EXPECT_THAT(titles, ::testing::Not(::testing::Contains(::testing::StartsWith("loop"))));
    const Event saved = store.saveEvent(
        {.title = "Standup", .startDate = utc(3, 1, 9), .endDate = utc(3, 1, 10), .calendarIdentifier = "team"});
    const Reminder todo = store.saveReminder({.title = "Agenda", .calendarIdentifier = "chores"});
    store.setReminderCompletion(todo.identifier, utc(3, 2, 9));
    // A second store (another process) reads what the first wrote, from the synced folder.
    IcalEventStore other(root, std::make_shared<FakeAccessPrompter>(), nullptr);
    ASSERT_TRUE(other.event(saved.identifier));
    EXPECT_EQ(other.event(saved.identifier)->title, "Standup");
    ASSERT_TRUE(other.reminder(todo.identifier));
    EXPECT_TRUE(other.reminder(todo.identifier)->completionDate);
    for (const auto& folder : {synced, list}) {
        std::vector<std::string> files;
        for (const auto& entry : std::filesystem::directory_iterator(folder))
            if (entry.path().extension() == ".ics" && !entry.is_symlink()) files.push_back(entry.path().filename());
        EXPECT_EQ(files.size(), 1u) << folder;
    }
    EXPECT_TRUE(std::filesystem::is_symlink(real + "/team"));
    EXPECT_TRUE(std::filesystem::is_symlink(root));
}

}  // namespace
}  // namespace app::platform

namespace app::platform {
namespace {

// Local times that a change of offset skips or repeats, read as RFC 5545
// says: a skipped time with the offset before the change, a repeated one as
// its first occurrence; in a zone the file defines, a zone it only names,
// the local zone (floating), and occurrences of a rule across the change.
TEST(IcalStore, TimesInAChangeOfOffsetReadAsICalendarSays) {
    LocalZone berlin("Europe/Berlin");
    testsupport::ScratchDir dir;
    const std::string root = dir.file("c");
    std::filesystem::create_directories(root + "/work");
    struct Row {
        std::string start;
        std::string rule;
        std::vector<Instant> starts;
        std::string zone = "";  // the file's VTIMEZONE
    };
    const std::string daily = "RRULE:FREQ=DAILY;COUNT=3\r\n";
    // As khal writes Berlin: only the changes around the event, each onset in the offset after the change.
    const std::string khalBerlin =
        "BEGIN:VTIMEZONE\r\nTZID:Europe/Berlin\r\nBEGIN:DAYLIGHT\r\nDTSTART;VALUE=DATE-TIME:20300331T030000\r\n"
        "TZNAME:CEST\r\nTZOFFSETFROM:+0100\r\nTZOFFSETTO:+0200\r\nEND:DAYLIGHT\r\nBEGIN:STANDARD\r\n"
        "DTSTART;VALUE=DATE-TIME:20301027T020000\r\nTZNAME:CET\r\nTZOFFSETFROM:+0200\r\nTZOFFSETTO:+0100\r\n"
        "END:STANDARD\r\nEND:VTIMEZONE\r\n";
    const Row rows[] = {
        {"DTSTART;TZID=Europe/Berlin:20300331T023000", "", {utc2030(3, 31, 1, 30)}},  // skipped
        {"DTSTART;TZID=Europe/Berlin:20301027T023000", "", {utc2030(10, 27, 0, 30)}},  // repeated
        {"DTSTART;TZID=Europe/Berlin:20301027T033000", "", {utc2030(10, 27, 2, 30)}},
        {"DTSTART;TZID=America/New_York:20300310T023000", "", {utc2030(3, 10, 7, 30)}},
        {"DTSTART;TZID=America/New_York:20301103T013000", "", {utc2030(11, 3, 5, 30)}},
        {"DTSTART:20300331T023000", "", {utc2030(3, 31, 1, 30)}},
        {"DTSTART:20301027T023000", "", {utc2030(10, 27, 0, 30)}},
        {"DTSTART;TZID=Europe/Berlin:20300330T023000", daily,
         {utc2030(3, 30, 1, 30), utc2030(3, 31, 1, 30), utc2030(4, 1, 0, 30)}},
        {"DTSTART;TZID=Europe/Berlin:20300330T023000", "RRULE:FREQ=DAILY;UNTIL=20300401T003000Z\r\n",
         {utc2030(3, 30, 1, 30), utc2030(3, 31, 1, 30), utc2030(4, 1, 0, 30)}},
        {"DTSTART;TZID=Europe/Berlin:20301026T023000", daily,
         {utc2030(10, 26, 0, 30), utc2030(10, 27, 0, 30), utc2030(10, 28, 1, 30)}},
        {"DTSTART;TZID=Europe/Berlin:20301027T023000", "", {utc2030(10, 27, 0, 30)}, khalBerlin},  // repeated
        {"DTSTART;TZID=Europe/Berlin:20300331T033000", "", {utc2030(3, 31, 1, 30)}, khalBerlin},
        {"DTSTART;TZID=Europe/Berlin:20300331T023000", "", {utc2030(3, 31, 1, 30)}, khalBerlin},  // skipped
    };
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const std::string zone = !rows[i].zone.empty()                                ? rows[i].zone
                                 : rows[i].start.find("New_York") != std::string::npos ? kNewYork
                                                                                        : "";
        writeFile(root + "/work/r" + std::to_string(i) + ".ics",
                  item(zone + "BEGIN:VEVENT\r\nUID:r" + std::to_string(i) + "\r\nSUMMARY:r\r\n" + rows[i].start +
                       "\r\nDURATION:PT10M\r\n" + rows[i].rule + "END:VEVENT\r\n"));
    }
    writeFile(root + "/work/due.ics",
              item("BEGIN:VTODO\r\nUID:due\r\nSUMMARY:Due\r\nDUE:20300331T023000\r\nEND:VTODO\r\n"));
    IcalEventStore store(root, std::make_shared<FakeAccessPrompter>(), nullptr);
    const auto events = store.events(utc2030(3, 1, 0), utc2030(12, 1, 0));
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        std::vector<Instant> starts;
        for (const auto& e : events)
            if (e.identifier == "r" + std::to_string(i)) starts.push_back(e.startDate);
        EXPECT_EQ(starts, rows[i].starts) << rows[i].start;
    }
    EXPECT_EQ(store.reminder("due")->dueDate(), utc2030(3, 31, 1, 30));
}

// Reading and completing to-dos as their programs mean them: a cancelled one
// is done with (and stays cancelled), completing one keeps its place.
TEST_F(IcalStoreTest, ToDosReadAndCompleteAsTheirProgramsMeanThem) {
    writeFile(root + "/tasks/cancelled.ics",
              item("BEGIN:VTODO\r\nUID:gone\r\nSUMMARY:Dropped\r\nSTATUS:CANCELLED\r\nEND:VTODO\r\n"));
    writeFile(root + "/tasks/alarm.ics",
              item("BEGIN:VTODO\r\nUID:alarm\r\nSUMMARY:Call\r\nDUE:20250320T090000Z\r\n"
                   "BEGIN:VALARM\r\nACTION:DISPLAY\r\nDESCRIPTION:Call\r\nTRIGGER:-PT15M\r\nEND:VALARM\r\n"
                   "END:VTODO\r\n"));
    const std::string cancelled = readFile(root + "/tasks/cancelled.ics");
    struct Row {
        const char* uid;
        bool completed;
        std::vector<Instant> alarms;
    };
    const Row rows[] = {{"gone", true, {}}, {"alarm", false, {utc(3, 20, 8, 45)}}, {"todo-1", false, {}}};
    for (const auto& row : rows) {
        auto read = store.reminder(row.uid);
        ASSERT_TRUE(read) << row.uid;
        EXPECT_EQ(read->isCompleted, row.completed) << row.uid;
        EXPECT_EQ(read->alarms, row.alarms) << row.uid;
    }
    store.setReminderCompletion("gone", utc(3, 21, 0));
    EXPECT_EQ(readFile(root + "/tasks/cancelled.ics"), cancelled);
    // A file with a line libical cannot read is never rewritten: what it holds would be lost.
    writeFile(root + "/tasks/odd.ics", item("BEGIN:VTODO\r\nUID:odd\r\nSUMMARY:Odd\r\nTHIS LINE HAS NO NAME\r\n"
                                            "END:VTODO\r\n"));
    const std::string odd = readFile(root + "/tasks/odd.ics");
    ASSERT_TRUE(store.reminder("odd"));
    EXPECT_THROW(store.setReminderCompletion("odd", utc(3, 21, 0)), PlatformError);
    EXPECT_EQ(readFile(root + "/tasks/odd.ics"), odd);
    EXPECT_THAT(sink->lines(), ::testing::Contains(::testing::StartsWith("Calendars: skipping part of " + root +
                                                                         "/tasks/odd.ics: a line is not read (")));

    // Completed in another order than made, then one reopened: the order made stays.
    std::vector<std::string> made;
    for (const char* title : {"First", "Second", "Third"}) made.push_back(store.saveReminder({.title = title}).identifier);
    for (int i : {1, 2, 0}) store.setReminderCompletion(made[i], utc(3, 22, i));
    auto titles = [&](bool completed) {
        std::vector<std::string> out;
        for (const auto& r : store.reminders({.completed = completed}))
            if (r.title == "First" || r.title == "Second" || r.title == "Third") out.push_back(*r.title);
        return out;
    };
    EXPECT_EQ(titles(true), (std::vector<std::string>{"First", "Second", "Third"}));
    store.setReminderCompletion(made[1], std::nullopt);
    store.setReminderCompletion(made[0], std::nullopt);
    EXPECT_EQ(titles(false), (std::vector<std::string>{"First", "Second"}));
}

}  // namespace
}  // namespace app::platform

namespace app::platform {
namespace {

std::string zoned(const std::string& rules) {
    std::string observances;
    for (std::size_t at = 0; at < rules.size();) {
        std::size_t end = rules.find('|', at);
        if (end == std::string::npos) end = rules.size();
        observances += "BEGIN:STANDARD\r\nDTSTART:16010101T000000\r\nTZOFFSETFROM:+0100\r\nTZOFFSETTO:+0000\r\nRRULE:" +
                       rules.substr(at, end - at) + "\r\nEND:STANDARD\r\n";
        at = end + 1;
    }
    return item("BEGIN:VTIMEZONE\r\nTZID:Odd\r\n" + observances + "END:VTIMEZONE\r\n" +
                "BEGIN:VEVENT\r\nUID:zoned\r\nSUMMARY:Zoned\r\nDTSTART;TZID=Odd:20250320T090000\r\n"
                "DTEND;TZID=Odd:20250320T100000\r\nEND:VEVENT\r\n");
}

// A zone whose rules repeat more often than monthly, or add up to more
// changes than a quick read, is refused with one diagnostic; libical would
// otherwise expand it from 1601 on, unbounded in time and memory.
TEST(IcalStore, TimeZonesThatRepeatTooOftenAreRefused) {
    std::string manyMonthly = "FREQ=MONTHLY";
    for (int i = 0; i < 39; ++i) manyMonthly += "|FREQ=MONTHLY";
    struct Row {
        std::string rules;
        bool read;
        bool wrapped = false;  // the whole file inside an unknown component, as a damaged file may be
    } rows[] = {
        {"FREQ=SECONDLY", false},
        {"FREQ=SECONDLY", false, true},
        {"FREQ=HOURLY", false},
        {"FREQ=DAILY", false},
        {"FREQ=WEEKLY", false},
        {"FREQ=MONTHLY;BYMONTHDAY=1,2,3,4,5,6,7,8,9,10,11,12,13,14,15", false},
        {"FREQ=YEARLY;BYMONTH=3;BYHOUR=0,1,2,3", false},
        {manyMonthly, false},
        {"FREQ=YEARLY;BYMONTH=3;BYDAY=-1SU|FREQ=YEARLY;BYMONTH=10;BYDAY=-1SU", true},
        {"FREQ=MONTHLY;BYMONTHDAY=8,9,10,11,12,13,14;BYDAY=SU", true},
        {"FREQ=HOURLY;COUNT=3", false},
        {"FREQ=MONTHLY;BYMONTH=2;BYMONTHDAY=31", false},
        {"FREQ=YEARLY;BYMONTH=3;BYDAY=-1SU;UNTIL=16050101T000000Z|FREQ=YEARLY;BYMONTH=10;BYDAY=-1SU;COUNT=3", true},
    };
    for (const auto& row : rows) {
        testsupport::ScratchDir dir;
        const std::string root = dir.file("c");
        std::filesystem::create_directories(root + "/work");
        std::string zone = zoned(row.rules);
        if (row.wrapped) zone = "BEGIN:X-WRAP\r\n" + zone.substr(zone.find("VERSION")) + "END:X-WRAP\r\n";
        writeFile(root + "/work/zone.ics", zone);
        writeFile(root + "/work/plain.ics",
                  item("BEGIN:VEVENT\r\nUID:plain\r\nSUMMARY:Plain\r\nDTSTART:20250320T120000Z\r\nEND:VEVENT\r\n"));
        auto sink = std::make_shared<MemoryDiagnosticSink>();
        IcalEventStore store(root, std::make_shared<FakeAccessPrompter>(), sink);
        const auto began = steady_clock::now();
        auto events = store.events(utc(3, 1, 0), utc(4, 1, 0));
        EXPECT_LT(steady_clock::now() - began, seconds(30)) << row.rules;  // a guard against hanging, not a speed goal
        std::vector<std::string> titles;
        for (const auto& e : events) titles.push_back(e.title);
        const std::vector<std::string> expected =
            row.read ? std::vector<std::string>{"Zoned", "Plain"} : std::vector<std::string>{"Plain"};
        EXPECT_EQ(titles, expected) << row.rules;
        const auto lines = sink->lines();
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                                [](const std::string& l) { return l.find("zone.ics: time zone rules") != std::string::npos; }),
                  row.read ? 0 : 1)
            << row.rules;
    }
}

// A one-day window over 20 series that fire every second and one plain
// event: every series and the plain event are in the answer.
TEST(IcalStore, OneSeriesNeverCrowdsOthersOutOfAnAnswer) {
    testsupport::ScratchDir dir;
    const std::string root = dir.file("c");
    std::filesystem::create_directories(root + "/work");
    for (int i = 0; i < 20; ++i)
        writeFile(root + "/work/storm" + std::to_string(i) + ".ics",
                  item("BEGIN:VEVENT\r\nUID:s" + std::to_string(i) + "\r\nSUMMARY:Storm " + std::to_string(i) +
                       "\r\nDTSTART:20200101T000000Z\r\nRRULE:FREQ=SECONDLY\r\nEND:VEVENT\r\n"));
    writeFile(root + "/work/weekly.ics",
              item("BEGIN:VEVENT\r\nUID:w\r\nSUMMARY:Weekly\r\nDTSTART:20250303T230000Z\r\nRRULE:FREQ=WEEKLY\r\nEND:VEVENT\r\n"));
    writeFile(root + "/work/plain.ics",
              item("BEGIN:VEVENT\r\nUID:p\r\nSUMMARY:Plain\r\nDTSTART:20250310T235959Z\r\nEND:VEVENT\r\n"));
    IcalEventStore store(root, std::make_shared<FakeAccessPrompter>(), nullptr);
    const auto events = store.events(utc(3, 10, 0), utc(3, 11, 0));
    std::map<std::string, int> counts;
    for (const auto& e : events) ++counts[e.title];
    EXPECT_EQ(counts.size(), 22u);
    EXPECT_EQ(counts["Plain"], 1);
    EXPECT_EQ(counts["Weekly"], 1);
    for (int i = 0; i < 20; ++i) EXPECT_GE(counts["Storm " + std::to_string(i)], 100) << i;
    EXPECT_LE(events.size(), 50002u);
}

// The files hold the years 1 to 3000: a save beyond is refused and leaves no
// file; so is text with a control character but a tab and a line break.
TEST(IcalStore, DatesTheFilesCannotHoldAreRefusedAndLeaveNoFile) {
    testsupport::ScratchDir dir;
    IcalEventStore store(dir.file("c"), std::make_shared<FakeAccessPrompter>(), nullptr);
    const Instant y3000 = Instant(sys_days(year(3000) / 6 / 1).time_since_epoch());
    const Instant y9999 = Instant(sys_days(year(9999) / 12 / 31).time_since_epoch() + hours(23));
    struct Row {
        NewEvent event;
        std::optional<NewReminder> reminder;
        bool saved;
    } rows[] = {
        {{.title = "far", .startDate = y9999, .endDate = y9999}, {}, false},
        {{.title = "end far", .startDate = y3000, .endDate = y9999}, {}, false},
        {{.title = "all day", .startDate = y9999 - hours(23), .endDate = y9999 - hours(23), .isAllDay = true}, {}, false},
        {{.title = "3000", .startDate = y3000, .endDate = y3000 + hours(1)}, {}, true},
        {{}, NewReminder{.title = "due far", .dueDateComponents = DateComponents{9999, 12, 31, 23, 59}}, false},
        {{}, NewReminder{.title = "alarm far", .alarms = {y9999}}, false},
        {{}, NewReminder{.title = "due 3000", .dueDateComponents = DateComponents{3000, 12, 31, 23, 59}, .alarms = {y3000}},
         true},
        {{}, NewReminder{.title = "priority past 32 bits", .priority = 4294967297}, false},
        {{}, NewReminder{.title = "priority 10", .priority = 10}, false},
        {{}, NewReminder{.title = "priority 9", .priority = 9}, true},
        {{.title = "CR\rinside", .startDate = y3000, .endDate = y3000 + hours(1)}, {}, false},
        {{.title = "T", .startDate = y3000, .endDate = y3000 + hours(1), .location = "a\u0001b"}, {}, false},
        {{.title = "T", .startDate = y3000, .endDate = y3000 + hours(1), .notes = "a\u007f"}, {}, false},
        {{.title = "T", .startDate = y3000, .endDate = y3000 + hours(1), .url = "https://a.b/\u001b"}, {}, false},
        {{.title = "a\r\nb\tc\n", .startDate = y3000, .endDate = y3000 + hours(1), .notes = "\t\r\n"}, {}, true},
        {{}, NewReminder{.title = "\u001f"}, false},
        {{}, NewReminder{.title = "T", .notes = "ends in CR\r"}, false},
        {{}, NewReminder{.title = "tab\tand\nline", .notes = "CR LF\r\n"}, true},
    };
    store.calendars(EntityType::Event);  // the root and its defaults made
    auto files = [&] {
        std::size_t n = 0;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.file("c")))
            n += entry.path().extension() == ".ics";
        return n;
    };
    for (const auto& row : rows) {
        const std::size_t before = files();
        if (row.reminder) {
            if (row.saved) {
                const Reminder saved = store.saveReminder(*row.reminder);
                EXPECT_EQ(saved.dueDateComponents, row.reminder->dueDateComponents);
                EXPECT_EQ(saved.alarms, row.reminder->alarms);
            } else {
                EXPECT_THROW(store.saveReminder(*row.reminder), PlatformError) << *row.reminder->title;
            }
        } else if (row.saved) {
            const Event saved = store.saveEvent(row.event);
            EXPECT_EQ(saved.startDate, row.event.startDate);
            EXPECT_EQ(saved.endDate, row.event.endDate);
        } else {
            EXPECT_THROW(store.saveEvent(row.event), PlatformError) << row.event.title;
        }
        EXPECT_EQ(files(), before + (row.saved ? 1 : 0));
    }
}

// Temp files of writers killed mid-write go at the next start, wherever the
// program writes through them: beside the calendar index and the defaults.
TEST(IcalStore, TempFilesOfDeadWritersGoAtTheNextStart) {
    testsupport::ScratchDir dir;
    const std::string gone = "2147483600";  // beyond any pid
    const std::string live = std::to_string(::getppid());
    struct Row {
        std::string folder, stem;
        std::function<void()> start;
    } rows[] = {
        {dir.file("data"), "calendars.index",
         [&] {
             IcalEventStore(dir.file("c"), std::make_shared<FakeAccessPrompter>(), nullptr, std::nullopt,
                            dir.file("data/calendars.index"))
                 .calendars(EntityType::Event);
         }},
        {dir.file("config"), "defaults.json",
         [&] { FileDefaultsStore(dir.file("config/defaults.json"), std::make_shared<MemoryDiagnosticSink>()); }},
    };
    for (const auto& row : rows) {
        std::filesystem::create_directories(row.folder);
        const std::string dead = row.folder + "/." + row.stem + ".tmp-" + gone + "-00112233aabbccdd";
        const std::string alive = row.folder + "/." + row.stem + ".tmp-" + live + "-00112233aabbccdd";
        writeFile(dead, std::string(4 << 20, 'x'));
        writeFile(alive, "half");
        writeFile(row.folder + "/.other", "keep");
        row.start();
        EXPECT_FALSE(std::filesystem::exists(dead)) << row.stem;
        EXPECT_TRUE(std::filesystem::exists(alive)) << row.stem;
        EXPECT_TRUE(std::filesystem::exists(row.folder + "/.other")) << row.stem;
    }
}

}  // namespace
}  // namespace app::platform
