#include "app/tools/desktop/macos_control_tools.hpp"

#include "app/tools/registry/tool_error.hpp"
#include "app/tools/registry/tool_row.hpp"
#include "json/json.hpp"
#include "mcp/codec.hpp"

#include <limits>
#include <optional>
#include <stdexcept>

namespace app::tools {

namespace {

constexpr int kTreeDepth = 5;
constexpr json::WriteOptions kPretty{.sortedKeys = false, .escapeSlashes = true, .pretty = true};
constexpr const char* kDenied =
    "Permission Denied. Please grant accessibility permission to 'brisolet' in System Settings.";

// A coordinate given as a double, or as a whole number the bridge made an
// integer of.
std::optional<double> coordinate(const Arguments& arguments, std::string_view key) {
    if (auto d = doubleArgument(arguments, key)) return d;
    if (auto i = intArgument(arguments, key)) return static_cast<double>(*i);
    return std::nullopt;
}

template <class T>
std::optional<std::string> prettyJson(const T& value) {
    try {
        return json::write(mcp::encode(value), kPretty);
    } catch (const json::EncodingError&) {
        return std::nullopt;
    }
}

std::string uiTree(MacOSControlService& service, const Arguments& arguments, std::stop_token) {
    auto pid = intArgument(arguments, "pid");
    if (!pid || *pid < std::numeric_limits<std::int32_t>::min() || *pid > std::numeric_limits<std::int32_t>::max()) {
        throw ToolError("LocalTool", 400, "Missing 'pid' argument or invalid type");
    }
    auto app = service.applicationElement(static_cast<std::int32_t>(*pid));
    std::optional<UIElement> tree;
    if (app) tree = service.elementTree(*app, 0, kTreeDepth);
    if (!tree) return "Failed to get UI tree or app not found (PID: " + std::to_string(*pid) + ")";
    return prettyJson(*tree).value_or("Failed to encode UI tree");
}

std::string clickElement(MacOSControlService& service, const Arguments& arguments, std::stop_token) {
    auto x = coordinate(arguments, "x");
    auto y = coordinate(arguments, "y");
    if (!x || !y) throw ToolError("LocalTool", 400, "Missing 'x' or 'y' argument");
    service.click(*x, *y);
    return "Clicked at (" + json::describeDouble(*x) + ", " + json::describeDouble(*y) + ")";
}

std::string typeText(MacOSControlService& service, const Arguments& arguments, std::stop_token stop) {
    auto text = textArgument(arguments, "text");
    if (!text) throw ToolError("LocalTool", 400, "Missing 'text' argument");
    // No key types a NUL: the text would be typed with a part missing.
    if (text->find('\0') != std::string::npos)
        throw ToolError("LocalTool", 400, "Text contains a NUL character, which cannot be typed");
    service.typeText(*text, stop);
    return "Typed: " + *text;
}

struct DesktopCall {
    MacOSControlService& service;
    platform::AccessibilityTrust& trust;
};

using Tool = std::string (*)(MacOSControlService&, const Arguments&, std::stop_token);

// Asks the trust check before the arguments are looked at.
template <Tool run>
std::string trusted(DesktopCall& call, const Arguments& arguments, std::stop_token stop) {
    if (!call.trust.isProcessTrusted(true)) return kDenied;
    return run(call.service, arguments, stop);
}

std::string listApps(MacOSControlService& service, const Arguments&, std::stop_token) {
    return prettyJson(service.listRunningApps()).value_or("Failed to list apps");
}

const ToolRow<std::string (*)(DesktopCall&, const Arguments&, std::stop_token)> kDesktopTools[] = {
    {"macos_check_permission",
     "Check if the application has accessibility permissions. Perform this check before other macOS control "
     "operations.",
     "检查应用是否具有辅助功能权限。在执行其他 macOS 控制操作前执行此检查。", objectSchema({}, {}),
     [](DesktopCall& call, const Arguments&, std::stop_token) -> std::string {
         return call.trust.isProcessTrusted(true)
                    ? "Permission Granted"
                    : "Permission Denied. Please grant accessibility permission in System Settings.";
     }},
    {"macos_list_apps", "List currently running GUI applications.", "列出当前运行的图形界面应用程序。",
     objectSchema({}, {}), trusted<listApps>},
    {"macos_get_ui_tree", "Get the accessibility UI element tree of a specific application.",
     "获取特定应用程序的辅助功能 UI 元素树。",
     objectSchema(AnyMap{{"pid", schemaProperty("integer", "Process ID of the application")}}, AnyList{"pid"}),
     trusted<uiTree>},
    {"macos_click_element", "Click at a specific screen coordinate (x, y).", "点击特定的屏幕坐标 (x, y)。",
     objectSchema(AnyMap{{"x", schemaProperty("number", "X coordinate")},
                         {"y", schemaProperty("number", "Y coordinate")}},
                  AnyList{"x", "y"}),
     trusted<clickElement>},
    {"macos_type_text", "Type text at the current keyboard focus.", "在当前键盘焦点处输入文本。",
     objectSchema(AnyMap{{"text", schemaProperty("string", "Text to type")}}, AnyList{"text"}), trusted<typeText>},
};

}  // namespace

std::vector<MCPTool> macOSControlToolDefinitions() { return toolDefinitions(kDesktopTools); }

std::string handleMacOSControlTool(MacOSControlService& service, platform::AccessibilityTrust& trust,
                                   const std::string& name, const Arguments& arguments, std::stop_token stop) {
    const auto& tool = toolNamed(kDesktopTools, name, "MacOSControlTool", "macOS control");
    DesktopCall call{service, trust};
    return tool.handler(call, arguments, stop);
}

MacOSControlToolFamily::MacOSControlToolFamily(std::shared_ptr<platform::AccessibilityTrust> trust,
                                               std::shared_ptr<platform::DesktopControl> desktop)
    : trust_(std::move(trust)), service_(std::move(desktop)) {
    if (!trust_) throw std::invalid_argument("MacOSControlToolFamily needs a trust check");
}

ToolResult MacOSControlToolFamily::run(const std::string& name, const Arguments& arguments, std::stop_token stop) {
    return handleMacOSControlTool(service_, *trust_, name, arguments, stop);
}

}  // namespace app::tools
