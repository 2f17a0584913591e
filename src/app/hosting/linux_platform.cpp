#include "app/hosting/linux_platform.hpp"

#include "app/platform/access_prompter.hpp"
#include "app/platform/contact_store.hpp"
#include "app/platform/defaults_store.hpp"
#include "app/platform/diagnostic_sink.hpp"
#include "app/platform/environment.hpp"
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
        p.diagnostics, database);
    p.contactStore = std::make_shared<platform::VCardContactStore>(platform::contactsDirectoryPath(*p.environment),
                                                                   p.accessPrompter);
    return p;
}

}  // namespace app::hosting
