#include "app/tools/desktop/macos_control_tools.hpp"

#include "app/tools/tool_test_support.hpp"
#include "mcp/codec.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <variant>

namespace app::tools {
namespace {

using platform::AccessibleElement;
using platform::ElementAttributes;

// An element whose children are made when asked: `childCount` of them, each
// from `makeChild(index)`. Counts the elements read.
struct FakeElement : AccessibleElement {
    ElementAttributes attrs;
    std::size_t childCount = 0;
    std::function<std::unique_ptr<FakeElement>(std::size_t)> makeChild;
    int* reads = nullptr;

    ElementAttributes attributes() override {
        if (reads) ++*reads;
        return attrs;
    }
    std::vector<std::unique_ptr<AccessibleElement>> children(std::size_t limit) override {
        std::vector<std::unique_ptr<AccessibleElement>> out;
        for (std::size_t i = 0; i < childCount && i < limit; ++i) out.push_back(makeChild(i));
        return out;
    }
};

// Every element `width` children wide, without end.
std::unique_ptr<FakeElement> endlessTree(std::size_t width, int* reads) {
    auto e = std::make_unique<FakeElement>();
    e->attrs.role = "r";
    e->childCount = width;
    e->reads = reads;
    e->makeChild = [width, reads](std::size_t) { return endlessTree(width, reads); };
    return e;
}

struct FakeDesktop : platform::DesktopControl {
    std::vector<AppInfo> apps;
    std::map<std::int32_t, std::function<std::unique_ptr<AccessibleElement>()>> elements;
    std::vector<std::pair<double, double>> clicks;
    std::vector<std::u32string> clusters;
    int finished = 0;

    std::vector<AppInfo> runningApplications() override { return apps; }
    std::unique_ptr<AccessibleElement> applicationElement(std::int32_t pid) override {
        auto it = elements.find(pid);
        return it == elements.end() ? nullptr : it->second();
    }
    void click(double x, double y) override { clicks.emplace_back(x, y); }
    void typeCluster(std::u32string_view c) override { clusters.emplace_back(c); }
    void finishTyping() override { ++finished; }
};

struct FakeTrust : platform::AccessibilityTrust {
    bool trusted = true;
    int asked = 0;
    bool isProcessTrusted(bool prompt) override {
        EXPECT_TRUE(prompt);
        ++asked;
        return trusted;
    }
};

struct Fixture {
    std::shared_ptr<FakeDesktop> desktop = std::make_shared<FakeDesktop>();
    std::shared_ptr<FakeTrust> trust = std::make_shared<FakeTrust>();
    MacOSControlToolFamily family{trust, desktop};

    std::string call(const std::string& name, const Arguments& arguments = {}) {
        return family.handle(name, arguments, {});
    }
    bool desktopUntouched() const { return desktop->clicks.empty() && desktop->clusters.empty() && !desktop->finished; }
};

const std::string kDenied = "Permission Denied. Please grant accessibility permission to 'brisolet' in System Settings.";

TEST(MacOSControlTools, Definitions) {
    using testing::inputSchema;
    using testing::property;
    testing::expectToolDefinitions(
        macOSControlToolDefinitions,
        {
            {"macos_check_permission",
             "Check if the application has accessibility permissions. Perform this check before other macOS "
             "control operations.",
             "检查应用是否具有辅助功能权限。在执行其他 macOS 控制操作前执行此检查。", inputSchema({}, {})},
            {"macos_list_apps", "List currently running GUI applications.", "列出当前运行的图形界面应用程序。",
             inputSchema({}, {})},
            {"macos_get_ui_tree", "Get the accessibility UI element tree of a specific application.",
             "获取特定应用程序的辅助功能 UI 元素树。",
             inputSchema({{"pid", property("integer", "Process ID of the application")}}, {"pid"})},
            {"macos_click_element", "Click at a specific screen coordinate (x, y).", "点击特定的屏幕坐标 (x, y)。",
             inputSchema({{"x", property("number", "X coordinate")}, {"y", property("number", "Y coordinate")}},
                         {"x", "y"})},
            {"macos_type_text", "Type text at the current keyboard focus.", "在当前键盘焦点处输入文本。",
             inputSchema({{"text", property("string", "Text to type")}}, {"text"})},
        });
}

// What a call gives: a reply text or a thrown error; and whether the
// permission was asked.
struct CallCase {
    std::string name;
    Arguments arguments;
    bool trusted;
    std::variant<std::string, ToolError> expected;
    int asked = 1;
};

TEST(MacOSControlTools, PermissionComesFirstAndBadArgumentsTouchNothing) {
    const ToolError noPid("LocalTool", 400, "Missing 'pid' argument or invalid type");
    const ToolError noXY("LocalTool", 400, "Missing 'x' or 'y' argument");
    const ToolError noText("LocalTool", 400, "Missing 'text' argument");
    const CallCase cases[] = {
        {"macos_check_permission", {}, true, "Permission Granted"},
        {"macos_check_permission", {{"junk", 1}}, false,
         "Permission Denied. Please grant accessibility permission in System Settings."},
        {"macos_list_apps", {}, false, kDenied},
        {"macos_get_ui_tree", {}, false, kDenied},
        {"macos_get_ui_tree", {{"pid", "12"}}, false, kDenied},
        {"macos_click_element", {}, false, kDenied},
        {"macos_type_text", {}, false, kDenied},
        {"macos_type_text", {}, true, noText},
        {"macos_type_text", {{"text", 5}}, true, noText},
        {"macos_type_text", {{"text", AnyList{"a"}}}, true, noText},
        {"macos_get_ui_tree", {}, true, noPid},
        {"macos_get_ui_tree", {{"pid", "12"}}, true, noPid},
        {"macos_get_ui_tree", {{"pid", 12.5}}, true, noPid},
        {"macos_get_ui_tree", {{"pid", std::int64_t{1} << 31}}, true, noPid},
        {"macos_get_ui_tree", {{"pid", -(std::int64_t{1} << 31) - 1}}, true, noPid},
        {"macos_click_element", {}, true, noXY},
        {"macos_click_element", {{"x", "10"}, {"y", 5.5}}, true, noXY},
        {"macos_click_element", {{"x", 10.5}}, true, noXY},
        {"macos_click_element", {{"x", 1.5}, {"y", true}}, true, noXY},
        {"macos_click_element", {{"x", nullptr}, {"y", 1}}, true, noXY},
        {"macos_type", {}, false, ToolError("MacOSControlTool", 404, "Unknown macOS control tool: macos_type"), 0},
        {"Macos_list_apps", {}, true,
         ToolError("MacOSControlTool", 404, "Unknown macOS control tool: Macos_list_apps"), 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name + (c.trusted ? " trusted" : " untrusted"));
        Fixture f;
        f.trust->trusted = c.trusted;
        if (const auto* reply = std::get_if<std::string>(&c.expected)) {
            EXPECT_EQ(f.call(c.name, c.arguments), *reply);
        } else {
            testing::expectToolError([&] { f.call(c.name, c.arguments); }, std::get<ToolError>(c.expected));
        }
        EXPECT_EQ(f.trust->asked, c.asked);
        EXPECT_TRUE(f.desktopUntouched());
    }
}

TEST(MacOSControlTools, ClickRepliesTheCoordinatesGiven) {
    struct Case {
        AnyValue x, y;
        std::string reply;
        double dx, dy;
    };
    const Case cases[] = {
        {100.5, 300, "Clicked at (100.5, 300.0)", 100.5, 300},
        {0, -12, "Clicked at (0.0, -12.0)", 0, -12},
        {1e300, -0.25, "Clicked at (1e+300, -0.25)", 1e300, -0.25},
        {std::int64_t{1} << 60, 0.1, "Clicked at (1.152921504606847e+18, 0.1)", 1152921504606846976.0, 0.1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reply);
        Fixture f;
        EXPECT_EQ(f.call("macos_click_element", {{"x", c.x}, {"y", c.y}}), c.reply);
        EXPECT_EQ(f.desktop->clicks, (std::vector<std::pair<double, double>>{{c.dx, c.dy}}));
    }
}

TEST(MacOSControlTools, TypingGoesClusterByCluster) {
    struct Case {
        std::string text;
        std::vector<std::u32string> clusters;
    };
    const Case cases[] = {
        {"", {}},
        {"a\tb\n", {U"a", U"\t", U"b", U"\n"}},
        {"日本", {U"日", U"本"}},
        {"e\u0301😀", {U"e\u0301", U"😀"}},
        {"👩‍👧\r\n", {U"👩\u200D👧", U"\r\n"}},
        {"🇯🇵🇫🇷", {U"🇯🇵", U"🇫🇷"}},
        {"a\xff", {U"a", U"\uFFFD"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        Fixture f;
        EXPECT_EQ(f.call("macos_type_text", {{"text", c.text}}), "Typed: " + c.text);
        EXPECT_EQ(f.desktop->clusters, c.clusters);
        EXPECT_EQ(f.desktop->finished, c.text.empty() ? 0 : 1);
    }
}

TEST(MacOSControlTools, ListsAppsAsPrettyJson) {
    Fixture f;
    EXPECT_EQ(f.call("macos_list_apps"), "[]");
    f.desktop->apps = {{"Files/Browser", "org.example.Files", 42}, {"日本語", "", 7}};
    EXPECT_EQ(f.call("macos_list_apps"),
              "[\n"
              "  {\n"
              "    \"name\" : \"Files\\/Browser\",\n"
              "    \"bundleIdentifier\" : \"org.example.Files\",\n"
              "    \"processIdentifier\" : 42\n"
              "  },\n"
              "  {\n"
              "    \"name\" : \"日本語\",\n"
              "    \"bundleIdentifier\" : \"\",\n"
              "    \"processIdentifier\" : 7\n"
              "  }\n"
              "]");
}

TEST(MacOSControlTools, TreeRecordsAndTheirJson) {
    Fixture f;
    f.desktop->elements[10] = [] {
        auto app = std::make_unique<FakeElement>();
        app->attrs = {"application", "a/b", "", std::nullopt, "", "", platform::ElementRect{0, 0, 1280, 1024.5}};
        app->childCount = 2;
        app->makeChild = [](std::size_t i) {
            auto child = std::make_unique<FakeElement>();
            if (i == 0) child->attrs = {"slider", "", "volume", 42.0, "", "", std::nullopt};
            if (i == 1) child->attrs = {"text", "", "", std::nullopt, "typed\n", "", platform::ElementRect{-5, 2, 3, 4}};
            return child;
        };
        return app;
    };
    f.desktop->elements[11] = [] { return std::make_unique<FakeElement>(); };  // every read fails
    const std::string empty =
        "{\n  \"role\" : \"\",\n  \"title\" : \"\",\n  \"description\" : \"\",\n  \"value\" : \"\",\n"
        "  \"subrole\" : \"\",\n  \"identifier\" : \"\",\n  \"frame\" : \"\"\n}";
    struct Case {
        AnyValue pid;
        std::string reply;
    };
    const Case cases[] = {
        {10,
         "{\n"
         "  \"role\" : \"application\",\n  \"title\" : \"a\\/b\",\n  \"description\" : \"\",\n  \"value\" : \"\",\n"
         "  \"subrole\" : \"\",\n  \"identifier\" : \"\",\n  \"frame\" : \"(0.0, 0.0, 1280.0, 1024.5)\",\n"
         "  \"children\" : [\n"
         "    {\n"
         "      \"role\" : \"slider\",\n      \"title\" : \"\",\n      \"description\" : \"volume\",\n"
         "      \"value\" : \"42\",\n      \"subrole\" : \"\",\n      \"identifier\" : \"\",\n      \"frame\" : \"\"\n"
         "    },\n"
         "    {\n"
         "      \"role\" : \"text\",\n      \"title\" : \"\",\n      \"description\" : \"\",\n"
         "      \"value\" : \"typed\\n\",\n      \"subrole\" : \"\",\n      \"identifier\" : \"\",\n"
         "      \"frame\" : \"(-5.0, 2.0, 3.0, 4.0)\"\n"
         "    }\n"
         "  ]\n"
         "}"},
        {11, empty},
        {12, "Failed to get UI tree or app not found (PID: 12)"},
        {-1, "Failed to get UI tree or app not found (PID: -1)"},
        {std::int64_t{2147483647}, "Failed to get UI tree or app not found (PID: 2147483647)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reply);
        const std::string reply = f.call("macos_get_ui_tree", {{"pid", c.pid}});
        EXPECT_EQ(reply, c.reply);
        if (reply.front() == '{') EXPECT_EQ(mcp::encodeText(mcp::decodeText<UIElement>(reply)), mcp::encodeText(json::parse(reply)));
    }
    EXPECT_THROW(mcp::decodeText<UIElement>("{\"role\":\"\",\"title\":\"\",\"description\":\"\",\"value\":\"\","
                                            "\"subrole\":\"\",\"identifier\":\"\"}"),
                 json::DecodingError);
}

// Levels below the application: the deepest one listed, and its width.
std::pair<int, std::size_t> depthAndWidth(const json::Value& v, int depth = 0) {
    const json::Value* children = v.find("children");
    if (!children) return {depth, 0};
    auto deeper = depthAndWidth(children->asArray().front(), depth + 1);
    return {deeper.first, std::max(children->asArray().size(), deeper.second)};
}

TEST(MacOSControlTools, TreeIsBoundedInDepthWidthAndSize) {
    struct Case {
        std::size_t width;
        int depth;
        std::size_t widest;
    };
    const Case cases[] = {{1, 5, 1}, {60, 5, 50}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.width);
        Fixture f;
        int reads = 0;
        f.desktop->elements[1] = [&] { return endlessTree(c.width, &reads); };
        const json::Value tree = json::parse(f.call("macos_get_ui_tree", {{"pid", 1}}));
        EXPECT_EQ(depthAndWidth(tree), std::make_pair(c.depth, c.widest));
        EXPECT_LE(reads, static_cast<int>(MacOSControlService::kMaxElements));
    }
    // Straight through the service: depth past the limit is no record at all.
    MacOSControlService service(std::make_shared<FakeDesktop>());
    int reads = 0;
    EXPECT_EQ(service.elementTree(*endlessTree(3, &reads), 6, 5), std::nullopt);
    auto leaf = service.elementTree(*endlessTree(3, &reads), 5, 5);
    ASSERT_TRUE(leaf);
    EXPECT_FALSE(leaf->children);
}

}  // namespace
}  // namespace app::tools
