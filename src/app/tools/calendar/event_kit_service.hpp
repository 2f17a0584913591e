// The shared calendar-and-reminders service: calendar and reminders access
// (checked, and requested while undetermined), the status texts the window
// shows, and the reminder operations of the reminders family.
#pragma once

#include "app/platform/diagnostic_sink.hpp"
#include "app/platform/event_store.hpp"
#include "app/tools/calendar/calendar_dates.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace app::tools {

inline constexpr const char* kEventKitServiceDomain = "EventKitService";

// The window's text for a raw authorisation status: 0 to 4, then
// "❓ 未知状态 (raw: <n>)" for any other value.
std::string authorizationStatusText(int rawStatus);

// Diagnostic lines (the "[EventKitService] " status lines and the "❌"
// refusal lines) go to the sink, never to standard output. Errors the
// service raises itself are ToolError "EventKitService" 403 or 404; those of
// the store (a failed access request, a failed save) pass through unchanged.
class EventKitService {
public:
    // Throws std::invalid_argument for a null store. A null sink is standard
    // error; a null clock is the system clock.
    explicit EventKitService(std::shared_ptr<platform::EventStore> store,
                             std::shared_ptr<platform::DiagnosticSink> diagnostics = nullptr, Clock clock = systemNow);

    EventKitService(const EventKitService&) = delete;
    EventKitService& operator=(const EventKitService&) = delete;

    // The process-wide service, made at the first call over the given store
    // (the program's one event store). Later calls return it and ignore the
    // arguments. Throws std::invalid_argument while none is made and the store
    // is null.
    static std::shared_ptr<EventKitService> shared(std::shared_ptr<platform::EventStore> store,
                                                   std::shared_ptr<platform::DiagnosticSink> diagnostics = nullptr,
                                                   Clock clock = nullptr);

    platform::EventStore& eventStore() const { return *store_; }

    // True when full access holds, or was granted on asking while undetermined.
    bool requestCalendarAccess();
    bool requestRemindersAccess();

    // Saves a new reminder; a due date sets the due components (to the
    // minute, local zone) and one alarm at the date itself. Returns its identifier.
    std::string createReminder(const std::string& title, std::optional<Instant> dueDate, std::int64_t priority,
                               std::optional<std::string> notes, std::optional<std::string> listName);
    // Incomplete reminders filtered on the due date, or (completed true)
    // completed ones filtered on the completion date, in store order; at most
    // `limit` (a negative limit keeps none), all without one.
    std::vector<platform::Reminder> fetchReminders(std::optional<bool> completed, std::optional<std::string> listName,
                                                   std::optional<Instant> startDate, std::optional<Instant> endDate,
                                                   std::optional<std::int64_t> limit);
    std::vector<platform::Calendar> fetchReminderLists();
    // Incomplete reminders, then those completed in the last 30 days, whose
    // title (or else notes) contains the query, ignoring case; at most
    // `limit`. An empty query finds nothing.
    std::vector<platform::Reminder> searchReminders(const std::string& query, std::int64_t limit);

    std::string calendarStatusText();
    std::string reminderStatusText();

private:
    bool requestAccess(platform::EntityType type);
    void requireRemindersAccess();
    std::string resolveList(const std::string& name);
    std::string statusText(platform::EntityType type);

    std::shared_ptr<platform::EventStore> store_;
    std::shared_ptr<platform::DiagnosticSink> diagnostics_;
    Clock clock_;
};

}  // namespace app::tools
