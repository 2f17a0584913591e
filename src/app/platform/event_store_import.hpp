// What a program store of the earlier layout holds: SQLite tables
// calendars, events, reminders and reminder_alarms. Read whole, in the
// tables' order, so the iCalendar store can carry it over into collections.
#pragma once

#include "app/platform/event_store.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace app::platform {

struct ImportedEventStore {
    struct Collection {
        std::int64_t key = 0;  // what the items' `collection` refers to
        std::string title;
        EntityType type = EntityType::Event;
    };
    struct ImportedEvent {
        std::string identifier;
        std::int64_t collection = 0;
        NewEvent event;
    };
    struct ImportedReminder {
        std::string identifier;
        std::int64_t collection = 0;
        NewReminder reminder;
        std::optional<Instant> completionDate;  // none: not completed
    };

    std::vector<Collection> collections;
    std::vector<ImportedEvent> events;
    std::vector<ImportedReminder> reminders;
};

// The store's contents, opened read-only and left as they are; nullopt when
// the file lacks any of the four tables. Throws SqliteError.
std::optional<ImportedEventStore> importEventStore(const std::string& path);

}  // namespace app::platform
