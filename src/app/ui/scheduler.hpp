// What the view models need besides their own state: time, one hop on the
// main executor, and work that may block (a question put to the user) kept
// off it. The program runs them on the main executor; tests drive them by hand.
#pragma once

#include "runtime/runtime.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace app::ui {

using Job = std::function<void()>;

// A delayed job; cancelling it before it runs means it never runs.
class Timer {
public:
    void cancel() { cancelled_ = true; }
    bool isCancelled() const { return cancelled_; }

private:
    std::atomic<bool> cancelled_{false};
};

class Scheduler {
public:
    virtual ~Scheduler() = default;
    // Queues job on the main executor.
    virtual void post(Job job) = 0;
    // Runs job on the main executor once delay has passed, unless the timer
    // was cancelled by then (checked on the executor, right before running).
    virtual std::shared_ptr<Timer> after(std::chrono::milliseconds delay, Job job) = 0;
    // Runs work elsewhere, then done(its answer) on the main executor; work
    // that throws answers false.
    virtual void background(std::function<bool()> work, std::function<void(bool)> done) = 0;
};

// The program's scheduler: one timer thread and one worker thread feeding
// the executor. Jobs still waiting at destruction are dropped.
class ExecutorScheduler : public Scheduler {
public:
    explicit ExecutorScheduler(rt::MainExecutor& executor);
    ~ExecutorScheduler() override;
    ExecutorScheduler(const ExecutorScheduler&) = delete;
    ExecutorScheduler& operator=(const ExecutorScheduler&) = delete;

    void post(Job job) override;
    std::shared_ptr<Timer> after(std::chrono::milliseconds delay, Job job) override;
    void background(std::function<bool()> work, std::function<void(bool)> done) override;

private:
    struct Due {
        std::chrono::steady_clock::time_point at;
        std::shared_ptr<Timer> timer;
        Job job;
    };
    void timerLoop(std::stop_token stop);
    void workerLoop(std::stop_token stop);

    rt::MainExecutor& executor_;
    std::mutex mutex_;
    std::condition_variable_any timerWake_;
    std::condition_variable_any workWake_;
    std::vector<Due> due_;  // unordered; a handful at most
    std::deque<std::pair<std::function<bool()>, std::function<void(bool)>>> work_;
    std::jthread timerThread_;
    std::jthread workerThread_;
};

}  // namespace app::ui
