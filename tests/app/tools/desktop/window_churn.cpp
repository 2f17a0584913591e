#include "window_churn.hpp"

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <vector>

namespace app::tools::testing {

int churnWindows(const std::atomic<bool>& stop, std::chrono::milliseconds timeout) {
    Display* dpy = XOpenDisplay(nullptr);
    if (!dpy) return -1;
    const Atom pidAtom = XInternAtom(dpy, "_NET_WM_PID", False);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int rounds = 0;
    while (!stop && std::chrono::steady_clock::now() < deadline) {
        std::vector<Window> windows;
        for (int i = 0; i < 20; ++i) {
            Window w = XCreateSimpleWindow(dpy, DefaultRootWindow(dpy), i, i, 10, 10, 0, 0, 0);
            unsigned long pid = 4000000 + static_cast<unsigned long>(i);
            XChangeProperty(dpy, w, pidAtom, XA_CARDINAL, 32, PropModeReplace, reinterpret_cast<unsigned char*>(&pid),
                            1);
            XMapWindow(dpy, w);
            windows.push_back(w);
        }
        XFlush(dpy);
        for (Window w : windows) XDestroyWindow(dpy, w);
        XSync(dpy, False);
        ++rounds;
    }
    XCloseDisplay(dpy);
    return rounds;
}

}  // namespace app::tools::testing
