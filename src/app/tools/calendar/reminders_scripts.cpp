#include "app/tools/calendar/reminders_scripts.hpp"

namespace app::tools {

std::optional<std::string> RemindersStandIn::perform(const platform::ScriptCall& call) {
    if (call.templateId != kActivateRemindersTemplateId)
        throw platform::ScriptFailure("Reminders got an event it does not understand.");
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
