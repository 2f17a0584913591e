#include "app/tools/desktop/macos_control_tools.hpp"

#include "app/tools/tool_test_support.hpp"
#include "scratch_dir.hpp"
#include "mcp/codec.hpp"

#include "runtime/runtime.hpp"
#include "support/fifo_trap.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <map>
#include <tuple>
#include <variant>

namespace app::tools {
namespace {

using platform::AccessibleElement;

// An element whose `count` children are made when asked; counts the reads.
struct FakeElement : AccessibleElement {
    platform::ElementAttributes attrs;
    std::size_t count = 0;
    std::function<std::unique_ptr<AccessibleElement>()> child;
    int* reads = nullptr;

    platform::ElementAttributes attributes() override {
        if (reads) ++*reads;
        return attrs;
    }
    std::vector<std::unique_ptr<AccessibleElement>> children(std::size_t limit) override {
        std::vector<std::unique_ptr<AccessibleElement>> out;
        for (std::size_t i = 0; i < count && i < limit; ++i) out.push_back(child());
        return out;
    }
};

std::unique_ptr<AccessibleElement> element(platform::ElementAttributes attrs, std::size_t count = 0,
                                           std::function<std::unique_ptr<AccessibleElement>()> child = {},
                                           int* reads = nullptr) {
    auto e = std::make_unique<FakeElement>();
    std::tie(e->attrs, e->count, e->child, e->reads) = std::tie(attrs, count, child, reads);
    return e;
}

// `width` children everywhere, without end.
std::unique_ptr<AccessibleElement> endlessTree(std::size_t width, int* reads) {
    return element({}, width, [=] { return endlessTree(width, reads); }, reads);
}

struct FakeDesktop : platform::DesktopControl {
    std::vector<AppInfo> apps;
    std::map<std::int32_t, std::function<std::unique_ptr<AccessibleElement>()>> elements;
    std::vector<std::pair<double, double>> clicks;
    std::vector<std::u32string> clusters;
    int finished = 0;
    std::function<void()> typed;  // after each cluster

    std::vector<AppInfo> runningApplications() override { return apps; }
    std::unique_ptr<AccessibleElement> applicationElement(std::int32_t pid) override {
        return elements.contains(pid) ? elements[pid]() : nullptr;
    }
    void click(double x, double y) override { clicks.emplace_back(x, y); }
    void typeCluster(std::u32string_view c) override {
        clusters.emplace_back(c);
        if (typed) typed();
    }
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
    std::string call(const std::string& name, const Arguments& arguments = {}) { return family.handle(name, arguments, {}); }
};

// Every reply or error of the family, the permission asked (or not) first,
// and what reached the desktop.
TEST(MacOSControlTools, RepliesErrorsAndWhatReachesTheDesktop) {
    struct Case {
        std::string name;
        Arguments arguments;
        bool trusted;
        std::variant<std::string, ToolError> expected;
        std::vector<std::pair<double, double>> clicks = {};
        std::vector<std::u32string> clusters = {};
        int asked = 1;
        int giveUpAfter = -1;  // clusters typed before the caller gives up; never when negative
    };
    const std::string denied =
        "Permission Denied. Please grant accessibility permission to 'brisolet' in System Settings.";
    const ToolError noPid("LocalTool", 400, "Missing 'pid' argument or invalid type");
    const ToolError noXY("LocalTool", 400, "Missing 'x' or 'y' argument");
    const ToolError noText("LocalTool", 400, "Missing 'text' argument");
    const std::string kCutShort = "<stopped: not answered as typed>";
    const Case cases[] = {
        {"macos_check_permission", {}, true, "Permission Granted"},
        {"macos_check_permission", {{"junk", 1}}, false,
         "Permission Denied. Please grant accessibility permission in System Settings."},
        {"macos_get_ui_tree", {{"pid", "12"}}, false, denied},  // one check for every working tool
        {"macos_type_text", {}, true, noText},
        {"macos_get_ui_tree", {{"pid", "12"}}, true, noPid},
        {"macos_get_ui_tree", {{"pid", std::int64_t{1} << 31}}, true, noPid},
        {"macos_click_element", {{"x", "10"}, {"y", 5.5}}, true, noXY},
        {"macos_click_element", {{"x", 10.5}}, true, noXY},
        {"macos_type", {}, false, ToolError("MacOSControlTool", 404, "Unknown macOS control tool: macos_type"), {}, {},
         0},
        {"macos_click_element", {{"x", 1e300}, {"y", 300}}, true, "Clicked at (1e+300, 300.0)", {{1e300, 300}}},
        {"macos_click_element", {{"x", std::int64_t{1} << 60}, {"y", 0}}, true,
         "Clicked at (1.152921504606847e+18, 0.0)", {{1152921504606846976.0, 0}}},
        {"macos_type_text", {{"text", ""}}, true, "Typed: "},
        {"macos_type_text", {{"text", "abc"}}, true, kCutShort, {}, {}, 1, 0},
        {"macos_type_text", {{"text", std::string(20000, 'x')}}, true, kCutShort, {}, {U"x", U"x"}, 1, 2},
        {"macos_type_text", {{"text", "e\u0301👩‍👧🇯🇵\r\n\xff"}}, true, "Typed: e\u0301👩‍👧🇯🇵\r\n\xff", {},
         {U"e\u0301", U"👩\u200D👧", U"🇯🇵", U"\r\n", U"\uFFFD"}},
        // No key types a NUL: nothing of the text is typed.
        {"macos_type_text", {{"text", std::string("Meet at 5\0 more", 16)}}, true,
         ToolError("LocalTool", 400, "Text contains a NUL character, which cannot be typed")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name + (c.trusted ? " trusted" : " untrusted"));
        Fixture f;
        f.trust->trusted = c.trusted;
        std::stop_source caller;
        if (c.giveUpAfter == 0) caller.request_stop();
        f.desktop->typed = [&] {
            if (f.desktop->clusters.size() == static_cast<std::size_t>(c.giveUpAfter)) caller.request_stop();
        };
        const auto* reply = std::get_if<std::string>(&c.expected);
        if (reply && *reply == kCutShort) {
            EXPECT_THROW(f.family.handle(c.name, c.arguments, caller.get_token()), rt::Cancelled);
        } else if (reply) {
            EXPECT_EQ(f.family.handle(c.name, c.arguments, caller.get_token()), *reply);
        } else {
            testing::expectToolError([&] { f.call(c.name, c.arguments); }, std::get<ToolError>(c.expected));
        }
        EXPECT_EQ(f.trust->asked, c.asked);
        EXPECT_EQ(f.desktop->clicks, c.clicks);
        EXPECT_EQ(f.desktop->clusters, c.clusters);
        EXPECT_EQ(f.desktop->finished, c.clusters.empty() && c.giveUpAfter < 0 ? 0 : 1);
    }
}

TEST(MacOSControlTools, TreesAsPrettyJson) {
    Fixture f;
    f.desktop->elements[10] = [] {
        return element({"application", "a/b", "", std::nullopt, "", platform::ElementRect{-5, 0, 1280, 1024.5}}, 1,
                       [] { return element({"slider", "", "volume", 42.0, "", std::nullopt}); });
    };
    f.desktop->elements[11] = [] { return element({}); };  // every read failed
    const auto element = [](const char* indent, const char* role, const char* title, const char* description,
                            const char* value, const char* frame) {
        return std::string("{\n") + indent + "  \"role\" : \"" + role + "\",\n" + indent + "  \"title\" : \"" + title +
               "\",\n" + indent + "  \"description\" : \"" + description + "\",\n" + indent + "  \"value\" : \"" +
               value + "\",\n" + indent + "  \"subrole\" : \"\",\n" + indent + "  \"identifier\" : \"\",\n" + indent +
               "  \"frame\" : \"" + frame + "\"";
    };
    const std::pair<std::string, Arguments> cases[] = {
        {element("", "application", "a\\/b", "", "", "(-5.0, 0.0, 1280.0, 1024.5)") + ",\n  \"children\" : [\n    " +
             element("    ", "slider", "", "volume", "42", "") + "\n    }\n  ]\n}",
         {{"pid", 10}}},
        {element("", "", "", "", "", "") + "\n}", {{"pid", 11}}},
        {"Failed to get UI tree or app not found (PID: 12)", {{"pid", 12}}},
    };
    for (const auto& [expected, arguments] : cases) {
        SCOPED_TRACE(expected);
        const std::string reply = f.call("macos_get_ui_tree", arguments);
        EXPECT_EQ(reply, expected);
        if (reply.starts_with("{")) {
            EXPECT_EQ(mcp::encode(mcp::decodeText<UIElement>(reply)), json::parse(reply));
        }
    }
}

TEST(MacOSControlTools, TreeIsBoundedInDepthWidthAndSize) {
    Fixture f;
    int reads = 0;
    f.desktop->elements[1] = [&] { return endlessTree(60, &reads); };
    const json::Value tree = json::parse(f.call("macos_get_ui_tree", {{"pid", 1}}));
    int depth = 0;  // levels below the application along the first children, and the widest
    std::size_t widest = 0;
    for (const json::Value* e = &tree; const json::Value* children = e->find("children"); ++depth) {
        widest = std::max(widest, children->asArray().size());
        e = &children->asArray().front();
    }
    EXPECT_EQ(std::make_pair(depth, widest), std::make_pair(5, std::size_t{50}));
    EXPECT_LE(reads, static_cast<int>(MacOSControlService::kMaxElements));
    MacOSControlService service(std::make_shared<FakeDesktop>());
    EXPECT_EQ(service.elementTree(*endlessTree(1, nullptr), 6, 5), std::nullopt);
}

TEST(DesktopPlatform, AppsAreNamedFromDesktopEntriesOnePerPid) {
    testsupport::ScratchDir data;
    std::filesystem::create_directories(data.file("applications"));
    testsupport::writeFile(data.file("applications/firefox.desktop"),
                           "[Desktop Action new]\nName=New\n[Desktop Entry]\r\nName = Firefox\r\n");
    testsupport::writeFile(data.file("secret.desktop"), "[Desktop Entry]\nName=Outside\n");
    // Any X client chooses its class, which names the file: one may be a FIFO.
    testsupport::FifoTrap trap("[Desktop Entry]\nName=Read from a pipe\n");
    trap.plant(data.file("applications/piped.desktop"));
    const std::pair<platform::WindowClient, AppInfo> cases[] = {
        {{7, {"piped"}, "Piped"}, {"Piped", "", 7}},
        {{3, {"Navigator", "Firefox.desktop"}, "Firefox"}, {"Firefox", "firefox", 3}},
        {{5, {"../secret"}, "Bad\xff"}, {"Bad\xEF\xBF\xBD", "", 5}},
        {{6, {}, ""}, {"Unknown", "", 6}},
        {{3, {}, "Other"}, {}},  // pid 3 again: its first window names it
    };
    std::vector<platform::WindowClient> windows;
    for (const auto& c : cases) windows.push_back(c.first);
    const auto apps = trap.run([&] { return platform::appsFromWindows(windows, {data.path()}); });
    EXPECT_FALSE(trap.sprung) << "a FIFO was opened blocking";
    ASSERT_EQ(apps.size(), 4u);
    for (std::size_t i = 0; i < apps.size(); ++i) EXPECT_EQ(apps[i], cases[i].second) << i;
}

TEST(DesktopPlatform, ScreenCoordinatesNeverOverflow) {
    const std::pair<double, int> cases[] = {{250.4, 250},    {250.5, 251},      {-17.6, -18},
                                            {40000.0, 32767}, {-1e300, -32768}, {std::nan(""), 0}};
    for (const auto& [value, expected] : cases) EXPECT_EQ(platform::screenCoordinate(value), expected) << value;
}

}  // namespace
}  // namespace app::tools
