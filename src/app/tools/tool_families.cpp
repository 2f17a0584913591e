#include "app/tools/tool_families.hpp"

#include "app/tools/calendar_families.hpp"
#include "app/tools/contacts_messages_notes_families.hpp"
#include "app/tools/mail_tools.hpp"

namespace app::tools {

std::vector<std::unique_ptr<ToolFamily>> makeToolFamilies(const platform::Platform& platform) {
    std::vector<std::unique_ptr<ToolFamily>> families;
    addCalendarAndRemindersFamilies(families, platform);
    families.push_back(std::make_unique<MailToolFamily>(platform.urlOpener));
    addContactsMessagesAndNotesFamilies(families, platform);
    return families;
}

}  // namespace app::tools
