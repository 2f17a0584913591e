#include "app/platform/event_store_import.hpp"

#include "app/platform/sqlite.hpp"

#include <chrono>

namespace app::platform {

namespace {

Instant microseconds(std::int64_t count) { return Instant(std::chrono::microseconds(count)); }

}  // namespace

std::optional<ImportedEventStore> importEventStore(const std::string& path) {
    SqliteConnection db(path, SqliteOpenMode::ReadOnly);
    {
        auto check = db.prepare(
            "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND "
            "name IN ('calendars', 'events', 'reminders', 'reminder_alarms')");
        if (!check.step() || check.int64(0) != 4) return std::nullopt;
    }
    ImportedEventStore out;
    auto calendars = db.prepare("SELECT seq, title, entity FROM calendars ORDER BY seq");
    while (calendars.step())
        out.collections.push_back({calendars.int64(0), calendars.text(1),
                                   calendars.int32(2) == 1 ? EntityType::Reminder : EntityType::Event});
    auto events = db.prepare(
        "SELECT identifier, calendar, title, location, notes, start_us, end_us, all_day, url FROM events ORDER BY seq");
    while (events.step()) {
        NewEvent event;
        event.title = events.text(2);
        event.location = events.optionalText(3);
        event.notes = events.optionalText(4);
        event.startDate = microseconds(events.int64(5));
        event.endDate = microseconds(events.int64(6));
        event.isAllDay = events.int64(7) != 0;
        event.url = events.optionalText(8);
        out.events.push_back({events.text(0), events.int64(1), std::move(event)});
    }
    auto reminders = db.prepare(
        "SELECT seq, identifier, calendar, title, notes, priority, due_year, due_month, due_day, due_hour, "
        "due_minute, completed, completion_us FROM reminders ORDER BY seq");
    while (reminders.step()) {
        NewReminder reminder;
        reminder.title = reminders.optionalText(3);
        reminder.notes = reminders.optionalText(4);
        reminder.priority = reminders.int64(5);
        if (auto year = reminders.optionalInt64(6)) {
            DateComponents due{static_cast<int>(*year), static_cast<int>(reminders.int64(7)),
                               static_cast<int>(reminders.int64(8)), std::nullopt, std::nullopt};
            if (auto hour = reminders.optionalInt64(9)) due.hour = static_cast<int>(*hour);
            if (auto minute = reminders.optionalInt64(10)) due.minute = static_cast<int>(*minute);
            reminder.dueDateComponents = due;
        }
        auto alarms = db.prepare("SELECT at_us FROM reminder_alarms WHERE reminder = ? ORDER BY seq");
        alarms.bind(1, reminders.int64(0));
        while (alarms.step()) reminder.alarms.push_back(microseconds(alarms.int64(0)));
        std::optional<Instant> completed;
        if (reminders.int64(11) != 0) completed = microseconds(reminders.optionalInt64(12).value_or(0));
        out.reminders.push_back({reminders.text(1), reminders.int64(2), std::move(reminder), completed});
    }
    return out;
}

}  // namespace app::platform
