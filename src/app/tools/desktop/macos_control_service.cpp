#include "app/tools/desktop/macos_control_service.hpp"

#include "json/utf8.hpp"
#include "mcp/codec.hpp"
#include "runtime/runtime.hpp"

#include <chrono>
#include <cmath>
#include <stdexcept>

namespace app::platform {

json::Value toJson(const AppInfo& app) {
    mcp::ObjectEncoder out;
    out.set("name", app.name)
        .set("bundleIdentifier", app.bundleIdentifier)
        .set("processIdentifier", app.processIdentifier);
    return std::move(out).finish();
}

AppInfo fromJson(const json::Value& v, json::CodingPath& path, std::type_identity<AppInfo>) {
    mcp::ObjectDecoder in(v, path);
    return AppInfo{in.required<std::string>("name"), in.required<std::string>("bundleIdentifier"),
                   in.required<std::int32_t>("processIdentifier")};
}

}  // namespace app::platform

namespace app::tools {

namespace {

struct TextField {
    const char* key;
    std::string UIElement::*field;
};
constexpr TextField kTextFields[] = {
    {"role", &UIElement::role},   {"title", &UIElement::title},     {"description", &UIElement::description},
    {"value", &UIElement::value}, {"subrole", &UIElement::subrole}, {"identifier", &UIElement::identifier},
    {"frame", &UIElement::frame},
};

std::string numberText(double x) { return std::isfinite(x) ? json::formatDouble(x) : json::describeDouble(x); }

std::string frameText(const platform::ElementRect& r) {
    return "(" + json::describeDouble(r.x) + ", " + json::describeDouble(r.y) + ", " + json::describeDouble(r.width) +
           ", " + json::describeDouble(r.height) + ")";
}

}  // namespace

json::Value toJson(const UIElement& element) {
    mcp::ObjectEncoder out;
    for (const auto& [key, field] : kTextFields) out.set(key, element.*field);
    out.setOptional("children", element.children);
    return std::move(out).finish();
}

UIElement fromJson(const json::Value& v, json::CodingPath& path, std::type_identity<UIElement>) {
    mcp::ObjectDecoder in(v, path);
    UIElement e;
    for (const auto& [key, field] : kTextFields) e.*field = in.required<std::string>(key);
    e.children = in.optional<std::vector<UIElement>>("children");
    return e;
}

MacOSControlService::MacOSControlService(std::shared_ptr<platform::DesktopControl> desktop)
    : desktop_(std::move(desktop)) {
    if (!desktop_) throw std::invalid_argument("MacOSControlService needs a desktop");
}

std::vector<AppInfo> MacOSControlService::listRunningApps() { return desktop_->runningApplications(); }

std::unique_ptr<platform::AccessibleElement> MacOSControlService::applicationElement(std::int32_t pid) {
    return desktop_->applicationElement(pid);
}

std::optional<UIElement> MacOSControlService::elementTree(platform::AccessibleElement& element, int depth,
                                                          int maxDepth) {
    std::size_t budget = kMaxElements;
    return elementTree(element, depth, maxDepth, budget);
}

std::optional<UIElement> MacOSControlService::elementTree(platform::AccessibleElement& element, int depth, int maxDepth,
                                                          std::size_t& budget) {
    if (depth > maxDepth || budget == 0) return std::nullopt;
    --budget;
    const platform::ElementAttributes a = element.attributes();
    UIElement out;
    out.role = json::repairUtf8(a.role);
    out.title = json::repairUtf8(a.title);
    out.description = json::repairUtf8(a.description);
    out.value = a.numericValue ? numberText(*a.numericValue) : json::repairUtf8(a.textValue);
    out.frame = a.frame ? frameText(*a.frame) : "";
    if (depth < maxDepth && budget > 0) {
        std::vector<UIElement> kept;
        for (auto& child : element.children(kMaxChildren)) {
            if (kept.size() == kMaxChildren) break;
            if (auto tree = elementTree(*child, depth + 1, maxDepth, budget)) kept.push_back(std::move(*tree));
        }
        if (!kept.empty()) out.children = std::move(kept);
    }
    return out;
}

void MacOSControlService::click(double x, double y) { desktop_->click(x, y); }

void MacOSControlService::typeText(const std::string& text, std::stop_token stop) {
    if (text.empty()) return;
    bool stopped = false;
    for (const auto& cluster : platform::graphemeClusters(text)) {
        if ((stopped = stop.stop_requested())) break;
        desktop_->typeCluster(cluster);
        try {
            rt::sleepFor(std::chrono::milliseconds(5), stop);
        } catch (const rt::Cancelled&) {
            stopped = true;
            break;
        }
    }
    desktop_->finishTyping();
    // Text cut short is not answered as typed.
    if (stopped) throw rt::Cancelled();
}

}  // namespace app::tools
