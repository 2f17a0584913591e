#include "app/tools/calendar/reminders_tools.hpp"

#include "app/platform/unicode_text.hpp"
#include "app/tools/calendar/reminders_scripts.hpp"
#include "app/tools/registry/tool_error.hpp"
#include "app/tools/registry/tool_row.hpp"

#include "json/json.hpp"
#include "runtime/runtime.hpp"

#include <cmath>
#include <stdexcept>

namespace app::tools {

namespace {

constexpr const char* kCompletedMark = "\u2611\uFE0F";  // ☑️
constexpr const char* kOpenMark = "\u2610";             // ☐

// Runs one service call; whatever it throws becomes "LocalTool" 500 with the
// tool's own opening words before the cause.
template <class F>
auto serviceCall(const char* failure, F body) -> decltype(body()) {
    try {
        return body();
    } catch (const rt::Cancelled&) {
        throw;
    } catch (const std::exception& error) {
        throw ToolError("LocalTool", 500, std::string(failure) + error.what());
    }
}

const char* mark(const platform::Reminder& reminder) { return reminder.isCompleted ? kCompletedMark : kOpenMark; }

std::string titleOf(const platform::Reminder& reminder) { return reminder.title.value_or("No Title"); }

bool hasList(const platform::Reminder& reminder) { return !reminder.calendar.identifier.empty(); }

AnyMap statusProperty() {
    AnyMap status = schemaProperty("string", "Filter by status (default: incomplete)");
    status.emplace("enum", AnyList{"incomplete", "completed"});
    return status;
}

const ToolRow<std::string (RemindersToolHandler::*)(const Arguments&)> kRemindersTools[] = {
    {"reminders_add", "Create a new reminder.", "创建新提醒事项。",
     objectSchema(
         AnyMap{{"title", schemaProperty("string", "The title of the reminder")},
                {"notes", schemaProperty("string", "Optional notes for the reminder")},
                {"listName", schemaProperty("string", "The name of the list to add to")},
                {"dueDate", schemaProperty("string", "Due date in ISO 8601 format")},
                {"priority",
                 schemaProperty("integer", "Priority (1-9, where 1 is highest, 5 is medium, 9 is lowest, 0 is none)")}},
         AnyList{"title"}),
     &RemindersToolHandler::remindersAdd},
    {"reminders_fetch", "Fetch a list of reminders.", "获取提醒事项列表。",
     objectSchema(AnyMap{{"listName", schemaProperty("string", "Filter by list name")},
                         {"status", statusProperty()},
                         {"limit", schemaProperty("integer", "Maximum number of reminders to return (default: 50)")},
                         {"dueAfter", schemaProperty("string", "Filter by due date after this time (ISO 8601)")},
                         {"dueBefore", schemaProperty("string", "Filter by due date before this time (ISO 8601)")}},
                  AnyList{}),
     &RemindersToolHandler::remindersFetch},
    {"reminders_find", "Search for reminders matching a query.", "搜索提醒事项。",
     objectSchema(AnyMap{{"query", schemaProperty("string", "Search keyword")},
                         {"limit", schemaProperty("integer", "Maximum number of results (default: 20)")}},
                  AnyList{"query"}),
     &RemindersToolHandler::remindersFind},
    {"reminders_get_lists", "Get names of all reminder lists.", "获取所有提醒事项列表名称。",
     objectSchema(AnyMap{}, AnyList{}), &RemindersToolHandler::remindersGetLists},
    {"reminders_open_app", "Open the Reminders application.", "打开提醒事项应用。", objectSchema(AnyMap{}, AnyList{}),
     &RemindersToolHandler::remindersOpenApp},
};

}  // namespace

std::optional<Instant> parseReminderDate(std::optional<std::string_view> text) { return parseDate(text); }

RemindersToolHandler::RemindersToolHandler(std::shared_ptr<EventKitService> service,
                                           std::shared_ptr<platform::ScriptHost> scripts)
    : service_(std::move(service)), scripts_(std::move(scripts)) {
    if (!service_) throw std::invalid_argument("RemindersToolHandler needs the EventKitService");
}

ToolResult RemindersToolHandler::run(const std::string& name, const Arguments& arguments, std::stop_token stop) {
    // The store's reading of its files gives up when the call is stopped.
    rt::StopScope scope(std::move(stop));
    return handleReminderTool(name, arguments);
}

std::vector<MCPTool> reminderToolDefinitions() { return toolDefinitions(kRemindersTools); }

std::string RemindersToolHandler::handleReminderTool(const std::string& name, const Arguments& arguments) {
    return (this->*toolNamed(kRemindersTools, name, kRemindersToolDomain, "reminders").handler)(arguments);
}

std::string RemindersToolHandler::remindersAdd(const Arguments& arguments) {
    auto title = textArgument(arguments, "title");
    if (!title) throw ToolError("LocalTool", 400, "Missing required parameter: title");
    auto notes = textArgument(arguments, "notes");
    auto listName = textArgument(arguments, "listName");
    std::int64_t priority = intArgument(arguments, "priority").value_or(0);
    // A number given as a double (5.0, 3.5, or a whole one too large for an
    // integer) is taken when it is a whole priority, refused otherwise.
    const auto number = intArgument(arguments, "priority") ? std::nullopt : doubleArgument(arguments, "priority");
    const bool wholeInside = number && std::trunc(*number) == *number && *number >= 0 && *number <= 9;
    if (wholeInside) priority = static_cast<std::int64_t>(*number);
    if (priority < 0 || priority > 9 || (number && !wholeInside)) {
        throw ToolError("LocalTool", 400,
                        "Invalid priority " + (number ? json::formatDouble(*number) : std::to_string(priority)) +
                            ". Use 0 (none) or 1 (highest) to 9 (lowest).");
    }
    auto dueText = textArgument(arguments, "dueDate");
    auto dueDate = dueText ? parseReminderDate(*dueText) : std::nullopt;
    // A due date given but unread would leave the reminder without one (an
    // empty text, as clients send for a field left blank, is none).
    if (dueText && !dueText->empty() && !dueDate)
        throw ToolError("LocalTool", 400,
                        "Invalid dueDate '" + platform::shownEscaped(*dueText) +
                            "'. Use ISO 8601, e.g. 2025-03-01T09:30:00Z or 2025-03-01.");
    std::string identifier = serviceCall("Failed to create reminder: ", [&] {
        return service_->createReminder(*title, dueDate, priority, notes, listName);
    });
    return "✅ Created reminder: " + *title + " (ID: " + identifier + ")";
}

std::string RemindersToolHandler::remindersFetch(const Arguments& arguments) {
    auto listName = textArgument(arguments, "listName");
    bool completed = textArgument(arguments, "status").value_or("incomplete") == "completed";
    auto limit = intArgument(arguments, "limit");
    auto afterText = textArgument(arguments, "dueAfter");
    auto beforeText = textArgument(arguments, "dueBefore");
    auto after = afterText ? parseReminderDate(*afterText) : std::nullopt;
    auto before = beforeText ? parseReminderDate(*beforeText) : std::nullopt;

    auto reminders = serviceCall("Failed to fetch reminders: ",
                                 [&] { return service_->fetchReminders(completed, listName, after, before, limit); });
    if (reminders.empty()) return "No reminders found.";
    std::string text = "✅ Found " + std::to_string(reminders.size()) + " reminders:\n";
    for (const auto& reminder : reminders) {
        text += mark(reminder);
        text += ' ';
        text += titleOf(reminder);
        std::vector<std::string> parts;
        if (hasList(reminder)) parts.push_back("List: " + reminder.calendar.title);
        if (auto due = reminder.dueDate()) parts.push_back("Due: " + formatLocalMinute(*due));
        if (reminder.priority > 0) parts.push_back("Priority: " + std::to_string(reminder.priority));
        for (std::size_t i = 0; i < parts.size(); ++i) {
            text += i == 0 ? " (" : ", ";
            text += parts[i];
        }
        if (!parts.empty()) text += ')';
        text += '\n';
        if (reminder.notes && !reminder.notes->empty()) text += "   Notes: " + *reminder.notes + "\n";
    }
    return text;
}

std::string RemindersToolHandler::remindersFind(const Arguments& arguments) {
    auto query = textArgument(arguments, "query");
    if (!query) throw ToolError("LocalTool", 400, "Missing required parameter: query");
    std::int64_t limit = intArgument(arguments, "limit").value_or(20);
    auto reminders =
        serviceCall("Failed to search reminders: ", [&] { return service_->searchReminders(*query, limit); });
    if (reminders.empty()) return "No reminders found matching '" + *query + "'.";
    std::string text = "✅ Found " + std::to_string(reminders.size()) + " matching reminders:\n";
    for (const auto& reminder : reminders) {
        text += mark(reminder);
        text += ' ';
        text += titleOf(reminder);
        if (hasList(reminder)) text += " [" + reminder.calendar.title + "]";
        text += '\n';
    }
    return text;
}

std::string RemindersToolHandler::remindersGetLists(const Arguments&) {
    auto lists = serviceCall("Failed to get reminder lists: ", [&] { return service_->fetchReminderLists(); });
    if (lists.empty()) return "No reminder lists found.";
    std::string text = "✅ Found " + std::to_string(lists.size()) + " reminder lists:\n";
    for (const auto& list : lists) text += "- " + list.title + "\n";
    return text;
}

std::string RemindersToolHandler::remindersOpenApp(const Arguments&) {
    if (!scripts_) throw ToolError("LocalTool", 500, "Failed to create AppleScript");
    platform::ScriptRun run = scripts_->run(kActivateRemindersScript);
    switch (run.outcome) {
        case platform::ScriptRun::Outcome::NotMade: throw ToolError("LocalTool", 500, "Failed to create AppleScript");
        case platform::ScriptRun::Outcome::Failed:
            throw ToolError("LocalTool", 500,
                            "AppleScript Error: " + run.error.value_or(platform::ScriptErrorInfo{}).description());
        case platform::ScriptRun::Outcome::Succeeded: break;
    }
    return "✅ Reminders app opened.";
}

}  // namespace app::tools
