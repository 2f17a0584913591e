#include "app/tools/calendar/calendar_scripts.hpp"

#include "app/platform/apple_script.hpp"
#include "app/platform/platform_error.hpp"
#include "app/platform/script_template.hpp"
#include "runtime/runtime.hpp"

#include <stdexcept>

namespace app::tools {

namespace {

constexpr std::string_view kBeforeCalendarName =
    "  tell application \"Calendar\"\n"
    "      activate\n"
    "      set found to false\n"
    "      repeat with cal in calendars\n"
    "          if name of cal is \"";
constexpr std::string_view kBeforeEventId =
    "\" then\n"
    "              try\n"
    "                  set evt to (first event of cal whose uid is \"";
constexpr std::string_view kBeforeDate =
    "\")\n"
    "                  show evt\n"
    "                  set found to true\n"
    "                  exit repeat\n"
    "              end try\n"
    "          end if\n"
    "      end repeat\n"
    "      if not found then\n"
    "          switch view to day view\n"
    "          view calendar date (date \"";
constexpr std::string_view kAfterDate =
    "\")\n"
    "      end if\n"
    "  end tell";

std::string assemble(std::string_view first, std::string_view second, std::string_view third) {
    std::string source;
    source.reserve(kBeforeCalendarName.size() + kBeforeEventId.size() + kBeforeDate.size() + kAfterDate.size() +
                   first.size() + second.size() + third.size());
    source.append(kBeforeCalendarName)
        .append(first)
        .append(kBeforeEventId)
        .append(second)
        .append(kBeforeDate)
        .append(third)
        .append(kAfterDate);
    return source;
}

}  // namespace

std::string openEventScript(std::string_view calendarTitle, std::string_view eventIdentifier,
                            std::string_view dateText) {
    return assemble(platform::appleScriptEscaped(calendarTitle), platform::appleScriptEscaped(eventIdentifier),
                    platform::appleScriptEscaped(dateText));
}

CalendarStandIn::CalendarStandIn(std::shared_ptr<platform::EventStore> store,
                                 std::shared_ptr<platform::UrlOpener> opener)
    : store_(std::move(store)), opener_(std::move(opener)) {
    if (!store_) throw std::invalid_argument("CalendarStandIn needs an event store");
}

std::optional<std::string> CalendarStandIn::perform(const platform::ScriptCall& call) {
    if (call.templateId != kOpenEventTemplateId)
        throw platform::ScriptFailure("Calendar got an event it does not understand.");
    const std::string& calendarName = call.bindings.text("calendarName");
    const std::string& eventId = call.bindings.text("eventId");

    std::optional<std::string> shown;
    for (const auto& calendar : store_->calendars(platform::EntityType::Event)) {
        if (calendar.title != calendarName) continue;
        // The script's "try" swallows a failed lookup in one calendar.
        try {
            auto event = store_->event(eventId);
            if (event && event->calendar.identifier == calendar.identifier) {
                shown = event->identifier;
                break;
            }
        } catch (const rt::Cancelled&) {
            throw;
        } catch (const std::exception&) {
        }
    }
    // Showing the day instead opens nothing here: not a success.
    const std::string failed = "Calendar cannot show the event: ";
    if (!shown) throw platform::ScriptFailure(failed + "no calendar \"" + calendarName + "\" holds " + eventId + ".");
    // A sync tool may have rewritten or removed the file since the lookup.
    auto file = store_->location(*shown, platform::EntityType::Event);
    if (!file) throw platform::ScriptFailure(failed + "its file is gone.");
    if (!opener_) throw platform::ScriptFailure(failed + "there is no program to open " + *file + ".");
    try {
        opener_->open(*file);
    } catch (const platform::PlatformError& error) {
        throw platform::ScriptFailure(failed + error.cause());
    }
    return std::nullopt;
}

bool registerCalendarScripts(platform::TemplateScriptHost& host, std::shared_ptr<platform::ScriptStandIn> standIn) {
    std::string sample = openEventScript("calendar", "event", "date");
    if (host.recognise(sample)) return false;
    host.registerTemplate(
        std::string(kOpenEventTemplateId), std::string(kCalendarApplication),
        assemble(platform::scriptSlot("calendarName"), platform::scriptSlot("eventId"), platform::scriptSlot("date")));
    host.registerStandIn(std::string(kCalendarApplication), std::move(standIn));
    return true;
}

}  // namespace app::tools
