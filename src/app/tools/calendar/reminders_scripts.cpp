#include "app/tools/calendar/reminders_scripts.hpp"

#include "app/platform/platform_error.hpp"

namespace app::tools {

RemindersStandIn::RemindersStandIn(std::shared_ptr<platform::EventStore> store,
                                   std::shared_ptr<platform::UrlOpener> opener)
    : store_(std::move(store)), opener_(std::move(opener)) {}

std::optional<std::string> RemindersStandIn::perform(const platform::ScriptCall& call) {
    if (call.templateId != kActivateRemindersTemplateId)
        throw platform::ScriptFailure("Reminders got an event it does not understand.");
    // Without a store and an opener this is the test double that only counts.
    if (store_ || opener_) {
        auto folder = store_ ? store_->location(std::nullopt, platform::EntityType::Reminder) : std::nullopt;
        if (!folder) throw platform::ScriptFailure("Reminders cannot open the list: the reminders are kept in no folder.");
        if (!opener_) throw platform::ScriptFailure("Reminders cannot open the list: there is no program to open " + *folder + ".");
        try {
            opener_->open(*folder);
        } catch (const platform::PlatformError& error) {
            throw platform::ScriptFailure("Reminders cannot open the list: " + error.cause());
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
