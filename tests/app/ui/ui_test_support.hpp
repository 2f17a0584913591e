// Hand-driven time and work for the view models, and the services behind
// the permission model over fakes.
#pragma once

#include "app/platform/access_prompter.hpp"
#include "app/platform/contact_store.hpp"
#include "app/platform/event_store.hpp"
#include "app/ui/permission_manager.hpp"
#include "app/ui/scheduler.hpp"

#include <chrono>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace uitest {

// Everything runs on the calling thread, which stands for the executor.
class ManualScheduler : public app::ui::Scheduler {
public:
    void post(app::ui::Job job) override { posted_.push_back(std::move(job)); }
    std::shared_ptr<app::ui::Timer> after(std::chrono::milliseconds delay, app::ui::Job job) override {
        auto timer = std::make_shared<app::ui::Timer>();
        timers_.push_back({now_ + delay, timer, std::move(job)});
        return timer;
    }
    void background(std::function<bool()> work, std::function<void(bool)> done) override {
        work_.emplace_back(std::move(work), std::move(done));
    }

    void runPosted() {
        while (!posted_.empty()) {
            auto job = std::move(posted_.front());
            posted_.pop_front();
            job();
        }
    }
    // Moves the clock on, running each timer that falls due in time order.
    void advance(std::chrono::milliseconds by) {
        const auto end = now_ + by;
        for (;;) {
            auto next = timers_.end();
            for (auto it = timers_.begin(); it != timers_.end(); ++it)
                if (it->at <= end && (next == timers_.end() || it->at < next->at)) next = it;
            if (next == timers_.end()) break;
            auto due = std::move(*next);
            timers_.erase(next);
            now_ = due.at;
            if (!due.timer->isCancelled()) due.job();
        }
        now_ = end;
    }
    std::size_t pendingWork() const { return work_.size(); }
    // Runs the oldest background work and hands its answer back.
    void completeWork() {
        auto [work, done] = std::move(work_.front());
        work_.pop_front();
        bool answer = false;
        try {
            answer = work();
        } catch (...) {
        }
        done(answer);
    }

private:
    struct Due {
        std::chrono::milliseconds at;
        std::shared_ptr<app::ui::Timer> timer;
        app::ui::Job job;
    };
    std::chrono::milliseconds now_{0};
    std::deque<app::ui::Job> posted_;
    std::vector<Due> timers_;
    std::deque<std::pair<std::function<bool()>, std::function<void(bool)>>> work_;
};

class FakeTrust : public app::platform::AccessibilityTrust {
public:
    bool trusted = false;
    std::vector<bool> asked;  // the prompt flag of each question
    bool isProcessTrusted(bool prompt) override {
        asked.push_back(prompt);
        return trusted;
    }
};

class RecordingPanes : public app::ui::SettingsPanes {
public:
    std::vector<std::string> shown;
    void showPermissionsPanel() override { shown.push_back("panel"); }
    void openAccessibilitySettings() override { shown.push_back("accessibility"); }
    void explainFullDiskAccess(const std::string& path) override { shown.push_back("file " + path); }
};

}  // namespace uitest
