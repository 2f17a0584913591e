#include "app/tools/registry/change_signal.hpp"

#include <algorithm>
#include <atomic>

namespace app::tools {

struct ChangeSignal::Slot {
    std::function<void()> handler;
    std::atomic<bool> active{true};
};

struct ChangeSignal::State {
    std::mutex mutex;
    std::vector<std::shared_ptr<Slot>> slots;
};

ChangeSignal::ChangeSignal() : state_(std::make_shared<State>()) {}

ChangeSignal::Subscription ChangeSignal::subscribe(std::function<void()> handler) {
    auto slot = std::make_shared<Slot>();
    slot->handler = std::move(handler);
    {
        std::lock_guard lock(state_->mutex);
        state_->slots.push_back(slot);
    }
    return Subscription(state_, slot);
}

void ChangeSignal::send() {
    std::vector<std::shared_ptr<Slot>> slots;
    {
        std::lock_guard lock(state_->mutex);
        slots = state_->slots;
    }
    for (const auto& slot : slots) {
        if (slot->active.load()) slot->handler();
    }
}

bool ChangeSignal::hasSubscribers() const {
    std::lock_guard lock(state_->mutex);
    return !state_->slots.empty();
}

ChangeSignal::Subscription::Subscription(Subscription&& other) noexcept
    : state_(std::move(other.state_)), slot_(std::move(other.slot_)) {}

ChangeSignal::Subscription& ChangeSignal::Subscription::operator=(Subscription&& other) noexcept {
    if (this != &other) {
        cancel();
        state_ = std::move(other.state_);
        slot_ = std::move(other.slot_);
    }
    return *this;
}

void ChangeSignal::Subscription::cancel() {
    if (!slot_) return;
    if (auto state = state_.lock()) {
        std::lock_guard lock(state->mutex);
        std::erase(state->slots, slot_);
    }
    slot_->active.store(false);
    slot_.reset();
    state_.reset();
}

}  // namespace app::tools

