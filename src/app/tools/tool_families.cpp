#include "app/tools/tool_families.hpp"

#include "app/platform/environment.hpp"
#include "app/platform/store_database.hpp"
#include "app/tools/calendar/calendar_families.hpp"
#include "app/tools/contacts/contacts_tools.hpp"
#include "app/tools/desktop/macos_control_tools.hpp"
#include "app/tools/mail/mail_tools.hpp"
#include "app/tools/maps/maps_tools.hpp"
#include "app/tools/messages/kde_connect_sender.hpp"
#include "app/tools/messages/messages_tools.hpp"
#include "app/tools/music/music_stand_in.hpp"
#include "app/tools/music/music_tools.hpp"
#include "app/tools/notes/markdown_notes_store.hpp"
#include "app/tools/notes/notes_tools.hpp"

namespace app::tools {

namespace {

// Contacts over the shared ContactsManager (none without a contact store);
// messages and notes need an environment and a script host, and teach a
// template host their scripts with the stand-ins on the program's store.
void addContactsMessagesAndNotesFamilies(std::vector<std::unique_ptr<ToolFamily>>& families,
                                         const platform::Platform& platform) {
    if (platform.contactStore) {
        families.push_back(std::make_unique<ContactsToolFamily>(
            ContactsManager::shared(platform.contactStore, platform.diagnostics)));
    }
    if (!platform.environment || !platform.scriptHost) return;
    if (auto* host = dynamic_cast<platform::TemplateScriptHost*>(platform.scriptHost.get())) {
        std::string store = platform::storeDatabasePath(*platform.environment);
        registerMessagesScripts(*host, std::make_shared<KdeConnectSender>());
        registerNotesScripts(*host, std::make_shared<MarkdownNotesStore>(
                                        platform::dataFolderPath(*platform.environment, platform.defaults.get(),
                                                                 "notesDirectory", "notes"),
                                        store));
    }
    families.push_back(std::make_unique<MessagesToolFamily>(platform.environment, platform.scriptHost));
    families.push_back(std::make_unique<NotesToolFamily>(platform.environment, platform.scriptHost,
                                                         platform.diagnostics));
}

// Music over the script host; a template host gets the stand-in on the
// platform's media players and library.
void addMusicFamily(std::vector<std::unique_ptr<ToolFamily>>& families, const platform::Platform& platform) {
    if (!platform.scriptHost) return;
    auto* host = dynamic_cast<platform::TemplateScriptHost*>(platform.scriptHost.get());
    if (host && platform.mediaPlayers && platform.musicLibrary)
        registerMusicScripts(*host, std::make_shared<MusicStandIn>(platform.mediaPlayers, platform.musicLibrary));
    families.push_back(std::make_unique<MusicToolFamily>(platform.scriptHost));
}

}  // namespace

std::vector<std::unique_ptr<ToolFamily>> makeToolFamilies(const platform::Platform& platform) {
    std::vector<std::unique_ptr<ToolFamily>> families;
    addCalendarAndRemindersFamilies(families, platform);
    families.push_back(std::make_unique<MailToolFamily>(platform.urlOpener));
    addContactsMessagesAndNotesFamilies(families, platform);
    if (auto maps = makeMapsToolFamily(platform)) families.push_back(std::move(maps));
    addMusicFamily(families, platform);
    if (platform.accessibilityTrust && platform.desktopControl) {
        families.push_back(std::make_unique<MacOSControlToolFamily>(platform.accessibilityTrust, platform.desktopControl));
    }
    return families;
}

}  // namespace app::tools
