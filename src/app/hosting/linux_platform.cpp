#include "app/hosting/linux_platform.hpp"

#include "app/platform/access_prompter.hpp"
#include "app/platform/city_directory.hpp"
#include "app/platform/contact_store.hpp"
#include "app/platform/defaults_store.hpp"
#include "app/platform/desktop_control.hpp"
#include "app/platform/diagnostic_sink.hpp"
#include "app/platform/environment.hpp"
#include "app/platform/media_players.hpp"
#include "app/platform/music_library.hpp"
#include "app/platform/music_module.hpp"
#include "app/platform/script_host.hpp"
#include "app/platform/ical_event_store.hpp"
#include "app/platform/store_database.hpp"
#include "app/platform/url_opener.hpp"

#include <memory>

namespace app::hosting {

platform::Platform makeLinuxPlatform() {
    platform::Platform p;
    p.environment = std::make_shared<platform::SystemEnvironment>();
    p.diagnostics = std::make_shared<platform::StderrDiagnosticSink>();
    p.defaults = std::make_shared<platform::FileDefaultsStore>(platform::defaultsFilePath(*p.environment),
                                                               p.diagnostics);
    p.urlOpener = std::make_shared<platform::SpawnUrlOpener>(p.diagnostics);

    const std::string database = platform::storeDatabasePath(*p.environment);
    p.accessPrompter = std::make_shared<platform::SqliteAccessPrompter>(platform::accessDecisionsPath(*p.environment),
                                                                        platform::grantAccess, database);
    p.scriptHost = std::make_shared<platform::TemplateScriptHost>(p.accessPrompter);
    p.eventStore = std::make_shared<platform::IcalEventStore>(
        platform::dataFolderPath(*p.environment, p.defaults.get(), "calendarsDirectory", "calendars"), p.accessPrompter,
        p.diagnostics, database, platform::calendarIndexPath(*p.environment));
    p.contactStore = std::make_shared<platform::VCardContactStore>(
        platform::contactsDirectoryPath(*p.environment, p.defaults.get()), p.accessPrompter, p.diagnostics);
    p.cityDirectory = std::make_shared<platform::GeonamesCityDirectory>();
    // Neither connects nor reads anything before the first music call.
    p.mediaPlayers = std::make_shared<platform::SessionMediaPlayers>();
    p.musicLibrary = std::make_shared<platform::FolderMusicLibrary>(
        [environment = p.environment] { return platform::musicDirectory(*environment); },
        std::make_shared<platform::ModuleAudioTagReader>());
    // Loads its X11 and AT-SPI module on first use, never here.
    auto desktopModule = std::make_shared<platform::DesktopModuleLoader>(p.diagnostics);
    p.accessibilityTrust = std::make_shared<platform::X11AccessibilityTrust>(desktopModule);
    p.desktopControl = std::make_shared<platform::X11DesktopControl>(desktopModule);
    return p;
}

}  // namespace app::hosting
