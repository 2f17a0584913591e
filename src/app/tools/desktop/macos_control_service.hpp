// The desktop-control service: running applications, accessibility element
// trees, clicks and typing, over the platform's DesktopControl. It keeps no
// state; the family checks the permission before every call.
#pragma once

#include "app/platform/desktop_control.hpp"
#include "json/json.hpp"

#include <cstddef>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

namespace app::platform {
// AppInfo as JSON: "name", "bundleIdentifier", "processIdentifier".
json::Value toJson(const AppInfo& app);
AppInfo fromJson(const json::Value& v, json::CodingPath& path, std::type_identity<AppInfo>);
}  // namespace app::platform

namespace app::tools {

using platform::AppInfo;

struct UIElement {
    std::string role, title, description, value, subrole, identifier, frame;
    std::optional<std::vector<UIElement>> children;  // absent, never empty, when none are kept
    friend bool operator==(const UIElement&, const UIElement&) = default;
};

// Keys in field order; "children" left out when absent.
json::Value toJson(const UIElement& element);
UIElement fromJson(const json::Value& v, json::CodingPath& path, std::type_identity<UIElement>);

class MacOSControlService {
public:
    static constexpr std::size_t kMaxChildren = 50;
    // A whole tree never holds more, however wide the application is.
    static constexpr std::size_t kMaxElements = 5000;

    explicit MacOSControlService(std::shared_ptr<platform::DesktopControl> desktop);

    std::vector<AppInfo> listRunningApps();
    std::unique_ptr<platform::AccessibleElement> applicationElement(std::int32_t pid);
    // Absent when depth > maxDepth; children read only while depth < maxDepth.
    std::optional<UIElement> elementTree(platform::AccessibleElement& element, int depth, int maxDepth);
    void click(double x, double y);
    // Each grapheme cluster's code points, then 5 ms; nothing for empty text.
    // Stops between clusters once `stop` is requested, and then throws
    // rt::Cancelled: text cut short is not typed text.
    void typeText(const std::string& text, std::stop_token stop = {});

private:
    std::optional<UIElement> elementTree(platform::AccessibleElement& element, int depth, int maxDepth,
                                         std::size_t& budget);

    std::shared_ptr<platform::DesktopControl> desktop_;
};

}  // namespace app::tools
