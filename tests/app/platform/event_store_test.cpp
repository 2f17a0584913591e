#include "app/platform/event_store.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "app/platform/ical_event_store.hpp"
#include "app/platform/scratch_dir.hpp"
#include "support/fake_access_prompter.hpp"
#include "support/memory_diagnostic_sink.hpp"

namespace app::platform {
namespace {

using std::chrono::hours;
using std::chrono::microseconds;
using std::chrono::minutes;
using std::chrono::seconds;

const Instant base = Instant(std::chrono::sys_days(std::chrono::year(2025) / 3 / 1).time_since_epoch());

Instant at(int hour) { return base + hours(hour); }

template <typename Item>
std::vector<std::string> titles(const std::vector<Item>& items) {
    std::vector<std::string> out;
    for (const auto& item : items) out.push_back(std::optional<std::string>(item.title).value_or("<none>"));
    return out;
}

class EventStoreTest : public ::testing::Test {
protected:
    testsupport::ScratchDir dir;
    std::unique_ptr<EventStore> store = std::make_unique<IcalEventStore>(
        dir.file("calendars"), std::make_shared<FakeAccessPrompter>(), std::make_shared<MemoryDiagnosticSink>());

    Event addEvent(const std::string& title, Instant start, Instant end) {
        return store->saveEvent({.title = title, .startDate = start, .endDate = end});
    }
};

// A new root holds one calendar and one list, the defaults; added ones follow in the order made.
TEST_F(EventStoreTest, StartsWithOneCalendarAndOneReminderList) {
    for (const char* title : {"Groceries", "Home Office", "home"}) store->addCalendar(title, EntityType::Reminder);
    using Titles = std::vector<std::string>;
    for (const auto& [type, expected] : {std::pair{EntityType::Event, Titles{"Calendar"}},
                                         std::pair{EntityType::Reminder, Titles{"Reminders", "Groceries", "Home Office", "home"}}}) {
        Titles order;
        for (const auto& calendar : store->calendars(type)) order.push_back(calendar.title);
        EXPECT_EQ(order, expected);
        EXPECT_EQ(store->defaultCalendar(type)->title, expected[0]);
    }
}

TEST_F(EventStoreTest, RangeQueriesReturnOverlappingEventsInStartOrder) {
    addEvent("A", at(10), at(20));
    addEvent("B", at(20), at(30));
    addEvent("C", at(5), at(15));
    addEvent("D", at(25), at(25));  // no duration
    addEvent("E", at(0), at(100));
    addEvent("F", at(10), at(12));  // same start as A, made later
    addEvent("G", at(-10), at(10));  // ends where the range starts

    struct Case {
        int from, to;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {10, 20, {"E", "C", "A", "F"}},
        {20, 25, {"E", "B"}},
        {25, 26, {"E", "B", "D"}},
        {-20, 200, {"G", "E", "C", "A", "F", "B", "D"}},
        {100, 200, {}},
        {30, 10, {}},  // reversed range
        {15, 15, {}},  // empty range
    };
    for (const auto& c : cases)
        EXPECT_EQ(titles(store->events(at(c.from), at(c.to))), c.expected) << c.from << ".." << c.to;
}

// An all-day event covers every day from its start to the day its end falls
// in; an end at a midnight is exclusive, as the file's DTEND is.
TEST_F(EventStoreTest, AllDayEventsKeepTheirLastDay) {
    const DateComponents rows[][3] = {  // start, end given; end read back
        {{2025, 3, 5, 0, 0}, {2025, 3, 6, 12, 0}, {2025, 3, 7, 0, 0}},
        {{2025, 3, 5, 0, 0}, {2025, 3, 6, 0, 0}, {2025, 3, 6, 0, 0}},
        {{2025, 3, 5, 10, 0}, {2025, 3, 5, 11, 0}, {2025, 3, 6, 0, 0}},
        {{2025, 3, 5, 0, 0}, {2025, 3, 5, 0, 0}, {2025, 3, 6, 0, 0}},
    };
    for (const auto& [start, end, last] : rows) {
        SCOPED_TRACE(testing::Message() << start.day << " " << *start.hour << " to " << end.day << " " << *end.hour);
        Event saved = store->saveEvent(
            {.title = "Away", .startDate = *localInstant(start), .endDate = *localInstant(end), .isAllDay = true});
        EXPECT_TRUE(saved.isAllDay);
        EXPECT_EQ(saved.startDate, localInstant({2025, 3, 5, 0, 0}));
        EXPECT_EQ(saved.endDate, localInstant(last));
        // The last hour of its last day still holds it.
        const auto inLastHour = store->events(*localInstant(last) - hours(1), *localInstant(last));
        EXPECT_EQ(std::count_if(inLastHour.begin(), inLastHour.end(),
                                [&](const Event& e) { return e.identifier == saved.identifier; }), 1);
    }
}

// Local wall-clock times that a change of offset skips or repeats, as
// iCalendar reads them: a skipped time takes the offset before the change,
// a repeated one is its first occurrence (whole and half-hour changes).
TEST(DateComponents, TimesInAChangeOfOffset) {
    struct Row {
        const char* zone;
        DateComponents wall;
        int utcDay, utcHour, utcMinute;  // in the same month
    };
    const Row rows[] = {
        {"Europe/Berlin", {2030, 3, 31, 2, 30}, 31, 1, 30},
        {"Europe/Berlin", {2030, 10, 27, 2, 30}, 27, 0, 30},
        {"Europe/Berlin", {2030, 10, 27, 3, 0}, 27, 2, 0},
        {"America/New_York", {2030, 3, 10, 2, 30}, 10, 7, 30},
        {"America/New_York", {2030, 11, 3, 1, 30}, 3, 5, 30},
        {"America/Havana", {2030, 3, 10, 0, 0}, 10, 5, 0},  // midnight skipped
        {"America/Havana", {2030, 11, 3, 0, 0}, 3, 4, 0},   // midnight repeated
        {"Australia/Lord_Howe", {2030, 10, 6, 2, 15}, 5, 15, 45},
        {"Australia/Lord_Howe", {2030, 4, 7, 1, 45}, 6, 14, 45},
    };
    for (const auto& row : rows) {
        testsupport::ScopedVariable tz("TZ", row.zone);
        ::tzset();
        const auto expected = std::chrono::sys_days(std::chrono::year(2030) / row.wall.month / row.utcDay) +
                              hours(row.utcHour) + minutes(row.utcMinute);
        EXPECT_EQ(localInstant(row.wall), Instant(expected)) << row.zone << " " << row.wall.month << "-" << row.wall.day;
    }
    ::tzset();
}

// Every field comes back as saved: an empty text is not an absent one.
TEST_F(EventStoreTest, EventsAndRemindersKeepTheirFields) {
    auto work = store->addCalendar("Work \"shared\"", EntityType::Event);
    Event saved = store->saveEvent({.title = "Team meeting", .startDate = base + seconds(1) + microseconds(250),
                                    .endDate = at(1), .location = "Room 1", .notes = "", .isAllDay = true,
                                    .url = "https://example.org/a/b", .calendarIdentifier = work.identifier});
    EXPECT_EQ(saved.calendar, work);
    EXPECT_EQ(store->event(saved.identifier), saved);
    EXPECT_EQ(saved.notes, std::optional<std::string>(""));
    EXPECT_FALSE(store->event("no such id"));
    Event plain = addEvent("Plain", at(2), at(3));
    EXPECT_EQ(plain.calendar, *store->defaultCalendar(EntityType::Event));
    EXPECT_FALSE(store->event(plain.identifier)->location || store->event(plain.identifier)->url);

    const Instant dueAt = at(9) + minutes(30) + seconds(45);
    // The lowest priority the files hold (beyond it a save is refused, below).
    Reminder milk = store->saveReminder({.title = "Buy milk", .notes = "2 litres", .priority = 9,
                                         .dueDateComponents = localDateComponents(dueAt), .alarms = {dueAt, at(8)}});
    EXPECT_EQ(milk.calendar, *store->defaultCalendar(EntityType::Reminder));
    EXPECT_EQ(milk.dueDate(), at(9) + minutes(30));  // seconds dropped
    EXPECT_EQ(store->reminder(milk.identifier), milk);
    Reminder none = store->saveReminder(NewReminder{});
    Reminder empty = store->saveReminder({.title = ""});
    EXPECT_EQ(store->reminder(none.identifier)->title, std::nullopt);
    EXPECT_EQ(store->reminder(empty.identifier)->title, std::optional<std::string>(""));
    EXPECT_FALSE(store->reminder(none.identifier)->dueDate());
    for (std::optional<Instant> completion : {std::optional(at(12)), std::optional<Instant>()}) {
        store->setReminderCompletion(milk.identifier, completion);
        EXPECT_EQ(store->reminder(milk.identifier)->isCompleted, completion.has_value());
        EXPECT_EQ(store->reminder(milk.identifier)->completionDate, completion);
    }
}

TEST_F(EventStoreTest, RefusedSavesLeaveNothingBehind) {
    const std::string calendarId = store->defaultCalendar(EntityType::Event)->identifier;
    const std::string listId = store->defaultCalendar(EntityType::Reminder)->identifier;
    const auto refusal = [](const std::function<void()>& call) -> std::string {
        try {
            call();
        } catch (const PlatformError& error) {
            return error.what();
        }
        return "<not refused>";
    };
    const auto saveEvent = [&](std::optional<std::string> calendar, int end) {
        NewEvent event{.title = "Refused", .startDate = at(1), .endDate = at(end), .calendarIdentifier = calendar};
        return refusal([&] { store->saveEvent(event); });
    };
    EXPECT_EQ(saveEvent(std::nullopt, 0), "save event: the start date must be before the end date");
    EXPECT_EQ(saveEvent(listId, 2), "save event: calendar Reminders holds reminders, not events");
    EXPECT_EQ(saveEvent("unknown", 2), "save event: no calendar unknown");
    EXPECT_TRUE(store->events(at(-100), at(100)).empty());
    const auto saveReminder = [&](std::optional<std::string> list, std::optional<DateComponents> due) {
        return refusal([&] { store->saveReminder({.dueDateComponents = due, .calendarIdentifier = list}); });
    };
    EXPECT_EQ(saveReminder(std::nullopt, DateComponents{2025, 2, 30, 9, 0}), "save reminder: the due date components name no date");
    EXPECT_EQ(saveReminder(calendarId, std::nullopt), "save reminder: calendar Calendar holds events, not reminders");
    EXPECT_EQ(saveReminder("unknown", std::nullopt), "save reminder: no reminder list unknown");
    EXPECT_EQ(refusal([&] { store->saveReminder({.priority = 4294967297}); }),
              "save reminder: the priority 4294967297 lies outside 0 to 9 that calendar files can hold");
    EXPECT_TRUE(store->reminders({}).empty());
    EXPECT_THROW(store->setReminderCompletion("unknown", at(0)), PlatformError);
}

TEST_F(EventStoreTest, ReminderPredicatesFilterByStateWindowAndList) {
    auto home = store->addCalendar("Home", EntityType::Reminder);
    auto add = [&](const std::string& title, std::optional<Instant> due, std::optional<std::string> list = {}) {
        return store->saveReminder({.title = title,
                                    .dueDateComponents = due ? std::optional(localDateComponents(*due)) : std::nullopt,
                                    .calendarIdentifier = list});
    };
    const Instant now = at(24 * 40);
    add("due day 1", at(24));
    add("no due", std::nullopt, home.identifier);
    auto recent = add("done recently", at(24 * 2));
    add("due day 10", at(24 * 10));
    auto old = add("done long ago", at(24 * 3), home.identifier);
    store->setReminderCompletion(recent.identifier, now - hours(24 * 2));
    store->setReminderCompletion(old.identifier, now - hours(24 * 31));

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
    for (const auto& c : cases) EXPECT_EQ(titles(store->reminders(c.predicate)), c.expected) << c.name;
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
