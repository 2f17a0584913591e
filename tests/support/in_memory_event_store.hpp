// Calendars, events and reminders in memory; consent through a fake prompter by default.
#pragma once

#include "app/platform/event_store.hpp"
#include "support/fake_access_prompter.hpp"

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace app::platform {

class InMemoryEventStore : public EventStore {
public:
    // Starts with one calendar "Calendar" and one reminder list "Reminders", the defaults.
    explicit InMemoryEventStore(std::shared_ptr<AccessPrompter> prompter = std::make_shared<FakeAccessPrompter>());

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
    // "memory:<identifier>" for an item held here; no collection has a folder.
    std::optional<std::string> location(std::optional<std::string_view> identifier, EntityType type) override;

    // Makes the next saves fail with this cause (nullopt: succeed again).
    void setSaveFailure(std::optional<std::string> cause);

private:
    const Calendar* findCalendar(std::string_view identifier) const;
    const Calendar* firstCalendar(EntityType type) const;

    std::mutex mutex_;
    std::vector<Calendar> calendars_;
    std::vector<Event> events_;  // in the order made
    std::vector<Reminder> reminders_;
    std::optional<std::string> saveFailure_;
    std::uint64_t nextId_ = 1;
};

}  // namespace app::platform
