#include "app/platform/event_store.hpp"

#include <gtest/gtest.h>


#include "app/platform/scratch_dir.hpp"
#include "app/platform/sqlite.hpp"
#include "app/platform/ical_event_store.hpp"

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

std::vector<std::string> titles(const std::vector<Reminder>& reminders) {
    std::vector<std::string> out;
    for (const auto& reminder : reminders) out.push_back(reminder.title.value_or("<none>"));
    return out;
}

struct InMemoryFactory {
    std::unique_ptr<EventStore> make() { return std::make_unique<InMemoryEventStore>(); }
};

struct IcalFactory {
    testsupport::ScratchDir dir;
    std::unique_ptr<EventStore> make() {
        return std::make_unique<IcalEventStore>(dir.file("calendars"), std::make_shared<FakeAccessPrompter>(),
                                                std::make_shared<MemoryDiagnosticSink>());
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

using Factories = ::testing::Types<InMemoryFactory, IcalFactory>;
TYPED_TEST_SUITE(EventStoreTest, Factories);

TYPED_TEST(EventStoreTest, StartsWithOneCalendarAndOneReminderList) {
    auto calendars = this->store->calendars(EntityType::Event);
    auto lists = this->store->calendars(EntityType::Reminder);
    ASSERT_EQ(calendars.size(), 1u);
    ASSERT_EQ(lists.size(), 1u);
    EXPECT_EQ(calendars[0].title, "Calendar");
    EXPECT_EQ(lists[0].title, "Reminders");
    EXPECT_EQ(this->store->defaultCalendar(EntityType::Event), calendars[0]);
    EXPECT_EQ(this->store->defaultCalendar(EntityType::Reminder), lists[0]);
    EXPECT_NE(calendars[0].identifier, lists[0].identifier);

    // Added calendars follow in the order made; the defaults stay.
    for (const char* title : {"Groceries", "Home Office", "home"}) this->store->addCalendar(title, EntityType::Reminder);
    std::vector<std::string> order;
    for (const auto& list : this->store->calendars(EntityType::Reminder)) order.push_back(list.title);
    EXPECT_EQ(order, (std::vector<std::string>{"Reminders", "Groceries", "Home Office", "home"}));
    EXPECT_EQ(this->store->defaultCalendar(EntityType::Reminder)->title, "Reminders");
}

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

TYPED_TEST(EventStoreTest, EventsKeepTheirFields) {
    auto work = this->store->addCalendar("Work \"shared\"", EntityType::Event);
    NewEvent input;
    input.title = "Team meeting";
    input.startDate = base + seconds(1) + std::chrono::microseconds(250);
    input.endDate = at(1);
    input.location = "Room 1";
    input.notes = "";
    input.isAllDay = true;
    input.url = "https://example.org/a/b";
    input.calendarIdentifier = work.identifier;
    Event saved = this->store->saveEvent(input);
    EXPECT_FALSE(saved.identifier.empty());
    EXPECT_EQ(saved.calendar, work);

    auto found = this->store->event(saved.identifier);
    ASSERT_TRUE(found);
    EXPECT_EQ(*found, saved);
    EXPECT_EQ(found->notes, std::optional<std::string>(""));
    EXPECT_FALSE(this->store->event("no such id"));

    Event plain = this->addEvent("Plain", at(2), at(3));
    EXPECT_EQ(plain.calendar, *this->store->defaultCalendar(EntityType::Event));
    EXPECT_FALSE(this->store->event(plain.identifier)->location);
    EXPECT_FALSE(this->store->event(plain.identifier)->url);
}

// The PlatformError text a refused call throws.
template <class F>
std::string refusal(F call) {
    try {
        call();
    } catch (const PlatformError& error) {
        return error.what();
    }
    return "<not refused>";
}

TYPED_TEST(EventStoreTest, RefusedSavesLeaveNothingBehind) {
    auto& store = *this->store;
    const std::string calendarId = store.defaultCalendar(EntityType::Event)->identifier;
    const std::string listId = store.defaultCalendar(EntityType::Reminder)->identifier;
    const auto saveEvent = [&](std::optional<std::string> calendar, int start, int end) {
        return refusal([&] {
            NewEvent event;
            event.title = "Refused";
            event.startDate = at(start);
            event.endDate = at(end);
            event.calendarIdentifier = std::move(calendar);
            store.saveEvent(event);
        });
    };
    const auto saveReminder = [&](std::optional<std::string> list, std::optional<DateComponents> due) {
        return refusal([&] {
            NewReminder reminder;
            reminder.title = "Refused";
            reminder.calendarIdentifier = std::move(list);
            reminder.dueDateComponents = due;
            store.saveReminder(reminder);
        });
    };
    EXPECT_EQ(saveEvent(std::nullopt, 2, 1), "save event: the start date must be before the end date");
    EXPECT_EQ(saveEvent(listId, 1, 2), "save event: calendar Reminders holds reminders, not events");
    EXPECT_EQ(saveEvent("unknown", 1, 2), "save event: no calendar unknown");
    EXPECT_TRUE(store.events(at(-100), at(100)).empty());

    EXPECT_EQ(saveReminder(std::nullopt, DateComponents{2025, 2, 30, 9, 0}),
              "save reminder: the due date components name no date");
    EXPECT_EQ(saveReminder(calendarId, std::nullopt), "save reminder: calendar Calendar holds events, not reminders");
    EXPECT_EQ(saveReminder("unknown", std::nullopt), "save reminder: no reminder list unknown");
    EXPECT_TRUE(store.reminders({}).empty());
    EXPECT_THROW(store.setReminderCompletion("unknown", at(0)), PlatformError);
}

TYPED_TEST(EventStoreTest, RemindersKeepTheirFields) {
    DateComponents due = localDateComponents(at(9) + minutes(30) + seconds(45));
    NewReminder input;
    input.title = "Buy milk";
    input.notes = "2 litres";
    input.priority = 12;  // outside 0-9: kept as given
    input.dueDateComponents = due;
    input.alarms = {at(9) + minutes(30) + seconds(45), at(8)};
    Reminder saved = this->store->saveReminder(input);
    EXPECT_EQ(saved.calendar, *this->store->defaultCalendar(EntityType::Reminder));
    EXPECT_EQ(due.hour, localDateComponents(at(9) + minutes(30)).hour);
    EXPECT_EQ(saved.dueDate(), at(9) + minutes(30));  // seconds dropped

    auto found = this->store->reminder(saved.identifier);
    ASSERT_TRUE(found);
    EXPECT_EQ(*found, saved);
    EXPECT_FALSE(found->isCompleted);

    NewReminder untitled;  // no title is not the empty title
    Reminder none = this->store->saveReminder(untitled);
    untitled.title = "";
    Reminder empty = this->store->saveReminder(untitled);
    EXPECT_EQ(this->store->reminder(none.identifier)->title, std::nullopt);
    EXPECT_EQ(this->store->reminder(empty.identifier)->title, std::optional<std::string>(""));
    EXPECT_FALSE(this->store->reminder(none.identifier)->dueDate());

    this->store->setReminderCompletion(saved.identifier, at(12));
    EXPECT_TRUE(this->store->reminder(saved.identifier)->isCompleted);
    EXPECT_EQ(this->store->reminder(saved.identifier)->completionDate, at(12));
    this->store->setReminderCompletion(saved.identifier, std::nullopt);
    EXPECT_FALSE(this->store->reminder(saved.identifier)->isCompleted);
    EXPECT_FALSE(this->store->reminder(saved.identifier)->completionDate);
}

TYPED_TEST(EventStoreTest, ReminderPredicatesFilterByStateWindowAndList) {
    auto home = this->store->addCalendar("Home", EntityType::Reminder);
    auto add = [&](const std::string& title, std::optional<Instant> due, std::optional<std::string> list = {}) {
        NewReminder reminder;
        reminder.title = title;
        if (due) reminder.dueDateComponents = localDateComponents(*due);
        reminder.calendarIdentifier = std::move(list);
        return this->store->saveReminder(reminder);
    };
    const Instant now = at(24 * 40);
    add("due day 1", at(24));
    add("no due", std::nullopt, home.identifier);
    auto recent = add("done recently", at(24 * 2));
    add("due day 10", at(24 * 10));
    auto old = add("done long ago", at(24 * 3), home.identifier);
    this->store->setReminderCompletion(recent.identifier, now - hours(24 * 2));
    this->store->setReminderCompletion(old.identifier, now - hours(24 * 31));

    struct Case {
        std::string name;
        ReminderPredicate predicate;
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"incomplete, no bounds", {false, {}, {}, {}}, {"due day 1", "no due", "due day 10"}},
        {"incomplete due from day 5", {false, at(24 * 5), {}, {}}, {"due day 10"}},
        {"incomplete due before day 5", {false, {}, at(24 * 5), {}}, {"due day 1"}},
        {"incomplete, end bound exclusive", {false, at(24), at(24 * 10), {}}, {"due day 1"}},
        {"incomplete in Home", {false, {}, {}, std::vector<std::string>{home.identifier}}, {"no due"}},
        {"incomplete in no list", {false, {}, {}, std::vector<std::string>{}}, {}},
        {"completed, no bounds", {true, {}, {}, {}}, {"done recently", "done long ago"}},
        // completion dates decide, not due dates
        {"completed last week", {true, now - hours(24 * 7), {}, {}}, {"done recently"}},
        {"completed in the last 30 days", {true, now - hours(24 * 30), now, {}}, {"done recently"}},
        {"completed in Home", {true, {}, {}, std::vector<std::string>{home.identifier}}, {"done long ago"}},
    };
    for (const auto& c : cases) EXPECT_EQ(titles(this->store->reminders(c.predicate)), c.expected) << c.name;
}

TYPED_TEST(EventStoreTest, AccessGoesThroughThePrompter) {
    EXPECT_EQ(this->store->authorizationStatus(EntityType::Event), AuthorizationStatus::NotDetermined);
    EXPECT_TRUE(this->store->requestFullAccess(EntityType::Event));
    EXPECT_EQ(this->store->authorizationStatus(EntityType::Event), AuthorizationStatus::FullAccess);
    EXPECT_EQ(this->store->authorizationStatus(EntityType::Reminder), AuthorizationStatus::NotDetermined);
}

TEST(DateComponents, ValidityAndLocalRoundTrip) {
    EXPECT_TRUE((DateComponents{2024, 2, 29, 23, 59}.isValid()));
    EXPECT_FALSE((DateComponents{2025, 2, 29, {}, {}}.isValid()));
    EXPECT_FALSE((DateComponents{2025, 13, 1, {}, {}}.isValid()));
    EXPECT_FALSE((DateComponents{2025, 1, 1, 24, {}}.isValid()));
    EXPECT_FALSE((DateComponents{2025, 1, 1, 0, 60}.isValid()));
    EXPECT_FALSE(localInstant(DateComponents{2025, 4, 31, {}, {}}));
    DateComponents day{2025, 3, 1, std::nullopt, std::nullopt};
    auto midnight = localInstant(day);
    ASSERT_TRUE(midnight);
    EXPECT_EQ(localDateComponents(*midnight), (DateComponents{2025, 3, 1, 0, 0}));
}

}  // namespace
}  // namespace app::platform
