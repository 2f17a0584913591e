#include "app/tools/calendar/calendar_tools.hpp"

#include "app/platform/unicode_text.hpp"
#include "app/tools/calendar/calendar_scripts.hpp"
#include "app/tools/calendar/calendar_text.hpp"
#include "app/tools/registry/tool_error.hpp"
#include "app/tools/registry/tool_row.hpp"
#include "runtime/runtime.hpp"

#include <algorithm>
#include <stdexcept>

namespace app::tools {

namespace {

const char* const kLimitDescription = "Maximum number of events to return (default: 10)";
const char* const kFromDescription = "Start date (ISO format, default: today)";

// A count to keep; a negative one keeps nothing.
std::size_t keepCount(std::int64_t limit) { return limit < 0 ? 0 : static_cast<std::size_t>(limit); }

ToolError calendarError(int code, std::string message) {
    return ToolError(kCalendarToolDomain, code, std::move(message));
}

const ToolRow<std::string (CalendarToolHandler::*)(const Arguments&)> kCalendarTools[] = {
    {"get_events", "Get calendar events within a specified date range.", "获取指定日期范围内的日历事件。",
     objectSchema(AnyMap{{"limit", schemaProperty("integer", kLimitDescription)},
                         {"fromDate", schemaProperty("string", kFromDescription)},
                         {"toDate", schemaProperty("string", "End date (ISO format, default: 7 days from now)")}},
                  AnyList{}),
     &CalendarToolHandler::getEvents},
    {"search_events", "Search for calendar events matching keywords.", "搜索匹配关键词的日历事件。",
     objectSchema(AnyMap{{"searchText", schemaProperty("string", "The text to search for")},
                         {"limit", schemaProperty("integer", kLimitDescription)},
                         {"fromDate", schemaProperty("string", kFromDescription)},
                         {"toDate", schemaProperty("string", "End date (ISO format, default: 30 days from now)")}},
                  AnyList{"searchText"}),
     &CalendarToolHandler::searchEvents},
    {"create_event", "Create a new calendar event.", "创建新的日历事件。",
     objectSchema(
         AnyMap{{"title", schemaProperty("string", "Event title")},
                {"startDate", schemaProperty("string", "Start time (ISO format, e.g., 2024-01-15T09:00:00Z)")},
                {"endDate", schemaProperty("string", "End time (ISO format, e.g., 2024-01-15T10:00:00Z)")},
                {"location", schemaProperty("string", "Location (optional)")},
                {"notes", schemaProperty("string", "Notes (optional)")},
                {"isAllDay", schemaProperty("boolean", "Whether it's an all-day event (default: false)")},
                {"calendarName", schemaProperty("string", "Calendar name (optional, defaults to primary calendar)")}},
         AnyList{"title", "startDate", "endDate"}),
     &CalendarToolHandler::createEvent},
    {"open_event", "Open a specific event in the Calendar app.", "在日历应用中打开特定事件。",
     objectSchema(AnyMap{{"eventId", schemaProperty("string", "The unique identifier of the event")}},
                  AnyList{"eventId"}),
     &CalendarToolHandler::openEvent},
};

}  // namespace

std::vector<MCPTool> calendarToolDefinitions() { return toolDefinitions(kCalendarTools); }

CalendarToolHandler::CalendarToolHandler(std::shared_ptr<CalendarManager> manager,
                                         std::shared_ptr<platform::ScriptHost> scripts, Clock clock)
    : manager_(std::move(manager)), scripts_(std::move(scripts)), clock_(std::move(clock)) {
    if (!manager_) throw std::invalid_argument("CalendarToolHandler needs a calendar manager");
    if (!clock_) clock_ = systemNow;
}

ToolResult CalendarToolHandler::run(const std::string& name, const Arguments& arguments, std::stop_token stop) {
    // The store's reading of its files gives up when the call is stopped.
    rt::StopScope scope(std::move(stop));
    return handleCalendarTool(name, arguments);
}

std::string CalendarToolHandler::handleCalendarTool(const std::string& name, const Arguments& arguments) {
    try {
        if (!manager_->ensureAccess())
            throw calendarError(403, "Calendar access denied. Please grant access in System Settings.");
        return (this->*toolNamed(kCalendarTools, name, kCalendarToolDomain, "calendar").handler)(arguments);
    } catch (const ToolError&) {
        throw;
    } catch (const rt::Cancelled&) {
        throw;
    } catch (const std::exception& error) {
        // The store's own failure (an unreadable file, a refused save).
        throw ToolError("EventStore", 500, error.what());
    }
}

std::string CalendarToolHandler::listEvents(const Arguments& arguments, int defaultDays,
                                            std::optional<std::string> query) {
    std::size_t limit = keepCount(intArgument(arguments, "limit").value_or(10));
    Instant now = clock_();
    // The default end counts from now, not from the start given.
    Instant defaultEnd = addCalendarDays(now, defaultDays);
    auto fromText = textArgument(arguments, "fromDate");
    auto toText = textArgument(arguments, "toDate");
    Instant start = fromText ? parseDate(*fromText).value_or(now) : now;
    Instant end = toText ? parseDate(*toText).value_or(defaultEnd) : defaultEnd;

    std::vector<platform::Event> events = manager_->store().events(start, end);
    if (query) {
        std::string needle = platform::lowercased(*query);
        std::erase_if(events,
                      [&](const platform::Event& event) { return !lowercasedContains(event.title, needle); });
    }
    auto byStart = [](const platform::Event& a, const platform::Event& b) { return a.startDate < b.startDate; };
    // The store's order is by start already; moving a year of events again costs more than the call.
    if (!std::is_sorted(events.begin(), events.end(), byStart)) std::stable_sort(events.begin(), events.end(), byStart);
    if (events.size() > limit) events.resize(limit);
    return eventsToJSON(events);
}

std::string CalendarToolHandler::getEvents(const Arguments& arguments) {
    return listEvents(arguments, 7, std::nullopt);
}

std::string CalendarToolHandler::searchEvents(const Arguments& arguments) {
    auto searchText = textArgument(arguments, "searchText");
    if (!searchText) return "Error: Missing searchText";
    return listEvents(arguments, 30, std::move(searchText));
}

std::string CalendarToolHandler::createEvent(const Arguments& arguments) {
    auto title = textArgument(arguments, "title");
    if (!title || platform::trimmingBlanks(*title).empty()) throw calendarError(400, "Title is required");
    auto startText = textArgument(arguments, "startDate");
    auto endText = textArgument(arguments, "endDate");
    if (!startText || !endText) throw calendarError(400, "Invalid date format. Use ISO8601.");
    auto start = parseDate(*startText);
    auto end = parseDate(*endText);
    if (!start || !end) throw calendarError(400, "Invalid date format. Use ISO8601.");
    if (!(*start < *end)) throw calendarError(400, "End date must be after start date");

    platform::NewEvent event;
    event.title = *title;
    event.startDate = *start;
    event.endDate = *end;
    event.location = textArgument(arguments, "location");
    event.notes = textArgument(arguments, "notes");
    event.isAllDay = boolArgument(arguments, "isAllDay").value_or(false);
    // A name that matches no calendar falls back to the default one, silently.
    if (auto calendarName = textArgument(arguments, "calendarName")) {
        for (const auto& calendar : manager_->store().calendars(platform::EntityType::Event)) {
            if (calendar.title == *calendarName) {
                event.calendarIdentifier = calendar.identifier;
                break;
            }
        }
    }
    platform::Event saved = manager_->store().saveEvent(event);
    return "✅ Event created: " + *title + " (ID: " + saved.identifier + ")";
}

std::string CalendarToolHandler::openEvent(const Arguments& arguments) {
    auto eventId = textArgument(arguments, "eventId");
    if (!eventId) throw calendarError(400, "Missing eventId");
    auto event = manager_->store().event(*eventId);
    if (!event) return "❌ Event not found";
    std::string dateText = formatFullDateMediumTime(event->startDate);
    return runAppleScript(openEventScript(event->calendar.title, event->identifier, dateText));
}

std::string CalendarToolHandler::runAppleScript(std::string_view source) {
    const std::string failed = "❌ Failed to open event: ";
    const std::string unknown = "Unknown AppleScript error";
    if (!scripts_) return failed + unknown;
    platform::ScriptRun run = scripts_->run(source);
    switch (run.outcome) {
        case platform::ScriptRun::Outcome::NotMade: return failed + unknown;
        case platform::ScriptRun::Outcome::Succeeded: return "✅ Event opened in Calendar";
        case platform::ScriptRun::Outcome::Failed: break;
    }
    if (run.error && run.error->message) return failed + *run.error->message;
    return failed + unknown;
}

}  // namespace app::tools
