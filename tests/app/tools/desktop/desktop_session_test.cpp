// The family on a real desktop: a private Xvfb, session bus and
// accessibility bus started here, and a small Qt window to act on.
#include "app/platform/desktop_control.hpp"
#include "app/tools/desktop/macos_control_tools.hpp"
#include "json/json.hpp"
#include "scratch_dir.hpp"
#include "window_churn.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace app::tools {
namespace {

using namespace std::chrono_literals;

// A program in a process group of its own (so helpers it starts go with it),
// its standard output on a pipe when asked.
class Program {
public:
    Program(const std::vector<std::string>& argv, bool capture, int passFd = -1) {
        if (::access(argv[0].c_str(), X_OK) != 0) {
            error_ = "required program missing: " + argv[0];
            return;
        }
        int out[2] = {-1, -1};
        if (capture && ::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (capture) posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        if (passFd >= 0) posix_spawn_file_actions_adddup2(&actions, passFd, passFd);  // clears close-on-exec
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attributes, 0);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        if (::posix_spawn(&pid_, argv[0].c_str(), &actions, &attributes, args.data(), environ) != 0) {
            pid_ = -1;
            error_ = "cannot start " + argv[0];
        }
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
        if (capture) {
            ::close(out[1]);
            out_ = out[0];
        }
    }
    ~Program() {
        if (pid_ > 0) {
            ::kill(-pid_, SIGTERM);
            const auto deadline = std::chrono::steady_clock::now() + 3s;
            while (::waitpid(pid_, nullptr, WNOHANG) == 0) {
                if (std::chrono::steady_clock::now() > deadline) {
                    ::kill(-pid_, SIGKILL);
                    ::waitpid(pid_, nullptr, 0);
                    break;
                }
                std::this_thread::sleep_for(10ms);
            }
            ::kill(-pid_, SIGKILL);  // helpers that outlived their parent
        }
        if (out_ >= 0) ::close(out_);
    }
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    int pid() const { return pid_; }
    const std::string& error() const { return error_; }

    // The next output line, or nullopt at the end or past the time-out.
    std::optional<std::string> readLine(std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            if (auto nl = buffer_.find('\n'); nl != std::string::npos) {
                std::string line = buffer_.substr(0, nl);
                buffer_.erase(0, nl + 1);
                return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd p{out_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return std::nullopt;
            char chunk[4096];
            const ssize_t n = ::read(out_, chunk, sizeof chunk);
            if (n <= 0) return std::nullopt;
            buffer_.append(chunk, static_cast<std::size_t>(n));
        }
    }

    // Lines until one starts with `prefix`; its remainder, or nullopt.
    std::optional<std::string> waitFor(const std::string& prefix, std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (auto line = readLine(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()))) {
            if (line->rfind(prefix, 0) == 0) return line->substr(prefix.size());
        }
        return std::nullopt;
    }

private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string buffer_;
    std::string error_;
};

// An Xvfb on a free display number; display() is ":N", or empty on failure.
struct Xvfb {
    std::unique_ptr<Program> program;
    std::string display;
    explicit Xvfb(std::vector<std::string> extra = {}) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return;
        std::vector<std::string> argv = {"/usr/bin/Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0",
                                         "1280x1024x24", "-nolisten", "tcp"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        program = std::make_unique<Program>(argv, false, fds[1]);
        ::close(fds[1]);
        std::string number;
        pollfd p{fds[0], POLLIN, 0};
        char c;
        while (program->error().empty() && ::poll(&p, 1, 10000) > 0 && ::read(fds[0], &c, 1) == 1 && c != '\n') {
            number += c;
        }
        ::close(fds[0]);
        if (!number.empty()) display = ":" + number;
    }
    std::string error() const {
        if (!program->error().empty()) return program->error();
        return display.empty() ? "Xvfb did not report its display" : "";
    }
};

std::string hex(const std::string& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) out += {digits[c >> 4], digits[c & 15]};
    return out;
}

// One desktop for the whole suite: Xvfb, a session bus, the accessibility
// bus launcher, and the test window. Any missing piece fails every test.
class DesktopSession : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        xvfb_ = new Xvfb();
        if (!(error_ = xvfb_->error()).empty()) return;
        ::setenv("DISPLAY", xvfb_->display.c_str(), 1);
        ::unsetenv("AT_SPI_BUS_ADDRESS");
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return;
        bus_ = new Program({"/usr/bin/dbus-daemon", "--session", "--nofork", "--print-address=" + std::to_string(fds[1])},
                           false, fds[1]);
        ::close(fds[1]);
        std::string address;
        pollfd p{fds[0], POLLIN, 0};
        char c;
        while (bus_->error().empty() && ::poll(&p, 1, 10000) > 0 && ::read(fds[0], &c, 1) == 1 && c != '\n') address += c;
        ::close(fds[0]);
        if (!(error_ = bus_->error()).empty()) return;
        if (address.empty()) {
            error_ = "dbus-daemon did not report its address";
            return;
        }
        ::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
        launcher_ = new Program({"/usr/libexec/at-spi-bus-launcher", "--launch-immediately"}, false);
        if (!(error_ = launcher_->error()).empty()) return;
        ::setenv("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1", 1);
        ::setenv("QT_QPA_PLATFORM", "xcb", 1);
        window_ = new Program({DESKTOP_TEST_WINDOW}, true);
        if (!(error_ = window_->error()).empty()) return;
        if (!window_->waitFor("ready", 20s)) error_ = "the test window did not come up";
    }
    static void TearDownTestSuite() {
        delete window_;
        delete launcher_;
        delete bus_;
        delete xvfb_;
    }
    void SetUp() override { ASSERT_EQ(error_, ""); }

    std::string call(const std::string& name, const Arguments& arguments = {}) {
        return family_.handle(name, arguments, {});
    }

    // Asks for the window's tree until it shows, at most 20 s.
    std::optional<json::Value> windowTree() {
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (std::chrono::steady_clock::now() < deadline) {
            const std::string reply = call("macos_get_ui_tree", {{"pid", window_->pid()}});
            if (reply.front() == '{') return json::parse(reply);
            std::this_thread::sleep_for(100ms);
        }
        return std::nullopt;
    }

    static inline std::string error_;
    static inline Xvfb* xvfb_ = nullptr;
    static inline Program* bus_ = nullptr;
    static inline Program* launcher_ = nullptr;
    static inline Program* window_ = nullptr;

    std::shared_ptr<platform::DesktopModuleLoader> loader_ = std::make_shared<platform::DesktopModuleLoader>(nullptr);
    MacOSControlToolFamily family_{std::make_shared<platform::X11AccessibilityTrust>(loader_),
                                   std::make_shared<platform::X11DesktopControl>(loader_)};
};

// Depth-first search for an element with this role and value.
bool holds(const json::Value& element, const std::string& role, const std::string& value) {
    if (element.find("role")->asString() == role && element.find("value")->asString() == value) return true;
    if (const json::Value* children = element.find("children")) {
        for (const auto& child : children->asArray()) {
            if (holds(child, role, value)) return true;
        }
    }
    return false;
}

TEST_F(DesktopSession, ClickAndTypeReachTheWindowExactly) {
    EXPECT_EQ(call("macos_check_permission"), "Permission Granted");
    EXPECT_EQ(call("macos_click_element", {{"x", 300}, {"y", 250.4}}), "Clicked at (300.0, 250.4)");
    EXPECT_EQ(window_->waitFor("click ", 10s), std::optional<std::string>("300 250"));

    const std::string text = "日本語のテキスト\tab\nA😀!";
    EXPECT_EQ(call("macos_type_text", {{"text", text}}), "Typed: " + text);
    std::optional<std::string> shown;
    while (auto line = window_->waitFor("text ", 10s)) {
        shown = line;
        if (*line == hex(text)) break;
    }
    EXPECT_EQ(shown, hex(text));

    auto tree = windowTree();
    ASSERT_TRUE(tree) << "the window's element tree never showed";
    EXPECT_EQ(tree->find("role")->asString(), "application");
    EXPECT_TRUE(holds(*tree, "text", text)) << json::write(*tree, {.pretty = true});
}

TEST_F(DesktopSession, ListsTheWindowWithItsPid) {
    testsupport::ScratchDir data;
    std::filesystem::create_directories(data.file("applications"));
    testsupport::writeFile(data.file("applications/desktop_test_window.desktop"),
                           "[Desktop Entry]\nType=Application\nName=Brisolet Test Window\n");
    ::setenv("XDG_DATA_HOME", data.path().c_str(), 1);
    const json::Value apps = json::parse(call("macos_list_apps"));
    ::unsetenv("XDG_DATA_HOME");
    int found = 0;
    for (const auto& app : apps.asArray()) {
        if (app.find("processIdentifier")->asInt() != window_->pid()) continue;
        ++found;
        EXPECT_EQ(app.find("name")->asString(), "Brisolet Test Window");
        EXPECT_EQ(app.find("bundleIdentifier")->asString(), "desktop_test_window");
    }
    EXPECT_EQ(found, 1) << json::write(apps);
    EXPECT_EQ(call("macos_get_ui_tree", {{"pid", 999999999}}), "Failed to get UI tree or app not found (PID: 999999999)");
}

// Windows that come and go while the list is read: reads of a window already
// gone are skipped, never the end of the process.
TEST_F(DesktopSession, WindowsDestroyedMidListingAreSkipped) {
    std::atomic<bool> stop = false;
    int rounds = 0;
    std::thread churn([&] { rounds = testing::churnWindows(stop, 10s); });
    bool sawWindow = false;
    for (int i = 0; i < 200; ++i) {
        const json::Value apps = json::parse(call("macos_list_apps"));
        for (const auto& app : apps.asArray()) sawWindow |= app.find("processIdentifier")->asInt() == window_->pid();
    }
    stop = true;
    churn.join();
    EXPECT_GT(rounds, 0);
    EXPECT_TRUE(sawWindow);
}

TEST(DesktopTrust, FollowsTheDisplayAndItsXTest) {
    Xvfb plain;
    Xvfb withoutXTest({"-extension", "XTEST"});
    ASSERT_EQ(plain.error(), "");
    ASSERT_EQ(withoutXTest.error(), "");
    auto loader = std::make_shared<platform::DesktopModuleLoader>(nullptr);
    platform::X11AccessibilityTrust trust(loader);
    const std::pair<const char*, bool> cases[] = {
        {"", false}, {":4242", false}, {withoutXTest.display.c_str(), false}, {plain.display.c_str(), true}};
    for (const auto& [display, trusted] : cases) {
        SCOPED_TRACE(display);
        ::setenv("DISPLAY", display, 1);
        EXPECT_EQ(trust.isProcessTrusted(true), trusted);
    }
    ::unsetenv("DISPLAY");
}

}  // namespace
}  // namespace app::tools
