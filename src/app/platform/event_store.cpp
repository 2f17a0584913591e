#include "app/platform/event_store.hpp"

#include <algorithm>
#include <ctime>
#include <stdexcept>

#include "app/platform/platform_error.hpp"

namespace app::platform {

namespace {

bool isLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int daysInMonth(int year, int month) {
    static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && isLeapYear(year) ? 29 : days[month - 1];
}

AccessSubject subjectFor(EntityType type) {
    return type == EntityType::Reminder ? AccessSubject::reminders() : AccessSubject::events();
}

}  // namespace

bool DateComponents::isValid() const {
    if (year < 1 || year > 9999 || month < 1 || month > 12) return false;
    if (day < 1 || day > daysInMonth(year, month)) return false;
    if (hour && (*hour < 0 || *hour > 23)) return false;
    if (minute && (*minute < 0 || *minute > 59)) return false;
    return true;
}

DateComponents localDateComponents(Instant instant) {
    auto seconds = std::chrono::floor<std::chrono::seconds>(instant);
    std::time_t time = static_cast<std::time_t>(seconds.time_since_epoch().count());
    std::tm local{};
    localtime_r(&time, &local);
    return DateComponents{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min};
}

std::int64_t wallClockToUtc(std::int64_t wall, const std::function<std::int64_t(std::int64_t)>& offsetAt) {
    // The offsets a day either side hold the one before and the one after a
    // change near the time; each reading that its own offset confirms is real.
    constexpr std::int64_t kDay = 86400;
    const std::int64_t before = offsetAt(wall - kDay);
    std::optional<std::int64_t> first;
    for (std::int64_t offset : {before, offsetAt(wall), offsetAt(wall + kDay)}) {
        const std::int64_t utc = wall - offset;
        if (offsetAt(utc) == offset && (!first || utc < *first)) first = utc;
    }
    // None: the change skipped the time.
    return first.value_or(wall - before);
}

std::int64_t localOffsetAt(std::int64_t utcSeconds) {
    const std::time_t time = static_cast<std::time_t>(utcSeconds);
    std::tm local{};
    if (!localtime_r(&time, &local)) return 0;
    return local.tm_gmtoff;
}

std::optional<Instant> localInstant(const DateComponents& components) {
    if (!components.isValid()) return std::nullopt;
    using namespace std::chrono;
    const auto day = sys_days(year(components.year) / components.month / components.day);
    const std::int64_t wall = duration_cast<seconds>((day + hours(components.hour.value_or(0)) +
                                                      minutes(components.minute.value_or(0))).time_since_epoch())
                                  .count();
    return Instant(seconds(wallClockToUtc(wall, localOffsetAt)));
}

std::optional<Instant> Reminder::dueDate() const {
    if (!dueDateComponents) return std::nullopt;
    return localInstant(*dueDateComponents);
}

bool ReminderPredicate::matches(const Reminder& reminder) const {
    if (reminder.isCompleted != completed) return false;
    if (calendars && std::find(calendars->begin(), calendars->end(), reminder.calendar.identifier) == calendars->end())
        return false;
    if (!start && !end) return true;
    std::optional<Instant> date = completed ? reminder.completionDate : reminder.dueDate();
    if (!date) return false;
    if (start && *date < *start) return false;
    if (end && !(*date < *end)) return false;
    return true;
}

bool eventOccursWithin(const Event& event, Instant start, Instant end) {
    if (!(start < end)) return false;
    if (event.startDate >= start) return event.startDate < end;
    return event.endDate > start;
}

// EventStore

EventStore::EventStore(std::shared_ptr<AccessPrompter> prompter) : prompter_(std::move(prompter)) {
    if (!prompter_) throw std::invalid_argument("an event store needs an access prompter");
}

AuthorizationStatus EventStore::authorizationStatus(EntityType type) {
    return prompter_->authorizationStatus(subjectFor(type));
}

std::optional<std::string> EventStore::location(std::optional<std::string_view>, EntityType) { return std::nullopt; }

bool EventStore::requestFullAccess(EntityType type) { return prompter_->requestAccess(subjectFor(type)); }

const Calendar& EventStore::checkedTarget(const Calendar* found, const std::optional<std::string>& identifier,
                                          EntityType type) {
    const bool events = type == EntityType::Event;
    const char* operation = events ? "save event" : "save reminder";
    if (!found && identifier)
        throw PlatformError(operation, (events ? "no calendar " : "no reminder list ") + *identifier);
    if (!found) throw PlatformError(operation, events ? "there is no calendar for events" : "there is no reminder list");
    if (found->type != type)
        throw PlatformError(operation, "calendar " + found->title +
                                           (events ? " holds reminders, not events" : " holds events, not reminders"));
    return *found;
}

void EventStore::checkSavable(const NewEvent& event) {
    if (event.endDate < event.startDate)
        throw PlatformError("save event", "the start date must be before the end date");
}

void EventStore::checkSavable(const NewReminder& reminder) {
    if (reminder.dueDateComponents && !reminder.dueDateComponents->isValid())
        throw PlatformError("save reminder", "the due date components name no date");
    // The files hold 0 to 9; a number beyond is refused, never cut to fit.
    if (reminder.priority < 0 || reminder.priority > 9)
        throw PlatformError("save reminder", "the priority " + std::to_string(reminder.priority) +
                                                 " lies outside 0 to 9 that calendar files can hold");
}

}  // namespace app::platform
