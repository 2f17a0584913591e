#include "app/platform/linux_platform.hpp"

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

namespace app::platform {

LinuxPlatform makeLinuxPlatform() {
    LinuxPlatform p;
    p.environment = std::make_shared<SystemEnvironment>();
    p.diagnostics = std::make_shared<StderrDiagnosticSink>();
    p.defaults = std::make_shared<FileDefaultsStore>(defaultsFilePath(*p.environment), p.diagnostics);
    p.urlOpener = std::make_shared<SpawnUrlOpener>(p.diagnostics);

    const std::string database = storeDatabasePath(*p.environment);
    p.accessPrompter = std::make_shared<SqliteAccessPrompter>(accessDecisionsPath(*p.environment), grantAccess, database);
    p.templateHost = std::make_shared<TemplateScriptHost>(p.accessPrompter);
    p.scriptHost = p.templateHost;
    p.eventStore = std::make_shared<IcalEventStore>(
        dataFolderPath(*p.environment, p.defaults.get(), "calendarsDirectory", "calendars"), p.accessPrompter,
        p.diagnostics, database, calendarIndexPath(*p.environment));
    p.contactStore = std::make_shared<VCardContactStore>(
        contactsDirectoryPath(*p.environment, p.defaults.get()), p.accessPrompter, p.diagnostics);
    p.cityDirectory = std::make_shared<GeonamesCityDirectory>();
    // Neither connects nor reads anything before the first music call.
    p.mediaPlayers = std::make_shared<SessionMediaPlayers>();
    p.musicLibrary = std::make_shared<FolderMusicLibrary>(
        [environment = p.environment] { return musicDirectory(*environment); },
        std::make_shared<ModuleAudioTagReader>());
    // Loads its X11 and AT-SPI module on first use, never here.
    auto desktopModule = std::make_shared<DesktopModuleLoader>(p.diagnostics);
    p.accessibilityTrust = std::make_shared<X11AccessibilityTrust>(desktopModule);
    p.desktopControl = std::make_shared<X11DesktopControl>(desktopModule);
    return p;
}

}  // namespace app::platform
