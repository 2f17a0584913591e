// The script "open_event" sends to Calendar, and what stands in for the
// Calendar application on this system.
#pragma once

#include "app/platform/event_store.hpp"
#include "app/platform/script_host.hpp"
#include "app/platform/url_opener.hpp"

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace app::tools {

inline constexpr std::string_view kCalendarApplication = "Calendar";
inline constexpr std::string_view kOpenEventTemplateId = "calendar.open_event";

// The script that shows an event in Calendar, or the day of its start when
// no calendar of that title yields it. Each value is quoted for its literal.
std::string openEventScript(std::string_view calendarTitle, std::string_view eventIdentifier,
                            std::string_view dateText);

// The Calendar application here: it looks the event up in the event store
// and hands the event's file to the user's calendar program through the
// opener. A script failure, saying why, when the named calendar does not
// hold the event, its file is gone or there is no opener.
class CalendarStandIn : public platform::ScriptStandIn {
public:
    explicit CalendarStandIn(std::shared_ptr<platform::EventStore> store,
                             std::shared_ptr<platform::UrlOpener> opener = nullptr);

    std::optional<std::string> perform(const platform::ScriptCall& call) override;

private:
    std::shared_ptr<platform::EventStore> store_;
    std::shared_ptr<platform::UrlOpener> opener_;
};

// Teaches the host the open_event script and gives it the stand-in. False
// (and nothing changed) when the host knows the script already.
bool registerCalendarScripts(platform::TemplateScriptHost& host, std::shared_ptr<platform::ScriptStandIn> standIn);

}  // namespace app::tools
