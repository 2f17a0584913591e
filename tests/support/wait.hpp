// Bounded waits: for a condition that gives no signal of its own, and a
// deadline that cancels blocking calls.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stop_token>
#include <thread>

namespace testsupport {
template <class Pred>
bool waitUntil(Pred pred, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Requests stop on its token once the duration has passed, so that no
// blocking call of a test can wait longer.
class Deadline {
public:
    explicit Deadline(std::chrono::steady_clock::duration duration)
        : thread_([this, duration](std::stop_token own) {
              std::mutex mutex;
              std::condition_variable_any cv;
              std::unique_lock lock(mutex);
              cv.wait_for(lock, own, duration, [] { return false; });
              if (!own.stop_requested()) source_.request_stop();
          }) {}
    std::stop_token token() const { return source_.get_token(); }

private:
    std::stop_source source_;
    std::jthread thread_;
};

}  // namespace testsupport
