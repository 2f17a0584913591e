#include "app/tools/calendar/reminders_scripts.hpp"

#include "app/platform/platform_error.hpp"

namespace app::tools {

RemindersStandIn::RemindersStandIn(std::shared_ptr<platform::EventStore> store,
                                   std::shared_ptr<platform::UrlOpener> opener)
    : store_(std::move(store)), opener_(std::move(opener)) {}

std::optional<std::string> RemindersStandIn::perform(const platform::ScriptCall& call) {
    if (call.templateId != kActivateRemindersTemplateId)
        throw platform::ScriptFailure("Reminders got an event it does not understand.");
    if (store_ && opener_) {
        if (auto folder = store_->location(std::nullopt, platform::EntityType::Reminder)) {
            try {
                opener_->open(*folder);
            } catch (const platform::PlatformError& error) {
                throw platform::ScriptFailure("Reminders cannot open the list: " + error.cause());
            }
        }
    }
    ++activations_;
    return std::nullopt;
}

bool registerRemindersScripts(platform::TemplateScriptHost& host, std::shared_ptr<RemindersStandIn> standIn) {
    if (host.recognise(kActivateRemindersScript)) return false;
    host.registerTemplate(std::string(kActivateRemindersTemplateId), std::string(kRemindersApplication),
                          kActivateRemindersScript);
    host.registerStandIn(std::string(kRemindersApplication), std::move(standIn));
    return true;
}

}  // namespace app::tools
