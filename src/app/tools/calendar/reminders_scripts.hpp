// The script reminders_open_app sends to Reminders, and what stands in for
// the Reminders application on this system.
#pragma once

#include "app/platform/event_store.hpp"
#include "app/platform/script_host.hpp"
#include "app/platform/url_opener.hpp"

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace app::tools {

inline constexpr std::string_view kRemindersApplication = "Reminders";
inline constexpr std::string_view kActivateRemindersTemplateId = "reminders.activate";
inline constexpr std::string_view kActivateRemindersScript = "tell application \"Reminders\" to activate";

// The Reminders application here: it counts how often it was brought to the
// front, and opens the default reminder list's folder (or, with no list, the
// calendars folder) through the opener; without a store and an opener it
// only counts. A folder it cannot open is a script failure, never a success.
class RemindersStandIn : public platform::ScriptStandIn {
public:
    RemindersStandIn(std::shared_ptr<platform::EventStore> store = nullptr,
                     std::shared_ptr<platform::UrlOpener> opener = nullptr);
    std::optional<std::string> perform(const platform::ScriptCall& call) override;
    int activations() const { return activations_.load(); }

private:
    std::shared_ptr<platform::EventStore> store_;
    std::shared_ptr<platform::UrlOpener> opener_;
    std::atomic<int> activations_{0};
};

// Teaches the host the activate script and gives it the stand-in. False (and
// nothing changed) when the host knows the script already.
bool registerRemindersScripts(platform::TemplateScriptHost& host, std::shared_ptr<RemindersStandIn> standIn);

}  // namespace app::tools
