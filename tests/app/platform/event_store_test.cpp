#include "app/platform/event_store.hpp"

#include <gtest/gtest.h>

#include <filesystem>

#include "app/platform/scratch_dir.hpp"
#include "app/platform/sqlite.hpp"
#include "app/platform/sqlite_event_store.hpp"

namespace app::platform {
namespace {
using std::chrono::hours;
using std::chrono::minutes;
using std::chrono::seconds;

const Instant base = Instant(std::chrono::sys_days(std::chrono::year(2025) / 3 / 1).time_since_epoch());

Instant at(int hour) { return base + hours(hour); }

std::vector<std::string> titles(const std::vector<Event>& events) {
    std::vector<std::string> out;
    for (const auto& event : events) out.push_back(event.title);
    return out;
}

struct InMemoryFactory {
    std::unique_ptr<EventStore> make() { return std::make_unique<InMemoryEventStore>(); }
};

struct SqliteFactory {
    testsupport::ScratchDir dir;
    std::unique_ptr<EventStore> make() {
        return std::make_unique<SqliteEventStore>(dir.file("data/brisolet/store.sqlite"),
                                                  std::make_shared<FakeAccessPrompter>());
    }
};

template <class Factory>
class EventStoreTest : public ::testing::Test {
protected:
    Factory factory;
    std::unique_ptr<EventStore> store = factory.make();

    Event addEvent(const std::string& title, Instant start, Instant end) {
        NewEvent event;
        event.title = title;
        event.startDate = start;
        event.endDate = end;
        return store->saveEvent(event);
    }
};

using Factories = ::testing::Types<InMemoryFactory, SqliteFactory>;
TYPED_TEST_SUITE(EventStoreTest, Factories);

TYPED_TEST(EventStoreTest, RangeQueriesReturnOverlappingEventsInStartOrder) {
    this->addEvent("A", at(10), at(20));
    this->addEvent("B", at(20), at(30));
    this->addEvent("C", at(5), at(15));
    this->addEvent("D", at(25), at(25));  // no duration
    this->addEvent("E", at(0), at(100));
    this->addEvent("F", at(10), at(12));  // same start as A, made later
    this->addEvent("G", at(-10), at(10));  // ends where the range starts

    struct Case {
        int from, to;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {10, 20, {"E", "C", "A", "F"}},
        {10, 11, {"E", "C", "A", "F"}},
        {20, 25, {"E", "B"}},
        {25, 26, {"E", "B", "D"}},
        {-20, 200, {"G", "E", "C", "A", "F", "B", "D"}},
        {100, 200, {}},
        {30, 10, {}},  // reversed range
        {15, 15, {}},  // empty range
    };
    for (const auto& c : cases)
        EXPECT_EQ(titles(this->store->events(at(c.from), at(c.to))), c.expected) << c.from << ".." << c.to;
}

// The SQLite store on its own.

class SqliteEventStoreTest : public ::testing::Test {
protected:
    testsupport::ScratchDir dir;
    std::string path = dir.file("brisolet/store.sqlite");
    std::shared_ptr<FakeAccessPrompter> prompter = std::make_shared<FakeAccessPrompter>();
};

TEST_F(SqliteEventStoreTest, EverythingSurvivesReopening) {
    std::string eventId, reminderId, listId;
    {
        SqliteEventStore store(path, prompter);
        listId = store.addCalendar("Groceries", EntityType::Reminder).identifier;
        NewEvent event;
        event.title = "Dentist";
        event.startDate = at(1);
        event.endDate = at(2);
        eventId = store.saveEvent(event).identifier;
        NewReminder reminder;
        reminder.title = "Milk";
        reminder.dueDateComponents = DateComponents{2025, 3, 2, std::nullopt, std::nullopt};
        reminder.alarms = {at(3)};
        reminder.calendarIdentifier = listId;
        reminderId = store.saveReminder(reminder).identifier;
        store.setReminderCompletion(reminderId, at(4));
    }
    SqliteEventStore reopened(path, prompter);
    EXPECT_EQ(reopened.calendars(EntityType::Event).size(), 1u);  // not seeded twice
    EXPECT_EQ(reopened.calendars(EntityType::Reminder).size(), 2u);
    ASSERT_TRUE(reopened.event(eventId));
    EXPECT_EQ(reopened.event(eventId)->title, "Dentist");
    auto reminder = reopened.reminder(reminderId);
    ASSERT_TRUE(reminder);
    EXPECT_EQ(reminder->calendar.identifier, listId);
    EXPECT_EQ(reminder->dueDateComponents, (DateComponents{2025, 3, 2, std::nullopt, std::nullopt}));
    EXPECT_EQ(reminder->alarms, std::vector<Instant>{at(3)});
    EXPECT_EQ(reminder->completionDate, at(4));
}

}  // namespace
}  // namespace app::platform
