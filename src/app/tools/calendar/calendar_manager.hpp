// The calendar family's own way into the user's calendars: the manager that
// holds the store and checks calendar access, the event record the list
// tools return, and its JSON.
#pragma once

#include "app/platform/diagnostic_sink.hpp"
#include "app/platform/event_store.hpp"
#include "json/value.hpp"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace app::tools {

class CalendarManager {
public:
    // Throws std::invalid_argument for a null store. A null sink is standard error.
    explicit CalendarManager(std::shared_ptr<platform::EventStore> store,
                             std::shared_ptr<platform::DiagnosticSink> diagnostics = nullptr);
    virtual ~CalendarManager() = default;

    CalendarManager(const CalendarManager&) = delete;
    CalendarManager& operator=(const CalendarManager&) = delete;

    // The process-wide manager, made at the first call over the given store
    // (the program's one event store). Later calls return it and ignore the
    // arguments. Throws std::invalid_argument while none is made and the store
    // is null.
    static std::shared_ptr<CalendarManager> shared(std::shared_ptr<platform::EventStore> store,
                                                   std::shared_ptr<platform::DiagnosticSink> diagnostics = nullptr);

    platform::EventStore& store() const { return *store_; }

    // True when the calendar tools may work: full access, or a request
    // granted while nothing was decided. Restricted, denied and write-only
    // answer false without asking. A status that cannot be read throws.
    virtual bool ensureAccess();
    // Asks for full access to events; a failed request answers false.
    virtual bool requestFullAccess();

private:
    std::shared_ptr<platform::EventStore> store_;
    std::shared_ptr<platform::DiagnosticSink> diagnostics_;
};

// One event as the list tools return it. Absent optionals are left out of
// the JSON, never written as null.
struct CalendarEvent {
    std::string id;
    std::string title;
    std::optional<std::string> location;
    std::optional<std::string> notes;
    std::optional<std::string> startDate;  // "2024-01-15T09:00:00Z"
    std::optional<std::string> endDate;
    std::string calendarName;
    bool isAllDay = false;
    std::optional<std::string> url;

    bool operator==(const CalendarEvent&) const = default;
};

// Members in field order.
json::Value encodeCalendarEvent(const CalendarEvent& event);
// id, title, calendarName and isAllDay are required; a null optional reads as
// absent. Throws json::DecodingError.
CalendarEvent decodeCalendarEvent(const json::Value& value);

// The record of a store event; its texts are made valid UTF-8.
CalendarEvent calendarEvent(const platform::Event& event);

// The events, in the given order, as a pretty-printed JSON array with "/"
// written "\/"; "[]" when encoding fails.
std::string eventsToJSON(const std::vector<platform::Event>& events);

}  // namespace app::tools
