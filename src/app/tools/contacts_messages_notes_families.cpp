#include "app/tools/contacts_messages_notes_families.hpp"

#include "app/platform/environment.hpp"
#include "app/platform/store_database.hpp"
#include "app/tools/contacts_tools.hpp"
#include "app/tools/messages_stand_in.hpp"
#include "app/tools/messages_tools.hpp"
#include "app/tools/notes_stand_in.hpp"
#include "app/tools/notes_tools.hpp"

namespace app::tools {

void addContactsMessagesAndNotesFamilies(std::vector<std::unique_ptr<ToolFamily>>& families,
                                         const platform::Platform& platform) {
    if (platform.contactStore) {
        families.push_back(std::make_unique<ContactsToolFamily>(
            ContactsManager::shared(platform.contactStore, platform.diagnostics)));
    }
    if (!platform.environment || !platform.scriptHost) return;
    if (auto* host = dynamic_cast<platform::TemplateScriptHost*>(platform.scriptHost.get())) {
        std::string store = platform::storeDatabasePath(*platform.environment);
        registerMessagesScripts(*host, std::make_shared<MessagesOutboxStandIn>(store));
        registerNotesScripts(*host, std::make_shared<NotesStandIn>(store));
    }
    families.push_back(std::make_unique<MessagesToolFamily>(platform.environment, platform.scriptHost));
    families.push_back(std::make_unique<NotesToolFamily>(platform.environment, platform.scriptHost,
                                                         platform.diagnostics));
}

}  // namespace app::tools
