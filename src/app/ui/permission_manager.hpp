// Which permission each tool family needs, whether it is granted, how to ask
// for it and where the user grants it by hand. On Linux: calendar, reminders
// and contacts are the stored access decisions; accessibility is the
// desktop-control trust check; full disk access is whether the messages
// database can be read.
#pragma once

#include "app/platform/accessibility_trust.hpp"
#include "app/platform/diagnostic_sink.hpp"
#include "app/tools/calendar/event_kit_service.hpp"
#include "app/tools/contacts/contacts_manager.hpp"

#include <memory>
#include <string>

namespace app::ui {

enum class PermissionKind { Automation, Calendar, Reminders, Contacts, Accessibility, FullDiskAccess, None };

struct PermissionCategory {
    PermissionKind kind = PermissionKind::None;
    std::string targetApp;  // Automation only; nothing reads it

    static PermissionCategory automation(std::string app) { return {PermissionKind::Automation, std::move(app)}; }
    static PermissionCategory of(PermissionKind kind) { return {kind, {}}; }
};

enum class PermissionStatus { Granted, Denied, NotDetermined };

// Where the user grants a permission by hand on this desktop.
class SettingsPanes {
public:
    virtual ~SettingsPanes() = default;
    // The program's own panel of access decisions (calendar, reminders,
    // contacts, automation, or no particular one).
    virtual void showPermissionsPanel() = 0;
    // The desktop's accessibility settings where it has them.
    virtual void openAccessibilitySettings() = 0;
    // Tells the user which file must become readable.
    virtual void explainFullDiskAccess(const std::string& path) = 0;
};

// Requests block until answered: call them off the main executor. Nothing here throws.
class PermissionManager {
public:
    struct Services {
        std::shared_ptr<tools::EventKitService> eventKit;
        std::shared_ptr<tools::ContactsManager> contacts;
        std::shared_ptr<platform::AccessibilityTrust> trust;  // none: never trusted
        std::string messagesDatabasePath;
        std::shared_ptr<SettingsPanes> panes;                 // none: nothing opens
        std::shared_ptr<platform::DiagnosticSink> diagnostics;  // none: standard error
    };

    // Throws std::invalid_argument without the calendar service or contacts.
    explicit PermissionManager(Services services);

    PermissionStatus checkStatus(const PermissionCategory& category) const;
    // True when the permission may now be used.
    bool requestPermission(const PermissionCategory& category);
    bool requestCalendarPermission();
    bool requestRemindersPermission();
    bool requestContactsPermission();

    void openSettings(const PermissionCategory& category);
    void openFullDiskAccessSettings();

    const std::string& messagesDatabasePath() const { return services_.messagesDatabasePath; }

private:
    bool requestOrReport(const char* what, const std::function<bool()>& request);

    Services services_;
};

}  // namespace app::ui
