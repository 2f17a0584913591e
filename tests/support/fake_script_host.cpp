#include "support/fake_script_host.hpp"

namespace app::platform {

RecordingStandIn::RecordingStandIn(Handler handler) : handler_(std::move(handler)) {}

std::optional<std::string> RecordingStandIn::perform(const ScriptCall& call) {
    Handler handler;
    {
        std::lock_guard lock(mutex_);
        calls_.push_back(call);
        handler = handler_;
    }
    if (!handler) return std::nullopt;
    return handler(call);
}

void RecordingStandIn::setHandler(Handler handler) {
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
}

std::vector<ScriptCall> RecordingStandIn::calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
}

// FakeScriptHost

FakeScriptHost::FakeScriptHost(ScriptRun fallback) : fallback_(std::move(fallback)) {}

ScriptRun FakeScriptHost::run(std::string_view source) {
    std::lock_guard lock(mutex_);
    sources_.emplace_back(source);
    if (queued_.empty()) return fallback_;
    ScriptRun next = std::move(queued_.front());
    queued_.pop_front();
    return next;
}

void FakeScriptHost::enqueue(ScriptRun run) {
    std::lock_guard lock(mutex_);
    queued_.push_back(std::move(run));
}

std::vector<std::string> FakeScriptHost::sources() const {
    std::lock_guard lock(mutex_);
    return sources_;
}

}  // namespace app::platform
