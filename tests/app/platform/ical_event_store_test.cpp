// The iCalendar collections as other calendar programs leave them.
#include "app/platform/ical_event_store.hpp"

#include "app/platform/scratch_dir.hpp"
#include "app/platform/sqlite.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

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
    auto calendars = store.calendars(EntityType::Event);
    ASSERT_EQ(calendars.size(), 1u);  // nothing added to a root in use
    EXPECT_EQ(calendars[0].title, "Work");
    ASSERT_EQ(store.calendars(EntityType::Reminder).size(), 1u);
    EXPECT_EQ(store.calendars(EntityType::Reminder)[0].title, "Chores");

    struct Row {
        std::string title;
        Instant start, end;
        bool allDay;
    };
    const Instant holiday = *localInstant({2025, 3, 12, 0, 0});
    const Row expected[] = {
        {"Standup", utc(3, 3, 10), utc(3, 3, 10, 30), false},
        {"Standup", utc(3, 10, 10), utc(3, 10, 10, 30), false},
        {"New York call", utc(3, 10, 13), utc(3, 10, 14), false},  // EDT, four hours behind
        {"Holiday", holiday, *localInstant({2025, 3, 13, 0, 0}), true},
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
    // No temporary file is left behind.
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(root + "/tasks"))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"displayname", "todo.ics"}));

    // Another program changes the file: seen on the next call.
    writeFile(root + "/tasks/todo.ics",
              item("BEGIN:VTODO\r\nUID:todo-1\r\nSUMMARY:Sweep twice\r\nEND:VTODO\r\n"));
    EXPECT_EQ(store.reminder("todo-1")->title, "Sweep twice");
}

// Two stores on one root stand for two programs: both see every save.
TEST(IcalStore, TwoStoresOnOneRootShareEverySave) {
    testsupport::ScratchDir dir;
    auto prompter = std::make_shared<FakeAccessPrompter>();
    IcalEventStore first(dir.file("c"), prompter, nullptr);
    IcalEventStore second(dir.file("c"), prompter, nullptr);
    EXPECT_EQ(first.calendars(EntityType::Event), second.calendars(EntityType::Event));
    constexpr int perThread = 25;
    auto writer = [&](EventStore& store, const std::string& prefix) {
        for (int i = 0; i < perThread; ++i) {
            NewReminder reminder;
            reminder.title = prefix + std::to_string(i);
            store.saveReminder(reminder);
        }
    };
    {
        std::jthread a([&] { writer(first, "a"); });
        std::jthread b([&] { writer(second, "b"); });
    }
    EXPECT_EQ(first.reminders({}).size(), 2u * perThread);
    EXPECT_EQ(second.reminders({}).size(), 2u * perThread);
    EXPECT_EQ(first.calendars(EntityType::Reminder).size(), 1u);
}

// Data of the earlier single-file store is carried over once, its tables kept.
TEST(IcalStore, CarriesTheOldStoreOverOnce) {
    testsupport::ScratchDir dir;
    const std::string old = dir.file("store.sqlite");
    {
        SqliteConnection db(old, SqliteOpenMode::ReadWriteCreate);
        db.exec(
            "CREATE TABLE calendars(seq INTEGER PRIMARY KEY, identifier TEXT, title TEXT, entity INTEGER, is_default INTEGER);"
            "CREATE TABLE events(seq INTEGER PRIMARY KEY, identifier TEXT, calendar INTEGER, title TEXT, location TEXT,"
            " notes TEXT, start_us INTEGER, end_us INTEGER, all_day INTEGER, url TEXT);"
            "CREATE TABLE reminders(seq INTEGER PRIMARY KEY, identifier TEXT, calendar INTEGER, title TEXT, notes TEXT,"
            " priority INTEGER, due_year INTEGER, due_month INTEGER, due_day INTEGER, due_hour INTEGER,"
            " due_minute INTEGER, completed INTEGER, completion_us INTEGER);"
            "CREATE TABLE reminder_alarms(seq INTEGER PRIMARY KEY, reminder INTEGER, at_us INTEGER);"
            "INSERT INTO calendars VALUES(1, 'A', 'Calendar', 0, 1), (2, 'B', 'Reminders', 1, 1), (3, 'C', 'Home', 1, 0);"
            "INSERT INTO events VALUES(1, 'ev-1', 1, 'Dentist', 'Main St', NULL, 1741341600000000, 1741345200000000, 0,"
            " 'https://example.org');"
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
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].identifier, "ev-1");
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
    EXPECT_EQ(count.int64(0), 1);
}

TEST_F(IcalStoreTest, AnyDateAFileNamesIsReadWithoutOverflow) {
    writeFile(root + "/tasks/odd.ics", item("BEGIN:VTODO\r\nUID:odd-1\r\nSUMMARY:Odd\r\n"
                                            "COMPLETED:10125151T100000Z\r\nEND:VTODO\r\n"));
    auto odd = store.reminder("odd-1");
    ASSERT_TRUE(odd);
    EXPECT_TRUE(odd->isCompleted);
}

}  // namespace
}  // namespace app::platform
