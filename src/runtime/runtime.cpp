#include "runtime/runtime.hpp"

#include <cstdio>

namespace rt {

void sleepFor(Clock::duration duration, std::stop_token stop) {
    if (stop.stop_requested()) throw Cancelled();
    if (duration <= Clock::duration::zero()) return;
    std::mutex mutex;
    std::condition_variable_any cv;
    std::unique_lock lock(mutex);
    const auto deadline = Clock::now() + duration;
    // No predicate becomes true: only stop or the deadline end the wait.
    cv.wait_until(lock, stop, deadline, [] { return false; });
    if (stop.stop_requested()) throw Cancelled();
}

void Task::join() {
    if (!thread_.joinable()) return;
    if (thread_.get_id() == std::this_thread::get_id()) {
        thread_.detach();
        return;
    }
    thread_.join();
}

MainExecutor::MainExecutor() {
    thread_ = std::thread([this] { loop(); });
    // threadId_ is read by isCurrent() from other threads: set it before any post.
    std::unique_lock lock(mutex_);
    threadId_ = thread_.get_id();
}

MainExecutor::~MainExecutor() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void MainExecutor::post(Job job) {
    {
        std::lock_guard lock(mutex_);
        jobs_.push_back(std::move(job));
    }
    cv_.notify_one();
}

void MainExecutor::loop() {
    for (;;) {
        Job job;
        {
            std::unique_lock lock(mutex_);
            cv_.wait(lock, [&] { return stopping_ || !jobs_.empty(); });
            if (jobs_.empty()) return;  // stopping and drained
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        try {
            job();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "MainExecutor: job failed: %s\n", e.what());
        } catch (...) {
            std::fprintf(stderr, "MainExecutor: job failed\n");
        }
    }
}

}  // namespace rt
