// A bounded wait for a condition that gives no signal of its own.
#pragma once

#include <chrono>
#include <thread>

namespace testsupport {
// Polls pred until it holds or the time is up; true when it held.
template <class Pred>
bool waitUntil(Pred pred, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

}  // namespace testsupport
