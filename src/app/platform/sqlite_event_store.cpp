#include "app/platform/sqlite_event_store.hpp"

#include <array>

#include "app/platform/environment.hpp"
#include "app/platform/store_database.hpp"

namespace app::platform {

namespace {

constexpr std::string_view newCalendarId =
    "(SELECT substr(h, 1, 8) || '-' || substr(h, 9, 4) || '-' || substr(h, 13, 4) || '-' || "
    "substr(h, 17, 4) || '-' || substr(h, 21, 12) FROM (SELECT hex(randomblob(16)) AS h))";

const std::string firstSchema = std::string(
    "CREATE TABLE calendars("
    " seq INTEGER PRIMARY KEY,"
    " identifier TEXT NOT NULL UNIQUE,"
    " title TEXT NOT NULL,"
    " entity INTEGER NOT NULL,"
    " is_default INTEGER NOT NULL DEFAULT 0);"
    "CREATE TABLE events("
    " seq INTEGER PRIMARY KEY,"
    " identifier TEXT NOT NULL UNIQUE,"
    " calendar INTEGER NOT NULL REFERENCES calendars(seq),"
    " title TEXT NOT NULL,"
    " location TEXT,"
    " notes TEXT,"
    " start_us INTEGER NOT NULL,"
    " end_us INTEGER NOT NULL,"
    " all_day INTEGER NOT NULL,"
    " url TEXT);"
    "CREATE INDEX events_by_start ON events(start_us, seq);"
    "CREATE TABLE reminders("
    " seq INTEGER PRIMARY KEY,"
    " identifier TEXT NOT NULL UNIQUE,"
    " calendar INTEGER NOT NULL REFERENCES calendars(seq),"
    " title TEXT,"
    " notes TEXT,"
    " priority INTEGER NOT NULL,"
    " due_year INTEGER, due_month INTEGER, due_day INTEGER, due_hour INTEGER, due_minute INTEGER,"
    " completed INTEGER NOT NULL DEFAULT 0,"
    " completion_us INTEGER);"
    "CREATE TABLE reminder_alarms("
    " seq INTEGER PRIMARY KEY,"
    " reminder INTEGER NOT NULL REFERENCES reminders(seq) ON DELETE CASCADE,"
    " at_us INTEGER NOT NULL);"
    "CREATE INDEX reminder_alarms_by_reminder ON reminder_alarms(reminder);"
    "INSERT INTO calendars(identifier, title, entity, is_default) VALUES(") +
    std::string(newCalendarId) + ", 'Calendar', 0, 1);" +
    "INSERT INTO calendars(identifier, title, entity, is_default) VALUES(" + std::string(newCalendarId) +
    ", 'Reminders', 1, 1);";

std::int64_t micros(Instant instant) { return instant.time_since_epoch().count(); }
Instant instantOf(std::int64_t micros) { return Instant(std::chrono::microseconds(micros)); }

constexpr std::string_view eventColumns =
    "SELECT e.identifier, e.title, e.location, e.notes, e.start_us, e.end_us, e.all_day, e.url,"
    " c.identifier, c.title, c.entity FROM events e JOIN calendars c ON c.seq = e.calendar ";

Event readEvent(const SqliteStatement& row) {
    Event event;
    event.identifier = row.text(0);
    event.title = row.text(1);
    event.location = row.optionalText(2);
    event.notes = row.optionalText(3);
    event.startDate = instantOf(row.int64(4));
    event.endDate = instantOf(row.int64(5));
    event.isAllDay = row.int64(6) != 0;
    event.url = row.optionalText(7);
    event.calendar = {row.text(8), row.text(9), static_cast<EntityType>(row.int32(10))};
    return event;
}

Calendar readCalendar(const SqliteStatement& row, int first) {
    return {row.text(first), row.text(first + 1), static_cast<EntityType>(row.int32(first + 2))};
}

// Turns SQLite failures into errors naming the store operation.
template <class F>
auto guarded(const std::string& operation, F body) -> decltype(body()) {
    try {
        return body();
    } catch (const SqliteError& error) {
        throw PlatformError(operation, error.sqliteMessage());
    }
}

}  // namespace

SqliteEventStore::SqliteEventStore(std::string path, std::shared_ptr<AccessPrompter> prompter)
    : EventStore(std::move(prompter)), path_(std::move(path)) {}

std::pair<std::int64_t, Calendar> SqliteEventStore::targetCalendar(SqliteConnection& db,
                                                                   const std::optional<std::string>& identifier,
                                                                   EntityType type) {
    auto query = identifier ? db.prepare("SELECT seq, identifier, title, entity FROM calendars WHERE identifier = ?")
                            : db.prepare("SELECT seq, identifier, title, entity FROM calendars WHERE entity = ? "
                                         "ORDER BY is_default DESC, seq LIMIT 1");
    if (identifier)
        query.bind(1, *identifier);
    else
        query.bind(1, static_cast<int>(type));
    std::optional<Calendar> found;
    if (query.step()) found = readCalendar(query, 1);
    const Calendar& calendar = checkedTarget(found ? &*found : nullptr, identifier, type);
    return {query.int64(0), calendar};
}

SqliteConnection& SqliteEventStore::connection() {
    static const std::array<std::string_view, 1> steps = {firstSchema};
    if (!connection_) connection_.emplace(openStoreDatabase(path_, "event store", "event_store", steps));
    return *connection_;
}

std::vector<Calendar> SqliteEventStore::calendars(EntityType type) {
    std::lock_guard lock(mutex_);
    return guarded("list calendars", [&] {
        auto query = connection().prepare("SELECT identifier, title, entity FROM calendars WHERE entity = ? ORDER BY seq");
        query.bind(1, static_cast<int>(type));
        std::vector<Calendar> out;
        while (query.step()) out.push_back(readCalendar(query, 0));
        return out;
    });
}

std::optional<Calendar> SqliteEventStore::defaultCalendar(EntityType type) {
    std::lock_guard lock(mutex_);
    return guarded("find the default calendar", [&]() -> std::optional<Calendar> {
        auto query = connection().prepare(
            "SELECT identifier, title, entity FROM calendars WHERE entity = ? ORDER BY is_default DESC, seq LIMIT 1");
        query.bind(1, static_cast<int>(type));
        if (!query.step()) return std::nullopt;
        return readCalendar(query, 0);
    });
}

Calendar SqliteEventStore::addCalendar(std::string title, EntityType type) {
    std::lock_guard lock(mutex_);
    return guarded("add calendar " + title, [&] {
        Calendar calendar{randomUuidString(), std::move(title), type};
        auto insert = connection().prepare("INSERT INTO calendars(identifier, title, entity) VALUES(?, ?, ?)");
        insert.bind(1, calendar.identifier).bind(2, calendar.title).bind(3, static_cast<int>(type)).run();
        return calendar;
    });
}

std::vector<Event> SqliteEventStore::events(Instant start, Instant end) {
    std::lock_guard lock(mutex_);
    if (!(start < end)) {
        // Still open the store: a broken file is reported whatever the range.
        guarded("list events", [&] { connection(); });
        return {};
    }
    return guarded("list events", [&] {
        auto query = connection().prepare(std::string(eventColumns) +
                                          "WHERE c.entity = 0 AND e.start_us < ?1 AND "
                                          "(e.start_us >= ?2 OR e.end_us > ?2) ORDER BY e.start_us, e.seq");
        query.bind(1, micros(end)).bind(2, micros(start));
        std::vector<Event> out;
        while (query.step()) out.push_back(readEvent(query));
        return out;
    });
}

std::optional<Event> SqliteEventStore::event(std::string_view identifier) {
    std::lock_guard lock(mutex_);
    return guarded("look up event", [&]() -> std::optional<Event> {
        auto query = connection().prepare(std::string(eventColumns) + "WHERE e.identifier = ?");
        query.bind(1, identifier);
        if (!query.step()) return std::nullopt;
        return readEvent(query);
    });
}

Event SqliteEventStore::saveEvent(const NewEvent& event) {
    std::lock_guard lock(mutex_);
    return guarded("save event", [&] {
        auto& db = connection();
        auto [calendarSeq, calendar] = targetCalendar(db, event.calendarIdentifier, EntityType::Event);
        checkSavable(event);
        Event saved{randomUuidString(), event.title, event.location, event.notes, event.startDate,
                    event.endDate, event.isAllDay, event.url, calendar};
        auto insert = db.prepare(
            "INSERT INTO events(identifier, calendar, title, location, notes, start_us, end_us, all_day, url)"
            " VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?)");
        insert.bind(1, saved.identifier)
            .bind(2, calendarSeq)
            .bind(3, saved.title)
            .bind(4, saved.location)
            .bind(5, saved.notes)
            .bind(6, micros(saved.startDate))
            .bind(7, micros(saved.endDate))
            .bind(8, saved.isAllDay ? 1 : 0)
            .bind(9, saved.url)
            .run();
        return saved;
    });
}

std::vector<Reminder> SqliteEventStore::loadReminders(std::string_view condition, std::string_view key) {
    auto& db = connection();
    auto query = db.prepare(
        "SELECT r.seq, r.identifier, r.title, r.notes, r.priority, r.due_year, r.due_month, r.due_day,"
        " r.due_hour, r.due_minute, r.completed, r.completion_us, c.identifier, c.title, c.entity"
        " FROM reminders r JOIN calendars c ON c.seq = r.calendar " +
        std::string(condition) + " ORDER BY r.seq");
    if (!key.empty()) query.bind(1, key);
    std::vector<std::int64_t> seqs;
    std::vector<Reminder> out;
    while (query.step()) {
        Reminder reminder;
        seqs.push_back(query.int64(0));
        reminder.identifier = query.text(1);
        reminder.title = query.optionalText(2);
        reminder.notes = query.optionalText(3);
        reminder.priority = query.int64(4);
        if (!query.isNull(5) && !query.isNull(6) && !query.isNull(7)) {
            DateComponents due{query.int32(5), query.int32(6), query.int32(7), std::nullopt, std::nullopt};
            if (auto hour = query.optionalInt64(8)) due.hour = static_cast<int>(*hour);
            if (auto minute = query.optionalInt64(9)) due.minute = static_cast<int>(*minute);
            reminder.dueDateComponents = due;
        }
        reminder.isCompleted = query.int64(10) != 0;
        if (auto completion = query.optionalInt64(11)) reminder.completionDate = instantOf(*completion);
        reminder.calendar = readCalendar(query, 12);
        out.push_back(std::move(reminder));
    }
    auto alarms = db.prepare("SELECT at_us FROM reminder_alarms WHERE reminder = ? ORDER BY seq");
    for (std::size_t i = 0; i < out.size(); ++i) {
        alarms.reset();
        alarms.bind(1, seqs[i]);
        while (alarms.step()) out[i].alarms.push_back(instantOf(alarms.int64(0)));
    }
    return out;
}

std::vector<Reminder> SqliteEventStore::reminders(const ReminderPredicate& predicate) {
    std::lock_guard lock(mutex_);
    return guarded("fetch reminders", [&] {
        // Due dates are wall-clock components read in the current zone, so the
        // window is applied here rather than in SQL.
        std::vector<Reminder> out;
        for (auto& reminder : loadReminders(predicate.completed ? "WHERE r.completed != 0" : "WHERE r.completed = 0", {}))
            if (predicate.matches(reminder)) out.push_back(std::move(reminder));
        return out;
    });
}

std::optional<Reminder> SqliteEventStore::reminder(std::string_view identifier) {
    std::lock_guard lock(mutex_);
    return guarded("look up reminder", [&]() -> std::optional<Reminder> {
        if (identifier.empty()) return std::nullopt;
        auto found = loadReminders("WHERE r.identifier = ?", identifier);
        if (found.empty()) return std::nullopt;
        return std::move(found.front());
    });
}

Reminder SqliteEventStore::saveReminder(const NewReminder& reminder) {
    std::lock_guard lock(mutex_);
    return guarded("save reminder", [&] {
        auto& db = connection();
        auto [calendarSeq, calendar] = targetCalendar(db, reminder.calendarIdentifier, EntityType::Reminder);
        checkSavable(reminder);
        const auto& due = reminder.dueDateComponents;
        Reminder saved{randomUuidString(), reminder.title, reminder.notes, reminder.priority, due, reminder.alarms,
                       false, std::nullopt, calendar};
        SqliteTransaction transaction(db);
        auto insert = db.prepare(
            "INSERT INTO reminders(identifier, calendar, title, notes, priority,"
            " due_year, due_month, due_day, due_hour, due_minute) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
        insert.bind(1, saved.identifier).bind(2, calendarSeq).bind(3, saved.title).bind(4, saved.notes);
        insert.bind(5, saved.priority);
        if (due) {
            insert.bind(6, due->year).bind(7, due->month).bind(8, due->day);
            if (due->hour) insert.bind(9, *due->hour);
            if (due->minute) insert.bind(10, *due->minute);
        }
        insert.run();
        std::int64_t seq = db.lastInsertRowId();
        auto alarm = db.prepare("INSERT INTO reminder_alarms(reminder, at_us) VALUES(?, ?)");
        for (Instant at : saved.alarms) {
            alarm.reset();
            alarm.bind(1, seq).bind(2, micros(at)).run();
        }
        transaction.commit();
        return saved;
    });
}

void SqliteEventStore::setReminderCompletion(std::string_view identifier, std::optional<Instant> completionDate) {
    std::lock_guard lock(mutex_);
    guarded("complete reminder", [&] {
        auto update = connection().prepare("UPDATE reminders SET completed = ?, completion_us = ? WHERE identifier = ?");
        update.bind(1, completionDate ? 1 : 0);
        if (completionDate) update.bind(2, micros(*completionDate));
        update.bind(3, identifier).run();
        if (connection().changes() == 0) throw PlatformError("complete reminder", "no reminder " + std::string(identifier));
    });
}

}  // namespace app::platform
