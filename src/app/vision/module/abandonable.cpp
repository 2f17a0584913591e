#include "app/vision/module/abandonable.hpp"

#include <chrono>
#include <cstdlib>

namespace app::vision::module::detail {

namespace {

struct Running {
    std::mutex mutex;
    std::condition_variable idle;
    int count = 0;
};

// Never destroyed: work may end while the process exits.
Running& running() {
    static auto& running = *new Running;
    return running;
}

// Registered when the first work starts, after the statics of what runs
// before it (the callers warm their libraries up first), so it runs before
// those go. Bounded: work that never ends does not hold the exit.
void waitForRunningWork() {
    Running& r = running();
    std::unique_lock lock(r.mutex);
    r.idle.wait_for(lock, std::chrono::seconds(5), [&] { return r.count == 0; });
}

}  // namespace

void abandonableStarted() {
    static std::once_flag registered;
    std::call_once(registered, [] { std::atexit(waitForRunningWork); });
    std::lock_guard lock(running().mutex);
    ++running().count;
}

void abandonableEnded() {
    Running& r = running();
    {
        std::lock_guard lock(r.mutex);
        --r.count;
    }
    r.idle.notify_all();
}

}  // namespace app::vision::module::detail
