#include "app/ui/permission_manager.hpp"

#include <exception>
#include <stdexcept>

#include <unistd.h>

namespace app::ui {

namespace {

PermissionStatus storeStatus(platform::AuthorizationStatus status) {
    switch (status) {
    case platform::AuthorizationStatus::NotDetermined: return PermissionStatus::NotDetermined;
    case platform::AuthorizationStatus::FullAccess: return PermissionStatus::Granted;
    default: return PermissionStatus::Denied;  // restricted, denied, write-only, anything later
    }
}

}  // namespace

PermissionManager::PermissionManager(Services services) : services_(std::move(services)) {
    if (!services_.eventKit || !services_.contacts)
        throw std::invalid_argument("PermissionManager needs the calendar service and the contacts manager");
    if (!services_.diagnostics) services_.diagnostics = std::make_shared<platform::StderrDiagnosticSink>();
}

PermissionStatus PermissionManager::checkStatus(const PermissionCategory& category) const {
    switch (category.kind) {
    case PermissionKind::Calendar:
        return storeStatus(services_.eventKit->eventStore().authorizationStatus(platform::EntityType::Event));
    case PermissionKind::Reminders:
        return storeStatus(services_.eventKit->eventStore().authorizationStatus(platform::EntityType::Reminder));
    case PermissionKind::Contacts:
        return storeStatus(services_.contacts->store()->authorizationStatus());
    case PermissionKind::Accessibility:
        return services_.trust && services_.trust->isProcessTrusted(false) ? PermissionStatus::Granted
                                                                          : PermissionStatus::NotDetermined;
    case PermissionKind::FullDiskAccess: {
        const std::string& path = services_.messagesDatabasePath;
        return !path.empty() && ::access(path.c_str(), R_OK) == 0 ? PermissionStatus::Granted
                                                                   : PermissionStatus::Denied;
    }
    case PermissionKind::None: return PermissionStatus::Granted;
    case PermissionKind::Automation: return PermissionStatus::NotDetermined;
    }
    return PermissionStatus::NotDetermined;
}

bool PermissionManager::requestPermission(const PermissionCategory& category) {
    switch (category.kind) {
    case PermissionKind::Calendar: return requestCalendarPermission();
    case PermissionKind::Reminders: return requestRemindersPermission();
    case PermissionKind::Contacts: return requestContactsPermission();
    case PermissionKind::Accessibility: return services_.trust && services_.trust->isProcessTrusted(true);
    case PermissionKind::FullDiskAccess: openFullDiskAccessSettings(); return false;
    case PermissionKind::Automation:
    case PermissionKind::None: return true;
    }
    return false;
}

bool PermissionManager::requestOrReport(const char* what, const std::function<bool()>& request) {
    try {
        return request();
    } catch (const std::exception& e) {
        services_.diagnostics->write(std::string("Error requesting ") + what + " access: " + e.what());
    } catch (...) {
        services_.diagnostics->write(std::string("Error requesting ") + what + " access: unknown error");
    }
    return false;
}

bool PermissionManager::requestCalendarPermission() {
    return requestOrReport("calendar", [&] { return services_.eventKit->requestCalendarAccess(); });
}

bool PermissionManager::requestRemindersPermission() {
    return requestOrReport("reminders", [&] { return services_.eventKit->requestRemindersAccess(); });
}

bool PermissionManager::requestContactsPermission() {
    return requestOrReport("contacts", [&] {
        services_.contacts->requestAccess();
        return true;
    });
}

void PermissionManager::openSettings(const PermissionCategory& category) {
    if (!services_.panes) return;
    switch (category.kind) {
    case PermissionKind::Accessibility: services_.panes->openAccessibilitySettings(); break;
    case PermissionKind::FullDiskAccess: openFullDiskAccessSettings(); break;
    default: services_.panes->showPermissionsPanel(); break;
    }
}

void PermissionManager::openFullDiskAccessSettings() {
    if (services_.panes) services_.panes->explainFullDiskAccess(services_.messagesDatabasePath);
}

}  // namespace app::ui
