#include "app/tools/calendar/calendar_manager.hpp"

#include "app/platform/diagnostic_sink.hpp"
#include "app/tools/calendar/calendar_dates.hpp"
#include "app/tools/registry/process_wide.hpp"
#include "json/json.hpp"
#include "json/utf8.hpp"

#include <stdexcept>

namespace app::tools {

// CalendarManager

CalendarManager::CalendarManager(std::shared_ptr<platform::EventStore> store,
                                 std::shared_ptr<platform::DiagnosticSink> diagnostics)
    : store_(std::move(store)), diagnostics_(std::move(diagnostics)) {
    if (!store_) throw std::invalid_argument("CalendarManager needs an event store");
    if (!diagnostics_) diagnostics_ = std::make_shared<platform::StderrDiagnosticSink>();
}

std::shared_ptr<CalendarManager> CalendarManager::shared(std::shared_ptr<platform::EventStore> store,
                                                         std::shared_ptr<platform::DiagnosticSink> diagnostics) {
    return processWide<CalendarManager>(
        [&] { return std::make_shared<CalendarManager>(std::move(store), std::move(diagnostics)); });
}

bool CalendarManager::ensureAccess() {
    switch (store_->authorizationStatus(platform::EntityType::Event)) {
        case platform::AuthorizationStatus::NotDetermined: return requestFullAccess();
        case platform::AuthorizationStatus::FullAccess: return true;
        default: return false;
    }
}

bool CalendarManager::requestFullAccess() {
    try {
        return store_->requestFullAccess(platform::EntityType::Event);
    } catch (const std::exception& error) {
        // A failed request counts as no access; say why where someone can see it.
        diagnostics_->write(std::string("Calendar access request failed: ") + error.what());
        return false;
    }
}

// CalendarEvent

json::Value encodeCalendarEvent(const CalendarEvent& event) {
    json::Object object;
    object.appendUnchecked("id", event.id);
    object.appendUnchecked("title", event.title);
    if (event.location) object.appendUnchecked("location", *event.location);
    if (event.notes) object.appendUnchecked("notes", *event.notes);
    if (event.startDate) object.appendUnchecked("startDate", *event.startDate);
    if (event.endDate) object.appendUnchecked("endDate", *event.endDate);
    object.appendUnchecked("calendarName", event.calendarName);
    object.appendUnchecked("isAllDay", event.isAllDay);
    if (event.url) object.appendUnchecked("url", *event.url);
    return object;
}

namespace {

json::CodingPath pathTo(std::string_view key) { return {json::PathElement::member(std::string(key))}; }

std::string requiredText(const json::Object& object, std::string_view key) {
    const json::Value* value = object.find(key);
    if (!value) throw json::DecodingError::keyNotFound(key);
    if (value->isNull()) throw json::DecodingError::valueNotFound("String", pathTo(key));
    if (!value->isString()) throw json::DecodingError::typeMismatch("String", pathTo(key));
    return value->asString();
}

std::optional<std::string> optionalText(const json::Object& object, std::string_view key) {
    const json::Value* value = object.find(key);
    if (!value || value->isNull()) return std::nullopt;
    if (!value->isString()) throw json::DecodingError::typeMismatch("String", pathTo(key));
    return value->asString();
}

}  // namespace

CalendarEvent decodeCalendarEvent(const json::Value& value) {
    if (!value.isObject()) throw json::DecodingError::typeMismatch("Dictionary<String, Any>");
    const json::Object& object = value.asObject();
    CalendarEvent event;
    event.id = requiredText(object, "id");
    event.title = requiredText(object, "title");
    event.location = optionalText(object, "location");
    event.notes = optionalText(object, "notes");
    event.startDate = optionalText(object, "startDate");
    event.endDate = optionalText(object, "endDate");
    event.calendarName = requiredText(object, "calendarName");
    const json::Value* allDay = object.find("isAllDay");
    if (!allDay) throw json::DecodingError::keyNotFound("isAllDay");
    if (allDay->isNull()) throw json::DecodingError::valueNotFound("Bool", pathTo("isAllDay"));
    if (!allDay->isBool()) throw json::DecodingError::typeMismatch("Bool", pathTo("isAllDay"));
    event.isAllDay = allDay->asBool();
    event.url = optionalText(object, "url");
    return event;
}

CalendarEvent calendarEvent(const platform::Event& event) {
    auto text = [](const std::string& s) { return json::repairUtf8(s); };
    auto optional = [&](const std::optional<std::string>& s) -> std::optional<std::string> {
        if (!s) return std::nullopt;
        return text(*s);
    };
    return CalendarEvent{text(event.identifier),
                         text(event.title),
                         optional(event.location),
                         optional(event.notes),
                         formatInternetDateTime(event.startDate),
                         formatInternetDateTime(event.endDate),
                         text(event.calendar.title),
                         event.isAllDay,
                         optional(event.url)};
}

std::string eventsToJSON(const std::vector<platform::Event>& events) {
    json::Array array;
    array.reserve(events.size());
    for (const auto& event : events) array.push_back(encodeCalendarEvent(calendarEvent(event)));
    try {
        return json::write(array, json::WriteOptions{.sortedKeys = false, .escapeSlashes = true, .pretty = true});
    } catch (const std::exception&) {
        return "[]";
    }
}

}  // namespace app::tools
