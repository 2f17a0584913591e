#include "support/in_memory_event_store.hpp"

namespace app::platform {

namespace {

template <class Item>
std::optional<Item> withIdentifier(const std::vector<Item>& items, std::string_view identifier) {
    for (const auto& item : items)
        if (item.identifier == identifier) return item;
    return std::nullopt;
}

}  // namespace

InMemoryEventStore::InMemoryEventStore(std::shared_ptr<AccessPrompter> prompter) : EventStore(std::move(prompter)) {
    calendars_.push_back({"C1", "Calendar", EntityType::Event});
    calendars_.push_back({"C2", "Reminders", EntityType::Reminder});
    nextId_ = 3;
}

const Calendar* InMemoryEventStore::findCalendar(std::string_view identifier) const {
    for (const auto& calendar : calendars_)
        if (calendar.identifier == identifier) return &calendar;
    return nullptr;
}

const Calendar* InMemoryEventStore::firstCalendar(EntityType type) const {
    for (const auto& calendar : calendars_)
        if (calendar.type == type) return &calendar;
    return nullptr;
}

std::vector<Calendar> InMemoryEventStore::calendars(EntityType type) {
    std::lock_guard lock(mutex_);
    std::vector<Calendar> out;
    for (const auto& calendar : calendars_)
        if (calendar.type == type) out.push_back(calendar);
    return out;
}

std::optional<Calendar> InMemoryEventStore::defaultCalendar(EntityType type) {
    std::lock_guard lock(mutex_);
    if (const Calendar* calendar = firstCalendar(type)) return *calendar;
    return std::nullopt;
}

Calendar InMemoryEventStore::addCalendar(std::string title, EntityType type) {
    std::lock_guard lock(mutex_);
    calendars_.push_back({"C" + std::to_string(nextId_++), std::move(title), type});
    return calendars_.back();
}

std::vector<Event> InMemoryEventStore::events(Instant start, Instant end) {
    std::lock_guard lock(mutex_);
    std::vector<Event> out;
    for (const auto& event : events_)
        if (eventOccursWithin(event, start, end)) out.push_back(event);
    std::stable_sort(out.begin(), out.end(),
                     [](const Event& a, const Event& b) { return a.startDate < b.startDate; });
    return out;
}

std::optional<Event> InMemoryEventStore::event(std::string_view identifier) {
    std::lock_guard lock(mutex_);
    return withIdentifier(events_, identifier);
}

Event InMemoryEventStore::saveEvent(const NewEvent& event) {
    std::lock_guard lock(mutex_);
    if (saveFailure_) throw PlatformError("save event", *saveFailure_);
    const Calendar& calendar = checkedTarget(
        event.calendarIdentifier ? findCalendar(*event.calendarIdentifier) : firstCalendar(EntityType::Event),
        event.calendarIdentifier, EntityType::Event);
    checkSavable(event);
    Event saved{"E" + std::to_string(nextId_++), event.title, event.location, event.notes, event.startDate,
                event.endDate, event.isAllDay, event.url, calendar};
    events_.push_back(saved);
    return saved;
}

std::vector<Reminder> InMemoryEventStore::reminders(const ReminderPredicate& predicate) {
    std::lock_guard lock(mutex_);
    std::vector<Reminder> out;
    for (const auto& reminder : reminders_)
        if (predicate.matches(reminder)) out.push_back(reminder);
    return out;
}

std::optional<Reminder> InMemoryEventStore::reminder(std::string_view identifier) {
    std::lock_guard lock(mutex_);
    return withIdentifier(reminders_, identifier);
}

Reminder InMemoryEventStore::saveReminder(const NewReminder& reminder) {
    std::lock_guard lock(mutex_);
    if (saveFailure_) throw PlatformError("save reminder", *saveFailure_);
    const Calendar& calendar = checkedTarget(
        reminder.calendarIdentifier ? findCalendar(*reminder.calendarIdentifier) : firstCalendar(EntityType::Reminder),
        reminder.calendarIdentifier, EntityType::Reminder);
    checkSavable(reminder);
    Reminder saved{"R" + std::to_string(nextId_++), reminder.title, reminder.notes, reminder.priority,
                   reminder.dueDateComponents, reminder.alarms, false, std::nullopt, calendar};
    reminders_.push_back(saved);
    return saved;
}

void InMemoryEventStore::setReminderCompletion(std::string_view identifier, std::optional<Instant> completionDate) {
    std::lock_guard lock(mutex_);
    for (auto& reminder : reminders_) {
        if (reminder.identifier != identifier) continue;
        reminder.isCompleted = completionDate.has_value();
        reminder.completionDate = completionDate;
        return;
    }
    throw PlatformError("complete reminder", "no reminder " + std::string(identifier));
}

std::optional<std::string> InMemoryEventStore::location(std::optional<std::string_view> identifier, EntityType type) {
    if (!identifier) return std::nullopt;
    const bool held = type == EntityType::Event ? event(*identifier).has_value() : reminder(*identifier).has_value();
    if (!held) return std::nullopt;
    return "memory:" + std::string(*identifier);
}

void InMemoryEventStore::setSaveFailure(std::optional<std::string> cause) {
    std::lock_guard lock(mutex_);
    saveFailure_ = std::move(cause);
}

}  // namespace app::platform
