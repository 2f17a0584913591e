#include "app/ui/default_applications.hpp"

#include "app/platform/small_file.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdlib>
#include <set>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace app::ui {

namespace {

constexpr std::size_t kListFileLimit = 1 << 20;    // a mimeapps.list or mimeinfo.cache
constexpr std::size_t kEntryFileLimit = 256 << 10;  // a desktop entry
constexpr std::size_t kIconFileLimit = 4 << 20;
constexpr std::size_t kFolderEntryLimit = 10000;     // names read from one applications folder
constexpr int kFolderDepthLimit = 4;

// The non-empty items of a ':'-separated list; folders must be absolute
// (relative ones are invalid in these variables).
std::vector<std::string> splitList(const std::string& text, bool folders = true) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = std::min(text.find(':', start), text.size());
        std::string item = text.substr(start, end - start);
        if (!item.empty() && (!folders || item.front() == '/')) out.push_back(std::move(item));
        start = end + 1;
    }
    return out;
}

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

// The raw value of `key` in `group` of a key file (desktop entry, mimeapps.list,
// mimeinfo.cache): the first one, keys compared exactly (localised keys differ).
std::optional<std::string_view> rawValue(std::string_view text, std::string_view group, std::string_view key) {
    bool inGroup = false;
    for (std::size_t start = 0; start < text.size();) {
        std::size_t end = std::min(text.find('\n', start), text.size());
        std::string_view line = trimmed(text.substr(start, end - start));
        start = end + 1;
        if (line.empty() || line.front() == '#') continue;
        if (line.front() == '[') {
            inGroup = line.size() == group.size() + 2 && line.back() == ']' && line.substr(1, group.size()) == group;
            continue;
        }
        const std::size_t eq = line.find('=');
        if (inGroup && eq != std::string_view::npos && trimmed(line.substr(0, eq)) == key)
            return trimmed(line.substr(eq + 1));
    }
    return std::nullopt;
}

// A string value with its escapes (\s \n \t \r \\) resolved.
std::string unescaped(std::string_view raw) {
    std::string out;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] != '\\' || i + 1 == raw.size()) {
            out.push_back(raw[i]);
            continue;
        }
        switch (char c = raw[++i]) {
        case 's': out.push_back(' '); break;
        case 'n': out.push_back('\n'); break;
        case 't': out.push_back('\t'); break;
        case 'r': out.push_back('\r'); break;
        default: out.push_back('\\'), out.push_back(c); break;  // \; and the rest stay for the list or Exec
        }
    }
    return out;
}

// The items of a ';'-separated list value, empty ones left out.
std::vector<std::string> listValue(std::string_view raw) {
    std::vector<std::string> items(1);
    const std::string text = unescaped(raw);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == ';') items.back().push_back(text[++i]);
        else if (text[i] == ';') items.emplace_back();
        else items.back().push_back(text[i]);
    }
    std::erase_if(items, [](const std::string& s) { return trimmed(s).empty(); });
    for (auto& item : items) item = std::string(trimmed(item));
    return items;
}

// The program an Exec= line starts: its first word, which may be quoted.
std::string execProgram(std::string_view raw) {
    const std::string text = unescaped(raw);
    std::size_t i = text.find_first_not_of(" \t");
    if (i == std::string::npos) return {};
    std::string word;
    if (text[i] == '"') {
        for (++i; i < text.size() && text[i] != '"'; ++i) {
            if (text[i] == '\\' && i + 1 < text.size()) ++i;
            word.push_back(text[i]);
        }
        return word;
    }
    return text.substr(i, text.find_first_of(" \t", i) - i);
}

bool isExecutableFile(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

bool programFound(const std::string& program, const XdgFolders& folders) {
    if (program.empty()) return false;
    if (program.find('/') != std::string::npos) return isExecutableFile(program);
    return std::any_of(folders.programPath.begin(), folders.programPath.end(),
                       [&](const std::string& dir) { return isExecutableFile(dir + "/" + program); });
}

bool isDirectory(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

struct ParsedEntry {
    DesktopEntry entry;
    bool installed = false;
    std::vector<std::string> mimeTypes;
    int initialPreference = 0;
};

std::optional<ParsedEntry> readEntry(const std::string& id, const std::string& path, const XdgFolders& folders) {
    const auto text = platform::readSmallFile(path, kEntryFileLimit);
    if (!text) return std::nullopt;
    constexpr std::string_view group = "Desktop Entry";
    auto value = [&](std::string_view key) { return rawValue(*text, group, key); };
    ParsedEntry parsed;
    parsed.entry = {id, path, value("Icon") ? unescaped(*value("Icon")) : std::string()};
    const bool hidden = value("Hidden") == std::optional<std::string_view>("true");
    const auto tryExec = value("TryExec");
    const auto exec = value("Exec");
    parsed.installed = !hidden && exec && programFound(execProgram(*exec), folders) &&
                       (!tryExec || programFound(execProgram(*tryExec), folders));
    if (auto mime = value("MimeType")) parsed.mimeTypes = listValue(*mime);
    if (auto preference = value("InitialPreference")) {
        std::from_chars(preference->data(), preference->data() + preference->size(), parsed.initialPreference);
    }
    return parsed;
}

// The file of a desktop id inside one applications folder: "vendor-app.desktop"
// may live as vendor/app.desktop.
std::optional<std::string> fileOfId(const std::string& folder, std::string_view name, int depth = 0) {
    const std::string direct = folder + "/" + std::string(name);
    struct stat info {};
    if (::stat(direct.c_str(), &info) == 0 && S_ISREG(info.st_mode)) return direct;
    if (depth >= kFolderDepthLimit) return std::nullopt;
    for (std::size_t dash = name.find('-'); dash != std::string_view::npos; dash = name.find('-', dash + 1)) {
        const std::string sub = folder + "/" + std::string(name.substr(0, dash));
        if (isDirectory(sub))
            if (auto found = fileOfId(sub, name.substr(dash + 1), depth + 1)) return found;
    }
    return std::nullopt;
}

bool isValidId(std::string_view id) {
    return id.size() > 8 && id.size() <= 255 && id.ends_with(".desktop") && id.front() != '.' &&
           id.find('/') == std::string_view::npos && id.find('\0') == std::string_view::npos;
}

// The first installed application among the ids of a list value.
std::optional<DesktopEntry> firstInstalled(std::string_view raw, const XdgFolders& folders) {
    for (const std::string& id : listValue(raw))
        if (auto entry = installedApplication(id, folders)) return entry;
    return std::nullopt;
}

// Sorted names in a folder, at most kFolderEntryLimit; none when unreadable.
std::vector<std::string> folderNames(const std::string& folder) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return names;
    while (const dirent* e = ::readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        names.emplace_back(e->d_name);
        if (names.size() >= kFolderEntryLimit) break;
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

struct Scan {
    std::string_view mimeType;
    const XdgFolders& folders;
    std::set<std::string> seen;  // an id found earlier shadows later ones
    std::optional<ParsedEntry> best;

    // The entries of a folder, then its sub-folders, each in name order.
    void folder(const std::string& path, const std::string& idPrefix, int depth) {
        const std::vector<std::string> names = folderNames(path);
        for (const std::string& name : names) {
            if (!name.ends_with(".desktop")) continue;
            const std::string id = idPrefix + name;
            if (!seen.insert(id).second) continue;
            auto parsed = readEntry(id, path + "/" + name, folders);
            if (!parsed || !parsed->installed ||
                std::find(parsed->mimeTypes.begin(), parsed->mimeTypes.end(), mimeType) == parsed->mimeTypes.end())
                continue;
            if (!best || parsed->initialPreference > best->initialPreference) best = std::move(parsed);
        }
        if (depth >= kFolderDepthLimit) return;
        for (const std::string& name : names)
            if (isDirectory(path + "/" + name)) folder(path + "/" + name, idPrefix + name + "-", depth + 1);
    }
};

}  // namespace

XdgFolders XdgFolders::fromEnvironment(const Lookup& lookup) {
    auto get = [&](const char* name, const std::string& fallback) {
        auto v = lookup(name);
        return v && !v->empty() ? *v : fallback;
    };
    const std::string home = get("HOME", "/");
    XdgFolders f;
    f.configHome = get("XDG_CONFIG_HOME", home + "/.config");
    f.configDirs = splitList(get("XDG_CONFIG_DIRS", "/etc/xdg"));
    f.dataHome = get("XDG_DATA_HOME", home + "/.local/share");
    f.dataDirs = splitList(get("XDG_DATA_DIRS", "/usr/local/share:/usr/share"));
    f.desktops = splitList(get("XDG_CURRENT_DESKTOP", ""), false);
    for (std::string& name : f.desktops)
        std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
    f.programPath = splitList(get("PATH", "/usr/local/bin:/usr/bin:/bin"));
    return f;
}

XdgFolders XdgFolders::fromEnvironment() {
    return fromEnvironment([](const char* name) -> std::optional<std::string> {
        const char* v = std::getenv(name);
        return v ? std::optional<std::string>(v) : std::nullopt;
    });
}

std::vector<std::string> XdgFolders::dataFolders() const {
    std::vector<std::string> all{dataHome};
    all.insert(all.end(), dataDirs.begin(), dataDirs.end());
    return all;
}

std::optional<DesktopEntry> installedApplication(std::string_view id, const XdgFolders& folders) {
    if (!isValidId(id)) return std::nullopt;
    for (const std::string& data : folders.dataFolders()) {
        // The first file of the id decides, also when it hides the application.
        if (auto path = fileOfId(data + "/applications", id)) {
            auto parsed = readEntry(std::string(id), *path, folders);
            if (!parsed || !parsed->installed) return std::nullopt;
            return parsed->entry;
        }
    }
    return std::nullopt;
}

std::optional<DesktopEntry> defaultApplication(std::string_view mimeType, const XdgFolders& folders) {
    if (mimeType.empty()) return std::nullopt;
    // 1. The defaults users and desktops choose, the desktop's own list first in each folder.
    std::vector<std::string> listFolders{folders.configHome};
    listFolders.insert(listFolders.end(), folders.configDirs.begin(), folders.configDirs.end());
    for (const std::string& data : folders.dataFolders()) listFolders.push_back(data + "/applications");
    std::vector<std::string> prefixes;
    for (const std::string& desktop : folders.desktops) prefixes.push_back(desktop + "-");
    prefixes.emplace_back();
    for (const std::string& folder : listFolders) {
        for (const std::string& prefix : prefixes) {
            const auto text = platform::readSmallFile(folder + "/" + prefix + "mimeapps.list", kListFileLimit);
            if (!text) continue;
            if (auto raw = rawValue(*text, "Default Applications", mimeType))
                if (auto entry = firstInstalled(*raw, folders)) return entry;
        }
    }
    // 2. The system's old defaults lists and the caches built from the entries.
    for (const std::string& data : folders.dataFolders()) {
        for (auto [file, group] : {std::pair{"defaults.list", "Default Applications"}, {"mimeinfo.cache", "MIME Cache"}}) {
            const auto text = platform::readSmallFile(data + "/applications/" + file, kListFileLimit);
            if (!text) continue;
            if (auto raw = rawValue(*text, group, mimeType))
                if (auto entry = firstInstalled(*raw, folders)) return entry;
        }
    }
    // 3. Every entry naming the type: the highest InitialPreference, the first of equals.
    Scan scan{mimeType, folders, {}, std::nullopt};
    for (const std::string& data : folders.dataFolders()) scan.folder(data + "/applications", "", 0);
    if (scan.best) return scan.best->entry;
    return std::nullopt;
}

std::optional<ApplicationIcon> applicationIcon(const DesktopEntry& entry) {
    if (entry.icon.empty()) return std::nullopt;
    if (entry.icon.front() != '/') return ApplicationIcon{entry.icon, std::nullopt};
    auto bytes = platform::readSmallFile(entry.icon, kIconFileLimit);
    if (!bytes) return std::nullopt;
    return ApplicationIcon{{}, std::move(bytes)};
}

std::vector<std::string> iconThemeFolders(const XdgFolders& folders) {
    std::vector<std::string> found;
    for (const std::string& data : folders.dataFolders())
        if (isDirectory(data + "/icons")) found.push_back(data + "/icons");
    return found;
}

}  // namespace app::ui
