#include "app/hosting/tool_families.hpp"

#include "app/platform/environment.hpp"
#include "app/platform/script_host.hpp"
#include "app/platform/store_database.hpp"
#include "app/tools/calendar/calendar_scripts.hpp"
#include "app/tools/calendar/calendar_tools.hpp"
#include "app/tools/calendar/reminders_scripts.hpp"
#include "app/tools/calendar/reminders_tools.hpp"
#include "app/tools/contacts/contacts_tools.hpp"
#include "app/tools/desktop/macos_control_tools.hpp"
#include "app/tools/mail/mail_tools.hpp"
#include "app/tools/maps/maps_stand_in.hpp"
#include "app/tools/maps/maps_tools.hpp"
#include "app/tools/maps/offline_routes.hpp"
#include "app/tools/maps/place_search.hpp"
#include "app/tools/messages/kde_connect_sender.hpp"
#include "app/tools/messages/messages_tools.hpp"
#include "app/tools/music/music_stand_in.hpp"
#include "app/tools/music/music_tools.hpp"
#include "app/tools/notes/markdown_notes_store.hpp"
#include "app/tools/notes/notes_tools.hpp"
#include "app/vision/vision_tools.hpp"

#include <stdexcept>
#include <string>

namespace app::hosting {

namespace {

using platform::LinuxPlatform;
using namespace app::tools;

Clock environmentClock(const LinuxPlatform& p) {
    return [environment = p.environment] {
        return std::chrono::time_point_cast<std::chrono::microseconds>(environment->now());
    };
}

// Calendar and reminders share the store through the process-wide instances:
// the window's permission panel reaches the same service as the tools.
std::unique_ptr<ToolFamily> makeCalendar(const LinuxPlatform& p) {
    registerCalendarScripts(*p.templateHost, std::make_shared<CalendarStandIn>(p.eventStore, p.urlOpener));
    return std::make_unique<CalendarToolHandler>(CalendarManager::shared(p.eventStore, p.diagnostics), p.scriptHost,
                                                 environmentClock(p));
}

std::unique_ptr<ToolFamily> makeReminders(const LinuxPlatform& p) {
    registerRemindersScripts(*p.templateHost, std::make_shared<RemindersStandIn>(p.eventStore, p.urlOpener));
    return std::make_unique<RemindersToolHandler>(
        EventKitService::shared(p.eventStore, p.diagnostics, environmentClock(p)), p.scriptHost);
}

std::unique_ptr<ToolFamily> makeContacts(const LinuxPlatform& p) {
    return std::make_unique<ContactsToolFamily>(ContactsManager::shared(p.contactStore, p.diagnostics));
}

std::unique_ptr<ToolFamily> makeMessages(const LinuxPlatform& p) {
    registerMessagesScripts(*p.templateHost, std::make_shared<KdeConnectSender>());
    return std::make_unique<MessagesToolFamily>(p.environment, p.scriptHost);
}

std::unique_ptr<ToolFamily> makeNotes(const LinuxPlatform& p) {
    registerNotesScripts(*p.templateHost,
                         std::make_shared<MarkdownNotesStore>(platform::dataFolderPath(*p.environment, p.defaults.get(),
                                                                                 "notesDirectory", "notes"),
                                                        platform::storeDatabasePath(*p.environment)));
    return std::make_unique<NotesToolFamily>(p.environment, p.scriptHost, p.diagnostics);
}

std::unique_ptr<ToolFamily> makeMail(const LinuxPlatform& p) { return std::make_unique<MailToolFamily>(p.urlOpener); }

std::unique_ptr<ToolFamily> makeMusic(const LinuxPlatform& p) {
    registerMusicScripts(*p.templateHost, std::make_shared<MusicStandIn>(p.mediaPlayers, p.musicLibrary));
    return std::make_unique<MusicToolFamily>(p.scriptHost);
}

std::unique_ptr<ToolFamily> makeMaps(const LinuxPlatform& p) {
    registerMapsScripts(*p.templateHost, std::make_shared<MapsStandIn>(p.urlOpener));
    return std::make_unique<MapsToolFamily>(std::make_shared<MapsService>(
        std::make_shared<CitySearch>(p.cityDirectory), std::make_shared<EstimatedDirections>(),
        std::make_shared<EnglishMapsFormatters>(), p.scriptHost));
}

std::unique_ptr<ToolFamily> makeDesktop(const LinuxPlatform& p) {
    return std::make_unique<MacOSControlToolFamily>(p.accessibilityTrust, p.desktopControl);
}

// The analyses load from their module on the first call that needs one.
std::unique_ptr<ToolFamily> makeVision(const LinuxPlatform& p) {
    return std::make_unique<vision::VisionToolFamily>(p.environment, vision::EngineSource{}, p.diagnostics);
}

}  // namespace

const std::array<FamilyRow, kToolSwitchCount> kFamilyTable = {{
    {ToolSwitch::Calendar, makeCalendar},
    {ToolSwitch::Reminders, makeReminders},
    {ToolSwitch::Contacts, makeContacts},
    {ToolSwitch::Messages, makeMessages},
    {ToolSwitch::Notes, makeNotes},
    {ToolSwitch::Mail, makeMail},
    {ToolSwitch::Music, makeMusic},
    {ToolSwitch::Maps, makeMaps},
    {ToolSwitch::MacOS, makeDesktop},
    {ToolSwitch::Vision, makeVision},
}};

std::vector<std::unique_ptr<ToolFamily>> makeToolFamilies(const LinuxPlatform& platform) {
    std::vector<std::unique_ptr<ToolFamily>> families;
    for (const FamilyRow& row : kFamilyTable) {
        auto family = row.make(platform);
        if (!family || family->toolSwitch() != row.toolSwitch)
            throw std::logic_error("the family of " + std::string(switchKey(row.toolSwitch)) + " fills another slot");
        families.push_back(std::move(family));
    }
    return families;
}

}  // namespace app::hosting
