#include "app/tools/calendar/event_kit_service.hpp"

#include "app/platform/unicode_text.hpp"
#include "app/tools/calendar/calendar_manager.hpp"
#include "app/tools/calendar/calendar_text.hpp"
#include "app/tools/registry/process_wide.hpp"
#include "app/tools/registry/tool_error.hpp"

#include <stdexcept>

namespace app::tools {

namespace {

using platform::AuthorizationStatus;
using platform::EntityType;

// Shown when the decision store cannot be read: no status the platform has.
constexpr int kUnreadableStatus = -1;

const char* statusName(int raw) {
    switch (static_cast<AuthorizationStatus>(raw)) {
        case AuthorizationStatus::NotDetermined: return "notDetermined";
        case AuthorizationStatus::Restricted: return "restricted";
        case AuthorizationStatus::Denied: return "denied";
        case AuthorizationStatus::FullAccess: return "fullAccess";
        case AuthorizationStatus::WriteOnly: return "writeOnly";
        default: return "unknown";
    }
}

void keepFirst(std::vector<platform::Reminder>& reminders, std::int64_t limit) {
    std::size_t count = limit < 0 ? 0 : static_cast<std::size_t>(limit);
    if (reminders.size() > count) reminders.resize(count);
}

}  // namespace

std::string authorizationStatusText(int rawStatus) {
    switch (static_cast<AuthorizationStatus>(rawStatus)) {
        case AuthorizationStatus::NotDetermined: return "⏳ 未请求 (notDetermined)";
        case AuthorizationStatus::Restricted: return "🚫 受限制 (restricted)";
        case AuthorizationStatus::Denied: return "❌ 已拒绝 (denied)";
        case AuthorizationStatus::FullAccess: return "✅ 已授权 (authorized)";
        case AuthorizationStatus::WriteOnly: return "📝 仅写入权限 (writeOnly)";
        default: return "❓ 未知状态 (raw: " + std::to_string(rawStatus) + ")";
    }
}

EventKitService::EventKitService(std::shared_ptr<platform::EventStore> store,
                                 std::shared_ptr<platform::DiagnosticSink> diagnostics, Clock clock)
    : store_(std::move(store)), diagnostics_(std::move(diagnostics)), clock_(std::move(clock)) {
    if (!store_) throw std::invalid_argument("EventKitService needs an event store");
    if (!diagnostics_) diagnostics_ = std::make_shared<platform::StderrDiagnosticSink>();
    if (!clock_) clock_ = systemNow;
}

std::shared_ptr<EventKitService> EventKitService::shared(std::shared_ptr<platform::EventStore> store,
                                                         std::shared_ptr<platform::DiagnosticSink> diagnostics,
                                                         Clock clock) {
    return processWide<EventKitService>([&] {
        return std::make_shared<EventKitService>(std::move(store), std::move(diagnostics), std::move(clock));
    });
}

bool EventKitService::requestAccess(EntityType type) {
    const bool calendar = type == EntityType::Event;
    switch (store_->authorizationStatus(type)) {
        case AuthorizationStatus::NotDetermined: {
            if (calendar) diagnostics_->write("[EventKitService] Requesting calendar access...");
            bool granted = store_->requestFullAccess(type);
            if (calendar)
                diagnostics_->write(std::string("[EventKitService] Calendar access result: ") +
                                    (granted ? "true" : "false"));
            return granted;
        }
        case AuthorizationStatus::Restricted:
            diagnostics_->write(calendar ? "❌ Calendar access restricted by system"
                                         : "❌ Reminders access restricted by system");
            return false;
        case AuthorizationStatus::Denied:
            diagnostics_->write(calendar ? "❌ Calendar access denied by user. Please enable in System Settings > "
                                           "Privacy & Security > Calendars"
                                         : "❌ Reminders access denied by user. Please enable in System Settings > "
                                           "Privacy & Security > Reminders");
            return false;
        case AuthorizationStatus::FullAccess: return true;
        default: return false;  // write-only and unknown values: no request
    }
}

bool EventKitService::requestCalendarAccess() { return requestAccess(EntityType::Event); }

bool EventKitService::requestRemindersAccess() { return requestAccess(EntityType::Reminder); }

void EventKitService::requireRemindersAccess() {
    if (!requestRemindersAccess()) throw ToolError(kEventKitServiceDomain, 403, "Reminders access denied");
}

std::string EventKitService::resolveList(const std::string& name) {
    for (const auto& list : store_->calendars(EntityType::Reminder))
        if (caseInsensitiveContains(list.title, name)) return list.identifier;
    throw ToolError(kEventKitServiceDomain, 404, "Reminder list '" + platform::shownEscaped(name) + "' not found");
}

std::string EventKitService::createReminder(const std::string& title, std::optional<Instant> dueDate,
                                            std::int64_t priority, std::optional<std::string> notes,
                                            std::optional<std::string> listName) {
    requireRemindersAccess();
    platform::NewReminder reminder;
    reminder.title = title;
    reminder.notes = std::move(notes);
    reminder.priority = priority;
    if (dueDate) {
        reminder.dueDateComponents = platform::localDateComponents(*dueDate);
        reminder.alarms.push_back(*dueDate);
    }
    // Without a name the store files it in its default list.
    if (listName) reminder.calendarIdentifier = resolveList(*listName);
    return store_->saveReminder(reminder).identifier;
}

std::vector<platform::Reminder> EventKitService::fetchReminders(std::optional<bool> completed,
                                                                std::optional<std::string> listName,
                                                                std::optional<Instant> startDate,
                                                                std::optional<Instant> endDate,
                                                                std::optional<std::int64_t> limit) {
    requireRemindersAccess();
    platform::ReminderPredicate predicate;
    predicate.completed = completed.value_or(false);
    predicate.start = startDate;
    predicate.end = endDate;
    if (listName) predicate.calendars = std::vector<std::string>{resolveList(*listName)};
    std::vector<platform::Reminder> reminders = store_->reminders(predicate);
    if (limit) keepFirst(reminders, *limit);
    return reminders;
}

std::vector<platform::Calendar> EventKitService::fetchReminderLists() {
    requireRemindersAccess();
    return store_->calendars(EntityType::Reminder);
}

std::vector<platform::Reminder> EventKitService::searchReminders(const std::string& query, std::int64_t limit) {
    requireRemindersAccess();
    platform::ReminderPredicate incomplete;
    std::vector<platform::Reminder> candidates = store_->reminders(incomplete);
    platform::ReminderPredicate recentlyCompleted;
    recentlyCompleted.completed = true;
    recentlyCompleted.start = addCalendarDays(clock_(), -30);
    for (auto& reminder : store_->reminders(recentlyCompleted)) candidates.push_back(std::move(reminder));

    std::string needle = platform::lowercased(query);
    std::vector<platform::Reminder> found;
    for (auto& reminder : candidates) {
        if (containsText(platform::lowercased(reminder.title.value_or("")), needle) ||
            containsText(platform::lowercased(reminder.notes.value_or("")), needle))
            found.push_back(std::move(reminder));
    }
    keepFirst(found, limit);
    return found;
}

std::string EventKitService::statusText(EntityType type) {
    std::string prefix =
        type == EntityType::Event ? "[EventKitService] Calendar status: " : "[EventKitService] Reminder status: ";
    int raw;
    try {
        raw = static_cast<int>(store_->authorizationStatus(type));
    } catch (const std::exception& error) {
        // The window still gets a text; the cause goes to the diagnostics.
        raw = kUnreadableStatus;
        diagnostics_->write(prefix + "unreadable (" + error.what() + "), rawValue: " + std::to_string(raw));
        return authorizationStatusText(raw);
    }
    diagnostics_->write(prefix + statusName(raw) + ", rawValue: " + std::to_string(raw));
    return authorizationStatusText(raw);
}

std::string EventKitService::calendarStatusText() { return statusText(EntityType::Event); }

std::string EventKitService::reminderStatusText() { return statusText(EntityType::Reminder); }

}  // namespace app::tools
