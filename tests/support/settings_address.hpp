// The address of the pane that grants a permission on the original platform,
// as the permission tests name their cases.
#pragma once

#include "app/ui/permission_manager.hpp"

#include <string>

namespace app::ui {

inline std::string settingsAddress(const PermissionCategory& category) {
    std::string address = "x-apple.systempreferences:com.apple.preference.security";
    switch (category.kind) {
    case PermissionKind::Calendar: return address + "?Privacy_Calendars";
    case PermissionKind::Reminders: return address + "?Privacy_Reminders";
    case PermissionKind::Contacts: return address + "?Privacy_Contacts";
    case PermissionKind::Accessibility: return address + "?Privacy_Accessibility";
    case PermissionKind::FullDiskAccess: return address + "?Privacy_AllFiles";
    case PermissionKind::Automation: return address + "?Privacy_Automation";
    case PermissionKind::None: return address;
    }
    return address;
}

}  // namespace app::ui
