// The event store on the program's SQLite file.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "app/platform/event_store.hpp"
#include "app/platform/sqlite.hpp"

namespace app::platform {

// The program's store: `path` is given by the caller (the program uses
// $XDG_DATA_HOME/brisolet/store.sqlite). The file is opened, made and
// migrated at first use, starting with one calendar "Calendar" and one
// reminder list "Reminders"; one that cannot be opened is a PlatformError
// at each use and is never replaced.
class SqliteEventStore : public EventStore {
public:
    SqliteEventStore(std::string path, std::shared_ptr<AccessPrompter> prompter);

    std::vector<Calendar> calendars(EntityType type) override;
    std::optional<Calendar> defaultCalendar(EntityType type) override;
    Calendar addCalendar(std::string title, EntityType type) override;
    std::vector<Event> events(Instant start, Instant end) override;
    std::optional<Event> event(std::string_view identifier) override;
    Event saveEvent(const NewEvent& event) override;
    std::vector<Reminder> reminders(const ReminderPredicate& predicate) override;
    std::optional<Reminder> reminder(std::string_view identifier) override;
    Reminder saveReminder(const NewReminder& reminder) override;
    void setReminderCompletion(std::string_view identifier, std::optional<Instant> completionDate) override;

private:
    SqliteConnection& connection();  // caller holds mutex_
    std::vector<Reminder> loadReminders(std::string_view condition, std::string_view key);
    // The row number and calendar a new item of `type` goes into (see checkedTarget).
    static std::pair<std::int64_t, Calendar> targetCalendar(SqliteConnection& db,
                                                            const std::optional<std::string>& identifier,
                                                            EntityType type);

    std::string path_;
    std::mutex mutex_;
    std::optional<SqliteConnection> connection_;
};

}  // namespace app::platform
