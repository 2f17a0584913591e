// Top-level windows with a _NET_WM_PID that come and go as fast as X11
// allows, on a connection of their own (kept apart: Xlib's macros clash
// with the test framework's names).
#pragma once

#include <atomic>
#include <chrono>

namespace app::tools::testing {

// Creates, maps and destroys windows until `stop` or the time-out; returns
// how many rounds of 20 windows it made, or -1 when $DISPLAY did not open.
int churnWindows(const std::atomic<bool>& stop, std::chrono::milliseconds timeout);

}  // namespace app::tools::testing
