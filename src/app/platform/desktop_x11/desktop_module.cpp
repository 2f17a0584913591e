// The desktop module: X11 windows, XTest input and AT-SPI elements. Loaded by
// the program on first use so that these libraries never slow its start-up.
#include "app/platform/desktop_module.hpp"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <atspi/atspi.h>
#include <dbus/dbus.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <cstdlib>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace app::platform {
namespace {

// Xlib's default handlers end the process. A request on a window that went
// away between listing and reading fails with its own status and the window
// is skipped; a lost connection marks the display dead instead of exiting.
int skipXError(Display*, XErrorEvent*) { return 0; }
int skipXIOError(Display*) { return 0; }
void keepProcessOnIOError(Display*, void* dead) { *static_cast<bool*>(dead) = true; }

void installXErrorHandlers() {
    static std::once_flag once;
    std::call_once(once, [] {
        XSetErrorHandler(skipXError);
        XSetIOErrorHandler(skipXIOError);
    });
}

class Connection {
public:
    Connection() {
        installXErrorHandlers();
        const char* name = std::getenv("DISPLAY");
        if (!name || !*name) return;
        display_ = XOpenDisplay(name);
        if (display_) XSetIOErrorExitHandler(display_, keepProcessOnIOError, &dead_);
    }
    ~Connection() {
        if (display_) XCloseDisplay(display_);
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    Display* get() const { return dead_ ? nullptr : display_; }
    explicit operator bool() const { return get() != nullptr; }

    bool hasXTest() const {
        int event = 0, error = 0, major = 0, minor = 0;
        return get() && XTestQueryExtension(display_, &event, &error, &major, &minor);
    }

private:
    Display* display_ = nullptr;
    bool dead_ = false;
};

constexpr unsigned long kMaxWindows = 4096;
constexpr long kMaxPropertyWords = 1024;

// A window property's items; empty when the window is gone or lacks it.
template <class Item>
std::vector<Item> readProperty(Display* dpy, Window w, Atom property, Atom type, int wantFormat) {
    Atom actualType = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    std::vector<Item> items;
    if (XGetWindowProperty(dpy, w, property, 0, kMaxPropertyWords, False, type, &actualType, &format, &count, &after,
                           &data) != Success) {
        return items;
    }
    if (data && format == wantFormat && actualType == type) {
        const auto* begin = reinterpret_cast<const Item*>(data);
        items.assign(begin, begin + count);
    }
    if (data) XFree(data);
    return items;
}

std::string textProperty(Display* dpy, Window w, const char* name) {
    const Atom utf8 = XInternAtom(dpy, "UTF8_STRING", False);
    auto bytes = readProperty<char>(dpy, w, XInternAtom(dpy, name, False), utf8, 8);
    return std::string(bytes.begin(), bytes.end());
}

std::vector<Window> topLevelWindows(Display* dpy) {
    const Window root = DefaultRootWindow(dpy);
    auto listed = readProperty<unsigned long>(dpy, root, XInternAtom(dpy, "_NET_CLIENT_LIST", False), XA_WINDOW, 32);
    std::vector<Window> windows(listed.begin(), listed.end());
    if (!windows.empty()) return windows;
    // No window manager: the viewable children of the root.
    Window rootReturn = 0, parent = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(dpy, root, &rootReturn, &parent, &children, &count)) return windows;
    for (unsigned int i = 0; i < count && windows.size() < kMaxWindows; ++i) {
        XWindowAttributes attributes;
        if (XGetWindowAttributes(dpy, children[i], &attributes) && attributes.map_state == IsViewable) {
            windows.push_back(children[i]);
        }
    }
    if (children) XFree(children);
    return windows;
}

// ---- AT-SPI -------------------------------------------------------------

constexpr int kDBusTimeoutMs = 1000;
constexpr int kAtspiTimeoutMs = 1000;
constexpr int kMaxTextCharacters = 100000;
constexpr int kMainLoopTurns = 1000;

// A bus at `address` answers a Hello within the time-out.
bool busAnswers(const std::string& address, DBusConnection** keep = nullptr) {
    DBusError error;
    dbus_error_init(&error);
    DBusConnection* connection = dbus_connection_open_private(address.c_str(), &error);
    dbus_error_free(&error);
    if (!connection) return false;
    DBusMessage* hello =
        dbus_message_new_method_call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "Hello");
    DBusMessage* reply = dbus_connection_send_with_reply_and_block(connection, hello, kDBusTimeoutMs, &error);
    dbus_message_unref(hello);
    dbus_error_free(&error);
    const bool ok = reply != nullptr;
    if (reply) dbus_message_unref(reply);
    if (ok && keep) {
        *keep = connection;
        return true;
    }
    dbus_connection_close(connection);
    dbus_connection_unref(connection);
    return ok;
}

// libatspi aborts the process when it finds no accessibility bus, and would
// start a session bus of its own when none is set: ask first, with time-outs,
// at the address it would take (environment, root window, session bus).
bool accessibilityBusExists() {
    const char* session = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (!session || !*session) return false;
    if (const char* direct = std::getenv("AT_SPI_BUS_ADDRESS"); direct && *direct) return busAnswers(direct);
    if (Connection x; x) {
        auto bytes = readProperty<char>(x.get(), DefaultRootWindow(x.get()), XInternAtom(x.get(), "AT_SPI_BUS", False),
                                        XA_STRING, 8);
        if (!bytes.empty()) return busAnswers(std::string(bytes.begin(), bytes.end()));
    }
    DBusConnection* connection = nullptr;
    if (!busAnswers(session, &connection)) return false;
    std::string address;
    DBusMessage* call = dbus_message_new_method_call("org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress");
    DBusError error;
    dbus_error_init(&error);
    DBusMessage* reply = dbus_connection_send_with_reply_and_block(connection, call, kDBusTimeoutMs, &error);
    dbus_message_unref(call);
    const char* text = nullptr;
    if (reply && dbus_message_get_args(reply, &error, DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID) && text) {
        address = text;
    }
    dbus_error_free(&error);
    if (reply) dbus_message_unref(reply);
    dbus_connection_close(connection);
    dbus_connection_unref(connection);
    return !address.empty() && busAnswers(address);
}

std::string takeText(gchar* text) {
    std::string out = text ? text : "";
    g_free(text);
    return out;
}

// Runs the queued bus messages (new and gone applications) without blocking.
void pumpMainContext() {
    for (int i = 0; i < kMainLoopTurns && g_main_context_iteration(nullptr, FALSE); ++i) {
    }
}

// libatspi keeps process-wide state and a call into it may never return (an
// application that stops answering, a nested dispatch that waits on itself):
// it is used from one thread of its own, and a caller waits for each call only
// until its deadline. A call still running then is abandoned, not waited for.
class AtspiThread {
public:
    using Deadline = std::chrono::steady_clock::time_point;

    // The job's result, or none when the deadline passed first; `discard`
    // then receives a result that comes too late.
    template <class T>
    std::optional<T> call(Deadline deadline, std::function<T()> job, std::function<void(T&)> discard = {}) {
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        struct State {
            std::optional<T> value;
            bool abandoned = false;
        };
        auto state = std::make_shared<State>();
        post([this, state, job = std::move(job), discard = std::move(discard)] {
            if (std::lock_guard lock(mutex_); state->abandoned) return;
            T value = job();
            std::lock_guard lock(mutex_);
            if (state->abandoned) {
                if (discard) discard(value);
                return;
            }
            state->value = std::move(value);
            answered_.notify_all();
        });
        std::unique_lock lock(mutex_);
        if (!answered_.wait_until(lock, deadline, [&] { return state->value.has_value(); })) {
            state->abandoned = true;
            return std::nullopt;
        }
        return std::move(state->value);
    }

    void post(std::function<void()> job) {
        std::lock_guard lock(mutex_);
        jobs_.push_back(std::move(job));
        if (!thread_.joinable()) thread_ = std::jthread([this](std::stop_token stop) { serve(stop); });
        queued_.notify_one();
    }

private:
    void serve(std::stop_token stop) {
        std::unique_lock lock(mutex_);
        while (queued_.wait(lock, stop, [this] { return !jobs_.empty(); })) {
            auto job = std::move(jobs_.front());
            jobs_.pop_front();
            lock.unlock();
            job();
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable_any queued_;
    std::condition_variable_any answered_;
    std::deque<std::function<void()>> jobs_;
    std::jthread thread_;  // never joined: the module lives as long as the process
};

// One tree read: the thread and the deadline every call of it shares.
struct AtspiWalk {
    AtspiThread& thread;
    AtspiThread::Deadline deadline;
};

ElementAttributes readAttributes(AtspiAccessible* accessible) {
    ElementAttributes out;
    GError* error = nullptr;
    const auto ok = [&] {
        const bool good = error == nullptr;
        g_clear_error(&error);
        return good;
    };
    out.role = takeText(atspi_accessible_get_role_name(accessible, &error));
    ok();
    out.title = takeText(atspi_accessible_get_name(accessible, &error));
    ok();
    out.description = takeText(atspi_accessible_get_description(accessible, &error));
    ok();
    if (AtspiValue* value = atspi_accessible_get_value_iface(accessible)) {
        const double current = atspi_value_get_current_value(value, &error);
        if (ok()) out.numericValue = current;
        g_object_unref(value);
    } else if (AtspiText* text = atspi_accessible_get_text_iface(accessible)) {
        const gint count = atspi_text_get_character_count(text, &error);
        if (ok() && count > 0) {
            out.textValue = takeText(atspi_text_get_text(text, 0, std::min(count, kMaxTextCharacters), &error));
            if (!ok()) out.textValue.clear();
        }
        g_object_unref(text);
    }
    if (AtspiComponent* component = atspi_accessible_get_component_iface(accessible)) {
        AtspiRect* rect = atspi_component_get_extents(component, ATSPI_COORD_TYPE_SCREEN, &error);
        if (ok() && rect) out.frame = ElementRect{double(rect->x), double(rect->y), double(rect->width), double(rect->height)};
        g_free(rect);
        g_object_unref(component);
    }
    return out;
}

std::vector<AtspiAccessible*> readChildren(AtspiAccessible* accessible, std::size_t limit) {
    std::vector<AtspiAccessible*> out;
    GError* error = nullptr;
    const gint count = atspi_accessible_get_child_count(accessible, &error);
    if (error) {
        g_clear_error(&error);
        return out;
    }
    for (gint i = 0; i < count && out.size() < limit; ++i) {
        AtspiAccessible* child = atspi_accessible_get_child_at_index(accessible, i, &error);
        g_clear_error(&error);
        if (child) out.push_back(child);
    }
    return out;
}

void unrefAll(std::vector<AtspiAccessible*>& accessibles) {
    for (AtspiAccessible* a : accessibles) g_object_unref(a);
}

// An element read through the AT-SPI thread; past the walk's deadline every
// read fails at once (empty texts, no children).
class AtspiElement : public AccessibleElement {
public:
    AtspiElement(AtspiAccessible* accessible, std::shared_ptr<const AtspiWalk> walk)
        : accessible_(accessible), walk_(std::move(walk)) {}
    ~AtspiElement() override {
        walk_->thread.post([a = accessible_] { g_object_unref(a); });
    }
    AtspiElement(const AtspiElement&) = delete;
    AtspiElement& operator=(const AtspiElement&) = delete;

    ElementAttributes attributes() override {
        return walk_->thread
            .call<ElementAttributes>(walk_->deadline, [a = accessible_] { return readAttributes(a); })
            .value_or(ElementAttributes{});
    }

    std::vector<std::unique_ptr<AccessibleElement>> children(std::size_t limit) override {
        std::vector<std::unique_ptr<AccessibleElement>> out;
        auto found = walk_->thread.call<std::vector<AtspiAccessible*>>(
            walk_->deadline, [a = accessible_, limit] { return readChildren(a, limit); }, unrefAll);
        for (AtspiAccessible* child : found.value_or(std::vector<AtspiAccessible*>{}))
            out.push_back(std::make_unique<AtspiElement>(child, walk_));
        return out;
    }

private:
    AtspiAccessible* accessible_;  // referenced, touched only on the AT-SPI thread
    std::shared_ptr<const AtspiWalk> walk_;
};

// ---- Keyboard -----------------------------------------------------------

KeySym keysymFor(char32_t c) {
    switch (c) {
        case U'\n':
        case U'\r':
            return XK_Return;
        case U'\t':
            return XK_Tab;
        case U'\b':
            return XK_BackSpace;
        default:
            break;
    }
    if (c < 0x20 || (c >= 0x7F && c < 0xA0) || c > 0x10FFFF) return NoSymbol;
    if (c < 0x100) return c;  // Latin-1 keysyms are the code points
    return 0x01000000 | c;
}

// One connection for a whole text. Characters the keymap lacks are bound to
// spare (empty) keycodes for the purpose; all of them are emptied again once
// typing has stopped for a while.
class Keyboard {
public:
    Keyboard() : display_(std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "") {
        if (!connection_.hasXTest()) return;
        Display* dpy = connection_.get();
        XDisplayKeycodes(dpy, &minKeycode_, &maxKeycode_);
        KeySym* map = XGetKeyboardMapping(dpy, minKeycode_, maxKeycode_ - minKeycode_ + 1, &perKeycode_);
        if (!map) return;
        map_.assign(map, map + (maxKeycode_ - minKeycode_ + 1) * perKeycode_);
        XFree(map);
        for (int kc = minKeycode_; kc <= maxKeycode_; ++kc) {
            const auto row = map_.begin() + (kc - minKeycode_) * perKeycode_;
            if (std::all_of(row, row + perKeycode_, [](KeySym s) { return s == NoSymbol; })) spares_.push_back(kc);
        }
        shift_ = XKeysymToKeycode(dpy, XK_Shift_L);
        ready_ = perKeycode_ > 0;
    }
    ~Keyboard() { restore(); }
    Keyboard(const Keyboard&) = delete;
    Keyboard& operator=(const Keyboard&) = delete;

    void type(char32_t c) {
        const KeySym sym = keysymFor(c);
        if (!ready_ || sym == NoSymbol) return;
        bool shifted = false;
        int keycode = find(sym, shifted);
        if (keycode == 0) keycode = bind(sym);
        if (keycode == 0) return;
        Display* dpy = connection_.get();
        if (!dpy) return;
        if (shifted && shift_) XTestFakeKeyEvent(dpy, shift_, True, CurrentTime);
        XTestFakeKeyEvent(dpy, keycode, True, CurrentTime);
        XTestFakeKeyEvent(dpy, keycode, False, CurrentTime);
        if (shifted && shift_) XTestFakeKeyEvent(dpy, shift_, False, CurrentTime);
        XSync(dpy, False);
    }

    void restore() {
        Display* dpy = connection_.get();
        if (!dpy || bound_.empty()) return;
        std::vector<KeySym> empty(static_cast<std::size_t>(perKeycode_), NoSymbol);
        for (const auto& [keycode, sym] : bound_) XChangeKeyboardMapping(dpy, keycode, perKeycode_, empty.data(), 1);
        XSync(dpy, False);
        bound_.clear();
    }

    bool opened(const char* display) const { return display_ == (display ? display : ""); }

private:
    // Clients fetch the keymap when told it changed; give them time to read
    // the binding before it changes again.
    static void settle() { std::this_thread::sleep_for(std::chrono::milliseconds(100)); }

    KeySym at(int keycode, int level) const {
        return map_[static_cast<std::size_t>((keycode - minKeycode_) * perKeycode_ + level)];
    }

    int find(KeySym sym, bool& shifted) const {
        for (int level = 0; level < std::min(perKeycode_, 2); ++level) {
            for (int kc = minKeycode_; kc <= maxKeycode_; ++kc) {
                if (at(kc, level) == sym) {
                    shifted = level == 1;
                    return kc;
                }
            }
        }
        return 0;
    }

    int bind(KeySym sym) {
        if (spares_.empty()) return 0;
        Display* dpy = connection_.get();
        if (!dpy) return 0;
        const int keycode = spares_[next_ % spares_.size()];
        if (++next_ > spares_.size() && !bound_.empty()) settle();  // reusing a spare bound in this text
        std::vector<KeySym> row(static_cast<std::size_t>(perKeycode_), NoSymbol);
        row[0] = sym;
        if (perKeycode_ > 1) row[1] = sym;
        XChangeKeyboardMapping(dpy, keycode, perKeycode_, row.data(), 1);
        XSync(dpy, False);
        std::copy(row.begin(), row.end(), map_.begin() + (keycode - minKeycode_) * perKeycode_);
        bound_[keycode] = sym;
        return keycode;
    }

    std::string display_;
    Connection connection_;
    bool ready_ = false;
    int minKeycode_ = 0, maxKeycode_ = 0, perKeycode_ = 0;
    KeyCode shift_ = 0;
    std::vector<KeySym> map_;
    std::vector<int> spares_;
    std::size_t next_ = 0;
    std::map<int, KeySym> bound_;
};

// ---- The module ---------------------------------------------------------

class X11DesktopModule : public DesktopModule {
public:
    bool displayHasXTest() override { return Connection().hasXTest(); }

    std::vector<WindowClient> windowClients() override {
        std::vector<WindowClient> out;
        Connection connection;
        Display* dpy = connection.get();
        if (!dpy) return out;
        const Atom pidAtom = XInternAtom(dpy, "_NET_WM_PID", False);
        for (Window w : topLevelWindows(dpy)) {
            auto pid = readProperty<unsigned long>(dpy, w, pidAtom, XA_CARDINAL, 32);
            if (pid.empty() || pid[0] == 0 || pid[0] > 0x7FFFFFFF) continue;
            WindowClient client;
            client.pid = static_cast<std::int32_t>(pid[0]);
            for (const char* hint : {"_GTK_APPLICATION_ID", "_KDE_NET_WM_DESKTOP_FILE"}) {
                if (auto id = textProperty(dpy, w, hint); !id.empty()) client.desktopIds.push_back(id);
            }
            XClassHint hint{};
            if (XGetClassHint(dpy, w, &hint)) {
                if (hint.res_name && *hint.res_name) client.desktopIds.emplace_back(hint.res_name);
                if (hint.res_class && *hint.res_class) {
                    client.desktopIds.emplace_back(hint.res_class);
                    client.className = hint.res_class;
                }
                if (hint.res_name) XFree(hint.res_name);
                if (hint.res_class) XFree(hint.res_class);
            }
            out.push_back(std::move(client));
            if (!connection) break;
        }
        return out;
    }

    std::unique_ptr<AccessibleElement> applicationElement(std::int32_t pid) override {
        auto walk = std::make_shared<const AtspiWalk>(AtspiWalk{atspi_, std::chrono::steady_clock::now() + kTreeTime});
        auto app = atspi_.call<AtspiAccessible*>(
            walk->deadline, [this, pid] { return findApplication(pid); },
            [](AtspiAccessible*& late) {
                if (late) g_object_unref(late);
            });
        if (!app || !*app) return nullptr;
        return std::make_unique<AtspiElement>(*app, std::move(walk));
    }

    void click(int x, int y) override {
        Connection connection;
        if (!connection.hasXTest()) return;
        Display* dpy = connection.get();
        XTestFakeMotionEvent(dpy, -1, x, y, CurrentTime);
        XTestFakeButtonEvent(dpy, Button1, True, CurrentTime);
        XSync(dpy, False);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (!connection) return;
        XTestFakeButtonEvent(dpy, Button1, False, CurrentTime);
        XSync(dpy, False);
    }

    void typeCodePoints(std::u32string_view codePoints) override {
        std::lock_guard lock(keyboardMutex_);
        restoreAt_.reset();
        if (keyboard_ && !keyboard_->opened(std::getenv("DISPLAY"))) keyboard_.reset();
        if (!keyboard_) keyboard_ = std::make_unique<Keyboard>();
        // A CR LF pair is one line break, not two presses of Return.
        if (codePoints == U"\r\n") codePoints.remove_prefix(1);
        for (char32_t c : codePoints) keyboard_->type(c);
    }

    // A client reads the keymap when it comes to the notice of a change, not
    // when the change was made: one still busy with earlier keys (painting a
    // glyph from a fallback font, say) would find an emptied binding and lose
    // the character. So bindings are emptied only after a quiet while.
    void restoreKeyboard() override {
        std::lock_guard lock(keyboardMutex_);
        if (!keyboard_) return;
        restoreAt_ = std::chrono::steady_clock::now() + kQuietBeforeRestore;
        if (!restorer_.joinable()) restorer_ = std::jthread([this](std::stop_token stop) { restoreWhenQuiet(stop); });
        restoreDue_.notify_one();
    }

private:
    // On the AT-SPI thread.
    bool atspiReady() {
        if (atspiStarted_) return true;
        if (!accessibilityBusExists()) return false;
        atspi_set_timeout(kAtspiTimeoutMs, kAtspiTimeoutMs);
        atspiStarted_ = atspi_init() >= 0;
        return atspiStarted_;
    }

    // On the AT-SPI thread: the application of the process, referenced, or null.
    AtspiAccessible* findApplication(std::int32_t pid) {
        if (!atspiReady()) return nullptr;
        pumpMainContext();
        AtspiAccessible* desktop = atspi_get_desktop(0);
        if (!desktop) return nullptr;
        atspi_accessible_clear_cache(desktop);
        GError* error = nullptr;
        const gint count = atspi_accessible_get_child_count(desktop, &error);
        g_clear_error(&error);
        AtspiAccessible* found = nullptr;
        for (gint i = 0; i < count && !found; ++i) {
            AtspiAccessible* app = atspi_accessible_get_child_at_index(desktop, i, &error);
            g_clear_error(&error);
            if (!app) continue;
            const guint appPid = atspi_accessible_get_process_id(app, &error);
            const bool match = !error && appPid == static_cast<guint>(pid);
            g_clear_error(&error);
            if (match) {
                // Nothing runs libatspi's event loop between reads: read afresh.
                // (Turning the cache off instead makes GTK3 applications
                // deadlock libatspi in a nested dispatch.)
                atspi_accessible_clear_cache(app);
                found = app;
            } else {
                g_object_unref(app);
            }
        }
        g_object_unref(desktop);
        return found;
    }

    void restoreWhenQuiet(std::stop_token stop) {
        std::unique_lock lock(keyboardMutex_);
        while (!stop.stop_requested()) {
            if (!restoreAt_) {
                restoreDue_.wait(lock, stop, [this] { return restoreAt_.has_value(); });
            } else if (const auto due = *restoreAt_; !restoreDue_.wait_until(lock, stop, due, [this] { return !restoreAt_; })) {
                if (restoreAt_ && std::chrono::steady_clock::now() >= *restoreAt_) {  // not put off meanwhile
                    restoreAt_.reset();
                    keyboard_.reset();
                }
            }
        }
    }

    static constexpr std::chrono::seconds kQuietBeforeRestore{3};
    // A whole tree read, however many elements or however slow the application.
    static constexpr std::chrono::seconds kTreeTime{5};

    AtspiThread atspi_;
    bool atspiStarted_ = false;  // on the AT-SPI thread
    std::mutex keyboardMutex_;
    std::condition_variable_any restoreDue_;
    std::optional<std::chrono::steady_clock::time_point> restoreAt_;
    std::unique_ptr<Keyboard> keyboard_;
    std::jthread restorer_;  // never joined: the module lives as long as the process
};

}  // namespace
}  // namespace app::platform

extern "C" __attribute__((visibility("default"))) int brisolet_desktop_interface_version() {
    return app::platform::kDesktopModuleVersion;
}

extern "C" __attribute__((visibility("default"))) app::platform::DesktopModule* brisolet_desktop_module() {
    // Never destroyed: libatspi's own state outlives any static order.
    static auto* module = new app::platform::X11DesktopModule();
    return module;
}
