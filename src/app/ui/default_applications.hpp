// The user's own application for a kind of data: the desktop's default
// handler of a MIME type, found the way `xdg-mime query default` finds it
// (mimeapps.list in the XDG config and data folders, then the desktop
// entries' MimeType=), and the icon its desktop entry names. Free of Qt so
// tables can drive it; only reads files, never waits on one.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace app::ui {

struct XdgFolders {
    std::string configHome;               // $XDG_CONFIG_HOME, else ~/.config
    std::vector<std::string> configDirs;  // $XDG_CONFIG_DIRS, else /etc/xdg
    std::string dataHome;                 // $XDG_DATA_HOME, else ~/.local/share
    std::vector<std::string> dataDirs;    // $XDG_DATA_DIRS, else /usr/local/share:/usr/share
    std::vector<std::string> desktops;    // $XDG_CURRENT_DESKTOP, lower-case
    std::vector<std::string> programPath; // $PATH: where an entry's program must be

    using Lookup = std::function<std::optional<std::string>(const char* name)>;
    static XdgFolders fromEnvironment(const Lookup& lookup);
    static XdgFolders fromEnvironment();  // the process environment

    // The data folders, the user's first.
    std::vector<std::string> dataFolders() const;
};

struct DesktopEntry {
    std::string id;    // "org.kde.kmail2.desktop"; a sub-folder's name joined by '-'
    std::string path;  // the file it was read from
    std::string icon;  // its Icon=: a name in the icon theme or an absolute path; may be empty
};

// The entry of that id in the data folders (the user's first), when it is
// installed: shown (not Hidden) and its Exec= program found.
std::optional<DesktopEntry> installedApplication(std::string_view id, const XdgFolders& folders);

// The default handler of mimeType ("text/calendar", "x-scheme-handler/mailto"),
// or nothing. Unreadable folders and files count as absent.
std::optional<DesktopEntry> defaultApplication(std::string_view mimeType, const XdgFolders& folders);

// What draws an application's icon: a name to look up in the icon theme, or
// the bytes of the file its Icon= names by path (read here, off the window).
struct ApplicationIcon {
    std::string themeName;
    std::optional<std::string> file;
};

// The entry's icon; nothing when it names none or its file cannot be read
// (at most 4 MiB, a regular file).
std::optional<ApplicationIcon> applicationIcon(const DesktopEntry& entry);

// The icon theme folders of the data folders that exist, the user's first.
std::vector<std::string> iconThemeFolders(const XdgFolders& folders);

}  // namespace app::ui
