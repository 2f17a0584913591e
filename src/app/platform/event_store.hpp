// Calendars, events and reminders (with due date components, alarms and
// completion), and the consent to reach them. IcalEventStore keeps them in
// iCalendar collections.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/platform/access_prompter.hpp"

namespace app::platform {

// An instant, to the microsecond.
using Instant = std::chrono::sys_time<std::chrono::microseconds>;

enum class EntityType : int { Event = 0, Reminder = 1 };

struct Calendar {
    std::string identifier;
    std::string title;
    EntityType type = EntityType::Event;

    bool operator==(const Calendar&) const = default;
};

struct Event {
    std::string identifier;
    std::string title;
    std::optional<std::string> location;
    std::optional<std::string> notes;
    Instant startDate;
    Instant endDate;
    bool isAllDay = false;
    std::optional<std::string> url;
    Calendar calendar;

    bool operator==(const Event&) const = default;
};

struct NewEvent {
    std::string title;
    Instant startDate;
    Instant endDate;
    std::optional<std::string> location;
    std::optional<std::string> notes;
    bool isAllDay = false;
    std::optional<std::string> url;
    // Absent: the default calendar for new events.
    std::optional<std::string> calendarIdentifier;
};

// A wall-clock date in the user's time zone; a due date without hour and
// minute is a whole day.
struct DateComponents {
    int year = 0;
    int month = 0;
    int day = 0;
    std::optional<int> hour;
    std::optional<int> minute;

    bool isValid() const;
    bool operator==(const DateComponents&) const = default;
};

// Year, month, day, hour and minute of an instant in the local time zone (seconds dropped).
DateComponents localDateComponents(Instant instant);
// The UTC seconds a wall-clock time (`wallSeconds`: its fields counted as if
// in UTC) names in a zone whose offset east of UTC at each instant
// `offsetAt` gives. As iCalendar (RFC 5545) reads it: a time a change of
// offset skips takes the offset before the change (02:30 in a gap from 02:00
// to 03:00 is 03:30 after it), a time it repeats names its first occurrence.
std::int64_t wallClockToUtc(std::int64_t wallSeconds, const std::function<std::int64_t(std::int64_t)>& offsetAt);
// The local zone's offset east of UTC at an instant (UTC seconds).
std::int64_t localOffsetAt(std::int64_t utcSeconds);
// The instant the components name in the local time zone (a missing hour or
// minute counts as 0); nullopt for invalid components.
std::optional<Instant> localInstant(const DateComponents& components);

struct Reminder {
    std::string identifier;
    std::optional<std::string> title;
    std::optional<std::string> notes;
    std::int64_t priority = 0;  // 0 none, 1 highest … 9 lowest; a file's other values kept as read
    std::optional<DateComponents> dueDateComponents;
    std::vector<Instant> alarms;  // absolute-date alarms
    bool isCompleted = false;
    std::optional<Instant> completionDate;
    Calendar calendar;  // the reminder list

    // The due date in the local time zone, when the components yield one.
    std::optional<Instant> dueDate() const;
    bool operator==(const Reminder&) const = default;
};

struct NewReminder {
    std::optional<std::string> title;
    std::optional<std::string> notes;
    std::int64_t priority = 0;
    std::optional<DateComponents> dueDateComponents;
    std::vector<Instant> alarms;
    // Absent: the default list for new reminders.
    std::optional<std::string> calendarIdentifier;
};

// Which reminders a fetch returns. completed false: incomplete reminders
// whose due date lies in [start, end); completed true: completed reminders
// whose completion date lies in [start, end). An absent bound is no bound;
// with a bound, reminders without that date are left out. `calendars`
// absent: every reminder list.
struct ReminderPredicate {
    bool completed = false;
    std::optional<Instant> start;
    std::optional<Instant> end;
    std::optional<std::vector<std::string>> calendars;

    bool matches(const Reminder& reminder) const;
};

// True when the event occurs within [start, end): it starts in the range or
// runs into it. A range whose end is not after its start holds nothing.
bool eventOccursWithin(const Event& event, Instant start, Instant end);

// Store order everywhere: calendars and reminders in the order they were
// made; events by start date, equal starts in the order they were made.
// Failures are PlatformErrors naming the operation.
class EventStore {
public:
    explicit EventStore(std::shared_ptr<AccessPrompter> prompter);
    virtual ~EventStore() = default;

    // Consent, through the access prompter (Events or Reminders).
    AuthorizationStatus authorizationStatus(EntityType type);
    bool requestFullAccess(EntityType type);

    virtual std::vector<Calendar> calendars(EntityType type) = 0;
    virtual std::optional<Calendar> defaultCalendar(EntityType type) = 0;
    virtual Calendar addCalendar(std::string title, EntityType type) = 0;

    // Events of every event calendar that occur within [start, end), in store order.
    virtual std::vector<Event> events(Instant start, Instant end) = 0;
    virtual std::optional<Event> event(std::string_view identifier) = 0;
    // Refused (nothing saved) when end is before start or the calendar is
    // unknown or not an event calendar. Returns the saved event.
    virtual Event saveEvent(const NewEvent& event) = 0;

    virtual std::vector<Reminder> reminders(const ReminderPredicate& predicate) = 0;
    virtual std::optional<Reminder> reminder(std::string_view identifier) = 0;
    // Refused when the list is unknown or not a reminder list, the due
    // components are invalid or the priority lies outside 0 to 9. Returns
    // the saved reminder.
    virtual Reminder saveReminder(const NewReminder& reminder) = 0;
    // Completed with the given date, or back to incomplete with nullopt.
    virtual void setReminderCompletion(std::string_view identifier, std::optional<Instant> completionDate) = 0;

    // The file an item (`identifier`) or, without one, the default collection
    // of `type` is kept in, for the user's own programs to open; nullopt when
    // there is none or the store keeps no files.
    virtual std::optional<std::string> location(std::optional<std::string_view> identifier, EntityType type);

protected:
    // The calendar a new event or reminder (`type`) goes into: `found` is the
    // one `identifier` names, or without one the default calendar of `type`
    // (null when there is none). Throws the PlatformError of "save event" or
    // "save reminder" when it is missing or holds the other kind.
    static const Calendar& checkedTarget(const Calendar* found, const std::optional<std::string>& identifier,
                                         EntityType type);
    // Throws the PlatformError for an event ending before it starts, or a
    // reminder whose due components name no date or whose priority the
    // files cannot hold.
    static void checkSavable(const NewEvent& event);
    static void checkSavable(const NewReminder& reminder);

private:
    std::shared_ptr<AccessPrompter> prompter_;
};

}  // namespace app::platform
