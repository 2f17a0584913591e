#include "app/platform/desktop_control.hpp"

#include "app/platform/desktop_module.hpp"
#include "app/platform/diagnostic_sink.hpp"
#include "app/platform/plugin_module.hpp"
#include "app/platform/small_file.hpp"
#include "json/utf8.hpp"

#include <unicode/brkiter.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <set>

namespace app::platform {

namespace {

const PluginModuleSpec kDesktopModule{"libbrisolet_desktop.so", "desktop module", "brisolet_desktop_interface_version",
                                      kDesktopModuleVersion, "brisolet_desktop_module", "desktop module object"};

constexpr std::size_t kMaxDesktopEntryBytes = 1024 * 1024;

std::string asciiLower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c); });
    return text;
}

// A desktop-file id is a file name: nothing that walks out of the folder.
bool isPlainId(const std::string& id) {
    return !id.empty() && id.size() < 256 && id.find('/') == std::string::npos && id != "." && id != "..";
}

// The unlocalised Name of the [Desktop Entry] group, if the file has one.
// Any X client names the file by its window class: a FIFO or device put
// there is never waited on, and a huge file never read.
std::optional<std::string> desktopEntryName(const std::string& path) {
    const std::optional<std::string> text = readSmallFile(path, kMaxDesktopEntryBytes);
    if (!text) return std::nullopt;
    std::string_view rest = *text;
    bool inEntry = false;
    for (int lines = 0; lines < 10000 && !rest.empty(); ++lines) {
        const std::size_t end = std::min(rest.find('\n'), rest.size());
        std::string_view line = rest.substr(0, end);
        rest.remove_prefix(std::min(end + 1, rest.size()));
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (!line.empty() && line.front() == '[') {
            inEntry = line == "[Desktop Entry]";
            continue;
        }
        if (inEntry && line.starts_with("Name")) {
            std::size_t i = 4;
            while (i < line.size() && line[i] == ' ') ++i;
            if (i < line.size() && line[i] == '=') {
                std::string_view value = line.substr(i + 1);
                value.remove_prefix(std::min(value.find_first_not_of(' '), value.size()));
                if (!value.empty()) return std::string(value);
            }
        }
    }
    return std::nullopt;
}

}  // namespace

std::vector<std::string> desktopModuleCandidates() {
    return pluginModuleCandidates(kDesktopModule.fileName, BRISOLET_DESKTOP_MODULE_BUILD_PATH);
}

DesktopModuleLoader::DesktopModuleLoader(std::shared_ptr<DiagnosticSink> diagnostics,
                                         std::vector<std::string> candidates)
    : diagnostics_(std::move(diagnostics)), candidates_(std::move(candidates)) {}

DesktopModule* DesktopModuleLoader::module() {
    std::call_once(once_, [this] {
        try {
            module_ = &loadPluginModule<DesktopModule>(kDesktopModule, candidates_);
        } catch (const PluginLoadError& e) {
            if (diagnostics_) diagnostics_->write(std::string("Desktop control unavailable: ") + e.what());
        }
    });
    return module_;
}

X11DesktopControl::X11DesktopControl(std::shared_ptr<DesktopModuleLoader> loader) : loader_(std::move(loader)) {}

std::vector<AppInfo> X11DesktopControl::runningApplications() {
    DesktopModule* module = loader_->module();
    if (!module) return {};
    return appsFromWindows(module->windowClients(), xdgDataDirectories());
}

std::unique_ptr<AccessibleElement> X11DesktopControl::applicationElement(std::int32_t pid) {
    DesktopModule* module = loader_->module();
    return module ? module->applicationElement(pid) : nullptr;
}

void X11DesktopControl::click(double x, double y) {
    if (DesktopModule* module = loader_->module()) module->click(screenCoordinate(x), screenCoordinate(y));
}

void X11DesktopControl::typeCluster(std::u32string_view cluster) {
    if (DesktopModule* module = loader_->module()) module->typeCodePoints(cluster);
}

void X11DesktopControl::finishTyping() {
    if (DesktopModule* module = loader_->module()) module->restoreKeyboard();
}

X11AccessibilityTrust::X11AccessibilityTrust(std::shared_ptr<DesktopModuleLoader> loader)
    : loader_(std::move(loader)) {}

bool X11AccessibilityTrust::isProcessTrusted(bool) {
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display) return false;  // no X server (pure Wayland included)
    DesktopModule* module = loader_->module();
    return module && module->displayHasXTest();
}

std::vector<std::string> xdgDataDirectories() {
    std::vector<std::string> out;
    const char* home = std::getenv("XDG_DATA_HOME");
    if (home && *home == '/') {
        out.emplace_back(home);
    } else if (const char* h = std::getenv("HOME"); h && *h) {
        out.push_back(std::string(h) + "/.local/share");
    }
    const char* dirs = std::getenv("XDG_DATA_DIRS");
    std::string list = dirs && *dirs ? dirs : "/usr/local/share:/usr/share";
    for (std::size_t start = 0; start <= list.size();) {
        std::size_t end = list.find(':', start);
        if (end == std::string::npos) end = list.size();
        if (end > start && list[start] == '/') out.push_back(list.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

std::optional<DesktopEntry> findDesktopEntry(const std::vector<std::string>& candidateIds,
                                             const std::vector<std::string>& dataDirectories) {
    std::vector<std::string> ids;
    for (const auto& id : candidateIds) {
        for (std::string each : {id, asciiLower(id)}) {
            if (each.size() > 8 && each.ends_with(".desktop")) each.resize(each.size() - 8);
            if (isPlainId(each) && std::find(ids.begin(), ids.end(), each) == ids.end()) ids.push_back(each);
        }
    }
    for (const auto& id : ids) {
        for (const auto& dir : dataDirectories) {
            if (auto name = desktopEntryName(dir + "/applications/" + id + ".desktop")) {
                return DesktopEntry{json::repairUtf8(id), json::repairUtf8(*name)};
            }
        }
    }
    return std::nullopt;
}

std::vector<AppInfo> appsFromWindows(const std::vector<WindowClient>& windows,
                                     const std::vector<std::string>& dataDirectories) {
    std::vector<AppInfo> out;
    std::set<std::int32_t> seen;
    for (const auto& window : windows) {
        if (!seen.insert(window.pid).second) continue;
        AppInfo app{"Unknown", "", window.pid};
        if (auto entry = findDesktopEntry(window.desktopIds, dataDirectories)) {
            app.name = entry->name;
            app.bundleIdentifier = entry->id;
        } else if (!window.className.empty()) {
            app.name = json::repairUtf8(window.className);
        }
        out.push_back(std::move(app));
    }
    return out;
}

int screenCoordinate(double value) {
    if (std::isnan(value)) return 0;
    return static_cast<int>(std::lround(std::clamp(value, -32768.0, 32767.0)));
}

std::vector<std::u32string> graphemeClusters(std::string_view text) {
    const std::string repaired = json::repairUtf8(text);
    const icu::UnicodeString unicode = icu::UnicodeString::fromUTF8(repaired);
    std::vector<std::u32string> out;
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> breaks(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    const auto codePoints = [&](int32_t from, int32_t to) {
        std::u32string cluster;
        for (int32_t i = from; i < to; i = unicode.moveIndex32(i, 1))
            cluster += static_cast<char32_t>(unicode.char32At(i));
        return cluster;
    };
    if (U_FAILURE(status) || !breaks) {  // one cluster per code point
        for (int32_t i = 0; i < unicode.length(); i = unicode.moveIndex32(i, 1)) {
            out.push_back(codePoints(i, unicode.moveIndex32(i, 1)));
        }
        return out;
    }
    breaks->setText(unicode);
    for (int32_t from = breaks->first(), to = breaks->next(); to != icu::BreakIterator::DONE;
         from = to, to = breaks->next()) {
        out.push_back(codePoints(from, to));
    }
    return out;
}

}  // namespace app::platform
