// The platform services, created once at start-up and handed to the tool
// families and the window. Members may be empty where a caller (a test, a
// family not using them) has no need of them.
#pragma once

#include <memory>

namespace app::platform {

class DefaultsStore;
class UrlOpener;
class Environment;
class DiagnosticSink;
class ScriptHost;
class EventStore;
class ContactStore;
class AccessPrompter;
class AccessibilityTrust;
class CityDirectory;
class MediaPlayers;
class MusicLibrary;
class DesktopControl;

struct Platform {
    std::shared_ptr<DefaultsStore> defaults;
    std::shared_ptr<UrlOpener> urlOpener;
    std::shared_ptr<Environment> environment;
    std::shared_ptr<DiagnosticSink> diagnostics;
    std::shared_ptr<ScriptHost> scriptHost;
    std::shared_ptr<EventStore> eventStore;
    std::shared_ptr<ContactStore> contactStore;
    std::shared_ptr<AccessPrompter> accessPrompter;
    std::shared_ptr<AccessibilityTrust> accessibilityTrust;
    std::shared_ptr<CityDirectory> cityDirectory;
    std::shared_ptr<MediaPlayers> mediaPlayers;
    std::shared_ptr<MusicLibrary> musicLibrary;
    std::shared_ptr<DesktopControl> desktopControl;
};

}  // namespace app::platform
