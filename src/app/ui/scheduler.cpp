#include "app/ui/scheduler.hpp"

#include <algorithm>

namespace app::ui {

ExecutorScheduler::ExecutorScheduler(rt::MainExecutor& executor)
    : executor_(executor),
      timerThread_([this](std::stop_token stop) { timerLoop(stop); }),
      workerThread_([this](std::stop_token stop) { workerLoop(stop); }) {}

ExecutorScheduler::~ExecutorScheduler() {
    timerThread_.request_stop();
    workerThread_.request_stop();
    timerThread_.join();
    workerThread_.join();
}

void ExecutorScheduler::post(Job job) { executor_.post(std::move(job)); }

std::shared_ptr<Timer> ExecutorScheduler::after(std::chrono::milliseconds delay, Job job) {
    auto timer = std::make_shared<Timer>();
    {
        std::lock_guard lock(mutex_);
        due_.push_back({std::chrono::steady_clock::now() + delay, timer, std::move(job)});
    }
    timerWake_.notify_all();
    return timer;
}

void ExecutorScheduler::background(std::function<bool()> work, std::function<void(bool)> done) {
    {
        std::lock_guard lock(mutex_);
        work_.emplace_back(std::move(work), std::move(done));
    }
    workWake_.notify_all();
}

void ExecutorScheduler::timerLoop(std::stop_token stop) {
    std::unique_lock lock(mutex_);
    while (!stop.stop_requested()) {
        auto now = std::chrono::steady_clock::now();
        auto next = std::min_element(due_.begin(), due_.end(), [](const Due& a, const Due& b) { return a.at < b.at; });
        if (next == due_.end()) {
            timerWake_.wait(lock, stop, [&] { return !due_.empty(); });
            continue;
        }
        if (next->at > now) {
            auto at = next->at;
            timerWake_.wait_until(lock, stop, at, [&] {
                return std::any_of(due_.begin(), due_.end(), [&](const Due& d) { return d.at < at; });
            });
            continue;
        }
        Due due = std::move(*next);
        due_.erase(next);
        if (!due.timer->isCancelled()) {
            executor_.post([timer = due.timer, job = std::move(due.job)] {
                if (!timer->isCancelled()) job();
            });
        }
    }
}

void ExecutorScheduler::workerLoop(std::stop_token stop) {
    std::unique_lock lock(mutex_);
    while (!stop.stop_requested()) {
        if (!workWake_.wait(lock, stop, [&] { return !work_.empty(); })) break;
        auto [work, done] = std::move(work_.front());
        work_.pop_front();
        lock.unlock();
        bool answer = false;
        try {
            answer = work();
        } catch (...) {
            answer = false;
        }
        executor_.post([done = std::move(done), answer] { done(answer); });
        lock.lock();
    }
}

}  // namespace app::ui
