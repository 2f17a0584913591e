// A signal of empty events: subscribers are called in subscription order on
// the thread that sends, with no lock held.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace app::tools {

class ChangeSignal {
    struct Slot;
    struct State;

public:
    // Unsubscribes when destroyed; after that the handler is not started
    // again, also not by a send already in progress on another thread.
    class Subscription {
    public:
        Subscription() = default;
        Subscription(Subscription&& other) noexcept;
        Subscription& operator=(Subscription&& other) noexcept;
        ~Subscription() { cancel(); }
        void cancel();

    private:
        friend class ChangeSignal;
        Subscription(std::weak_ptr<State> state, std::shared_ptr<Slot> slot)
            : state_(std::move(state)), slot_(std::move(slot)) {}
        std::weak_ptr<State> state_;
        std::shared_ptr<Slot> slot_;
    };

    ChangeSignal();
    [[nodiscard]] Subscription subscribe(std::function<void()> handler);
    void send();
    // Lets a sender skip the work of announcing a change nobody follows.
    bool hasSubscribers() const;

private:
    std::shared_ptr<State> state_;
};

}  // namespace app::tools
