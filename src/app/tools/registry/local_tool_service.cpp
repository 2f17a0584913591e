#include "app/tools/registry/local_tool_service.hpp"

#include "app/tools/registry/tool_error.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <limits>
#include <utility>
#include <stdexcept>

namespace app::tools {

struct LocalToolService::WatchGuard {
    std::mutex mutex;
    LocalToolService* service = nullptr;
};

namespace {

constexpr const char* kCounterKey = "toolCallCount";

// Six switches count only a stored boolean; the four later ones take the
// store's coercing boolean reading.
bool readSwitch(platform::DefaultsStore& store, ToolSwitch s) {
    switch (s) {
        case ToolSwitch::Music:
        case ToolSwitch::Maps:
        case ToolSwitch::MacOS:
        case ToolSwitch::Vision: return store.boolean(switchKey(s));
        default: {
            auto value = store.object(switchKey(s));
            const bool* b = value ? std::get_if<bool>(&*value) : nullptr;
            return b && *b;
        }
    }
}

}  // namespace

LocalToolService::LocalToolService(std::shared_ptr<platform::DefaultsStore> defaults, rt::MainExecutor& executor,
                                   std::vector<std::unique_ptr<ToolFamily>> families)
    : defaults_(std::move(defaults)), executor_(executor) {
    if (!defaults_) throw std::invalid_argument("LocalToolService needs a defaults store");
    for (auto& family : families) {
        if (!family) throw std::invalid_argument("LocalToolService: null tool family");
        auto& slot = families_[switchIndex(family->toolSwitch())];
        if (slot) {
            throw std::invalid_argument("LocalToolService: two families for " +
                                        std::string(switchKey(family->toolSwitch())));
        }
        slot = std::move(family);
    }
    // A family's tool names never change: index them once, the first family
    // in lookup order owning a name.
    for (ToolSwitch s : kLookupOrder) {
        if (ToolFamily* f = family(s)) {
            for (const auto& tool : f->definitions()) owners_.emplace(tool.name, s);
        }
    }
    // A lane starts its thread at its first job: made up front, they cost nothing.
    for (auto& lane : lanes_) lane = std::make_unique<rt::SerialLane>();
    toolCallCount_ = defaults_->integer(kCounterKey);
    for (ToolSwitch s : kLookupOrder) enabled_[switchIndex(s)] = readSwitch(*defaults_, s);

    watchGuard_ = std::make_shared<WatchGuard>();
    watchGuard_->service = this;
    try {
        watch_ = defaults_->watchChanges([guard = watchGuard_, &executor] {
            executor.post([guard] {
                std::lock_guard lock(guard->mutex);
                if (guard->service) guard->service->reloadOnMain();
            });
        });
    } catch (const std::exception& e) {
        // The switches still work; only changes made elsewhere wait for a restart.
        std::fprintf(stderr, "Switch changes made elsewhere are not seen: %s\n", e.what());
    }
}

LocalToolService::~LocalToolService() {
    watch_.reset();  // no new job after this
    {
        std::lock_guard lock(watchGuard_->mutex);
        watchGuard_->service = nullptr;
    }
    // The counter's jobs refer to the service: let them run first.
    if (!executor_.isCurrent()) executor_.drain();
}

void LocalToolService::reloadFromStore() {
    executor_.run([&] { reloadOnMain(); });
}

void LocalToolService::reloadOnMain() {
    const std::int64_t count = defaults_->integer(kCounterKey);
    bool countChanged;
    {
        std::lock_guard lock(mutex_);
        countChanged = count != toolCallCount_;
        toolCallCount_ = count;
    }
    if (countChanged) objectChanged_.send();
    for (ToolSwitch s : kLookupOrder) {
        const bool value = readSwitch(*defaults_, s);
        {
            std::lock_guard lock(mutex_);
            if (enabled_[switchIndex(s)] == value) continue;
            enabled_[switchIndex(s)] = value;
        }
        objectChanged_.send();
        toolsChanged_.send();
    }
}

std::int64_t LocalToolService::toolCallCount() const {
    std::lock_guard lock(mutex_);
    return toolCallCount_;
}

void LocalToolService::setToolCallCount(std::int64_t value) {
    executor_.run([&] { setToolCallCountOnMain(value); });
}

void LocalToolService::setToolCallCountOnMain(std::int64_t value) {
    {
        std::lock_guard lock(mutex_);
        toolCallCount_ = value;
    }
    objectChanged_.send();
    // Every call bumps it: its file writes are coalesced.
    std::lock_guard store(counterStoreMutex_);
    defaults_->setInteger(kCounterKey, value, platform::WriteMode::Coalesced);
}

bool LocalToolService::isEnabled(ToolSwitch s) const {
    std::lock_guard lock(mutex_);
    return enabled_[switchIndex(s)];
}

void LocalToolService::setEnabled(ToolSwitch s, bool value) {
    executor_.run([&] {
        {
            std::lock_guard lock(mutex_);
            enabled_[switchIndex(s)] = value;
        }
        objectChanged_.send();
        defaults_->setBool(switchKey(s), value);
        toolsChanged_.send();
    });
}

void LocalToolService::disableAllTools() {
    executor_.run([&] {
        for (ToolSwitch s : kLookupOrder) setEnabled(s, false);
    });
}

std::vector<MCPTool> LocalToolService::enabledTools() {
    return executor_.run([&] {
        std::vector<MCPTool> tools;
        for (ToolSwitch s : kListingOrder) {
            ToolFamily* f = family(s);
            if (!f || !isEnabled(s)) continue;
            auto definitions = f->definitions();
            for (auto& tool : definitions) tools.push_back(std::move(tool));
        }
        return tools;
    });
}

std::string LocalToolService::callTool(const std::string& name, Arguments arguments, std::stop_token stop) {
    // Counted first, so unknown, refused and failing calls all count.
    std::optional<ToolError> refusal;
    ToolFamily* f = beginCall(name, refusal);
    if (!f) throw *refusal;
    // The job owns its copies: a caller that stops waiting returns while the
    // job may still be queued.
    auto done = std::make_shared<rt::OneShot<std::string>>();
    const std::size_t bytes = argumentBytes(arguments);
    auto busy = runHandler(f->toolSwitch(), bytes, [f, done, name, arguments = std::move(arguments), stop] {
        try {
            done->resume(f->handle(name, arguments, stop));
        } catch (...) {
            done->fail(std::current_exception());
        }
    });
    if (busy) throw *busy;
    return done->wait(stop);
}

std::pair<std::size_t, std::size_t> LocalToolService::pendingOn(std::size_t lane) const {
    // Finished first: what is read of it was handed over before.
    const std::size_t doneCalls = finished_[lane].calls.load(std::memory_order_seq_cst);
    const std::size_t doneBytes = finished_[lane].bytes.load(std::memory_order_acquire);
    return {handedOver_[lane].calls.load(std::memory_order_acquire) - doneCalls,
            handedOver_[lane].bytes.load(std::memory_order_acquire) - doneBytes};
}

std::optional<ToolError> LocalToolService::admit(ToolSwitch s, std::size_t index, std::size_t argumentBytes) {
    std::lock_guard lock(pendingMutex_);
    const auto [calls, bytes] = pendingOn(index);
    // Refused at once rather than waited for: the caller reads the calls
    // of every family, and a wait here would hold them all.
    if (calls != 0 && (calls >= kMaxPendingCalls || bytes + argumentBytes > kMaxPendingArgumentBytes)) {
        return ToolError("LocalTool", 503,
                         std::string(familyWord(s)) + " tool is busy: " + std::to_string(calls) +
                             " calls are waiting (at most " + std::to_string(kMaxPendingCalls) + " calls or " +
                             std::to_string(kMaxPendingArgumentBytes >> 20) +
                             " MiB of arguments); try again when they have finished");
    }
    // Bytes first: a lane that sees the call sees its bytes.
    Count& in = handedOver_[index];
    in.bytes.store(in.bytes.load(std::memory_order_relaxed) + argumentBytes, std::memory_order_release);
    in.calls.store(in.calls.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    return std::nullopt;
}

void LocalToolService::finish(std::size_t index, std::size_t argumentBytes) {
    Count& done = finished_[index];
    done.bytes.store(done.bytes.load(std::memory_order_relaxed) + argumentBytes, std::memory_order_release);
    done.calls.store(done.calls.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    // Unordered with a waiter's count, to spare every call a fence: a
    // wake-up this misses, the waiter's next look finds.
    if (pendingWaiters_.load(std::memory_order_relaxed) == 0) return;
    { std::lock_guard lock(pendingMutex_); }
    pendingChanged_.notify_all();
}

void LocalToolService::waitForHandlers(std::stop_token stop, std::optional<rt::Clock::time_point> deadline) {
    // Shutdowns and tests wait here: a look every millisecond costs them nothing.
    constexpr auto kLookAgain = std::chrono::milliseconds(1);
    pendingWaiters_.fetch_add(1);
    struct Leave {
        std::atomic<int>& waiters;
        ~Leave() { waiters.fetch_sub(1); }
    } leave{pendingWaiters_};
    std::unique_lock lock(pendingMutex_);
    for (;;) {
        const auto soon = rt::Clock::now() + kLookAgain;
        try {
            rt::detail::waitUntil(pendingChanged_, lock, stop, deadline ? std::min(*deadline, soon) : soon,
                                  [&] { return pendingCalls() == 0; });
            return;
        } catch (const rt::TimedOut&) {
            if (deadline && rt::Clock::now() >= *deadline) throw;
        }
    }
}

std::size_t LocalToolService::pendingCalls() const {
    std::size_t calls = 0;
    for (std::size_t lane = 0; lane < kToolSwitchCount; ++lane) calls += pendingOn(lane).first;
    return calls;
}

ToolFamily* LocalToolService::beginCall(const std::string& name, std::optional<ToolError>& refusal) {
    // owners_ is fixed after construction: readable from any thread.
    const auto owner = owners_.find(name);
    bool counted = false, announce = false, enabled = false;
    {
        std::lock_guard lock(mutex_);
        // Counted first, so unknown, refused and failing calls all count.
        if (toolCallCount_ != std::numeric_limits<std::int64_t>::max()) {
            ++toolCallCount_;
            counted = true;
        }
        // Waking the main executor for every call cost more than the call:
        // only a follower of the counter is worth it, once per burst.
        announce = objectChanged_.hasSubscribers() && !std::exchange(counterAnnouncePending_, true);
        enabled = owner != owners_.end() && enabled_[switchIndex(owner->second)];
    }
    if (counted) {
        // Added to the value in the file (other processes count into it too)
        // before the call is answered; the store coalesces its file writes.
        std::lock_guard lock(counterStoreMutex_);
        defaults_->addInteger(kCounterKey, 1);
    }
    if (announce) {
        executor_.post([this] {
            {
                std::lock_guard lock(mutex_);
                counterAnnouncePending_ = false;
            }
            objectChanged_.send();
        });
    }
    if (owner == owners_.end()) {
        refusal.emplace("LocalTool", 404, "Tool not found: " + name);
        return nullptr;
    }
    if (!enabled) {
        refusal.emplace("LocalTool", 403, std::string(familyWord(owner->second)) + " tool is disabled");
        return nullptr;
    }
    return family(owner->second);
}

}  // namespace app::tools
