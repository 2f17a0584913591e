// The tool registry: the ten family switches and the call counter, kept in
// the user defaults; the list of enabled tools; and the call that routes a
// tool name to the family that owns it.
#pragma once

#include "app/platform/defaults_store.hpp"
#include "app/platform/directory_watch.hpp"
#include "app/tools/registry/any_from_value.hpp"
#include "app/tools/registry/change_signal.hpp"
#include "app/tools/registry/tool_error.hpp"
#include "app/tools/registry/tool_family.hpp"
#include "runtime/runtime.hpp"

#include <array>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <unordered_map>
#include <vector>

namespace app::tools {

// Everything that changes state runs on the main executor (called from
// elsewhere, it is run there and waited for); the getters may be read from
// any thread. Family handlers run on lanes of their own, never on the main
// executor: a slow call holds no other family's calls, switch changes or
// listings.
class LocalToolService {
public:
    // Per lane (one family, or calendar and reminders together): at most this
    // many calls, holding at most this many bytes of arguments together, are
    // handed over and not yet finished. A flood of one family never holds
    // another's calls, nor the reading of them. Calls that finished may keep
    // their arguments a little longer, until the next call is handed over or
    // the lane has had no work for a millisecond (see rt::SerialLane).
    static constexpr std::size_t kMaxPendingCalls = 256;
    static constexpr std::size_t kMaxPendingArgumentBytes = 16u * 1024 * 1024;

    // Each family fills the slot of its switch; slots nobody fills contribute
    // no tools. Reads the counter and the switches from the store; writes
    // nothing and sends nothing. Throws std::invalid_argument for a null
    // store, a null family or two families on one switch. Watches the store
    // for changes other programs make (see reloadFromStore). The executor
    // must outlive the service.
    LocalToolService(std::shared_ptr<platform::DefaultsStore> defaults, rt::MainExecutor& executor,
                     std::vector<std::unique_ptr<ToolFamily>> families);
    // Lets the jobs it posted run first: they refer to it.
    ~LocalToolService();

    LocalToolService(const LocalToolService&) = delete;
    LocalToolService& operator=(const LocalToolService&) = delete;

    // One event after every switch write, on the main executor; none for the counter.
    ChangeSignal& toolsChanged() { return toolsChanged_; }
    // One event after every change of the counter or a switch, once the new
    // value is readable and before it is stored: what the window observes.
    ChangeSignal& objectChanged() { return objectChanged_; }

    std::int64_t toolCallCount() const;
    // Stores the value under "toolCallCount" (file writes coalesced).
    void setToolCallCount(std::int64_t value);

    bool isEnabled(ToolSwitch s) const;
    // Publishes, stores the key, sends one toolsChanged event; also when the
    // value is unchanged.
    void setEnabled(ToolSwitch s, bool value);

    void setCalendarEnabled(bool v) { setEnabled(ToolSwitch::Calendar, v); }
    void setRemindersEnabled(bool v) { setEnabled(ToolSwitch::Reminders, v); }
    void setContactsEnabled(bool v) { setEnabled(ToolSwitch::Contacts, v); }
    void setMessagesEnabled(bool v) { setEnabled(ToolSwitch::Messages, v); }
    void setNotesEnabled(bool v) { setEnabled(ToolSwitch::Notes, v); }
    void setMailEnabled(bool v) { setEnabled(ToolSwitch::Mail, v); }
    void setMusicEnabled(bool v) { setEnabled(ToolSwitch::Music, v); }
    void setMapsEnabled(bool v) { setEnabled(ToolSwitch::Maps, v); }
    void setMacOSEnabled(bool v) { setEnabled(ToolSwitch::MacOS, v); }
    void setVisionEnabled(bool v) { setEnabled(ToolSwitch::Vision, v); }

    // All ten switches to false in field order: ten writes, ten events.
    void disableAllTools();

    // Reads the switches and the counter again from the store: each switch
    // whose value differs is published and sends one toolsChanged event, as
    // a switch set here does (without writing it back). Run when the store
    // reports a change made elsewhere.
    void reloadFromStore();

    // The tools of the switched-on families, in listing order, built anew.
    std::vector<MCPTool> enabledTools();

    // Counts the call, finds the owning family in lookup order and runs its
    // handler on the family's lane; the handler's text or error comes back
    // unchanged. Throws ToolError "LocalTool" 403 for a switched-off family,
    // 404 for an unknown name; rt::Cancelled when stop is requested before
    // the call finished.
    std::string callTool(const std::string& name, Arguments arguments, std::stop_token stop = {});

    // From any thread, without waiting for the main executor: counts the call
    // (in the store too, before returning) and finds
    // the family that answers `name`. Null, with `refusal` set, for an unknown
    // name (404) or a switched-off family (403): expected, so not thrown.
    // The caller then hands the family's handler to runHandler.
    ToolFamily* beginCall(const std::string& name, std::optional<ToolError>& refusal);

    // Queues `job` (a call of the handler of family `s`) on that family's
    // lane: the handlers of one family run one at a time in call order (the
    // calendar's and the reminders' share a lane, as they share a store),
    // and apart from every other family and from the main executor. Never
    // waits: when the lane already holds kMaxPendingCalls calls, or the call
    // would take its arguments past kMaxPendingArgumentBytes, the job is not
    // run and the result is the refusal, ToolError "LocalTool" 503 "<family>
    // tool is busy: ..." (alone on its lane, a call of any size is taken). A
    // flood meets it often: returned, like beginCall's, not thrown.
    template <class Job>
    [[nodiscard]] std::optional<ToolError> runHandler(ToolSwitch s, std::size_t argumentBytes, Job job) {
        const std::size_t lane = laneIndex(s);
        if (auto busy = admit(s, lane, argumentBytes)) return busy;
        lanes_[lane]->post([this, lane, argumentBytes, job = std::move(job)]() mutable {
            const Finished finished{*this, lane, argumentBytes};
            job();
        });
        return std::nullopt;
    }
    // Blocks until every job handed to runHandler has run; Cancelled on
    // stop, rt::TimedOut past the deadline.
    void waitForHandlers(std::stop_token stop = {}, std::optional<rt::Clock::time_point> deadline = {});
    // Calls handed over and not yet finished.
    std::size_t pendingCalls() const;
    // Those of the lane that runs family `s`'s handlers.
    std::size_t pendingCalls(ToolSwitch s) const { return pendingOn(laneIndex(s)).first; }

    // Where the registry's own state changes.
    rt::MainExecutor& mainExecutor() const { return executor_; }

    // The family in a slot, or null; the window lists every family's tools.
    ToolFamily* family(ToolSwitch s) const { return families_[switchIndex(s)].get(); }

private:
    struct WatchGuard;
    // Counts a call out when its job is done, even by an exception.
    struct Finished {
        LocalToolService& service;
        std::size_t lane;
        std::size_t bytes;
        ~Finished() { service.finish(lane, bytes); }
    };

    // Calendar and reminders share their event store, and so a lane.
    static std::size_t laneIndex(ToolSwitch s) {
        return switchIndex(s == ToolSwitch::Reminders ? ToolSwitch::Calendar : s);
    }
    // Counts a call in on its lane, or the refusal when the lane is full.
    std::optional<ToolError> admit(ToolSwitch s, std::size_t lane, std::size_t argumentBytes);
    // Without the lock the callers take: a lane never waits for them.
    void finish(std::size_t lane, std::size_t argumentBytes);

    void setToolCallCountOnMain(std::int64_t value);
    void reloadOnMain();

    const std::shared_ptr<platform::DefaultsStore> defaults_;
    rt::MainExecutor& executor_;
    std::array<std::unique_ptr<ToolFamily>, kToolSwitchCount> families_;
    std::unordered_map<std::string, ToolSwitch> owners_;  // tool name to the family that answers it
    ChangeSignal toolsChanged_;
    ChangeSignal objectChanged_;

    std::mutex counterStoreMutex_;  // keeps this service's counter writes to the store in order
    mutable std::mutex mutex_;      // the fields below; never held while calling out
    std::int64_t toolCallCount_ = 0;
    bool counterAnnouncePending_ = false;  // an objectChanged job for the counter is queued
    std::array<bool, kToolSwitchCount> enabled_{};

    // Jobs the watch posted may still be queued when the service goes.
    std::shared_ptr<WatchGuard> watchGuard_;
    std::unique_ptr<platform::DirectoryWatch> watch_;

    // Per lane, what its callers handed over and what it finished, on lines
    // of their own: each side writes only its own, and a lane's count costs
    // it no locked instruction on a line the callers write too.
    struct alignas(64) Count {
        std::atomic<std::size_t> calls = 0;
        std::atomic<std::size_t> bytes = 0;
    };
    mutable std::mutex pendingMutex_;  // callers count in under it, one at a time
    std::condition_variable_any pendingChanged_;
    std::atomic<int> pendingWaiters_ = 0;  // waitForHandlers calls: only they need a lane's word
    std::array<Count, kToolSwitchCount> handedOver_{};
    std::array<Count, kToolSwitchCount> finished_{};  // each written by its lane's thread alone
    // The calls and bytes handed over and not yet finished on one lane.
    std::pair<std::size_t, std::size_t> pendingOn(std::size_t lane) const;
    // Declared last: they go first, running the jobs still queued, which
    // refer to the families and the counts above. Fixed after construction.
    std::array<std::unique_ptr<rt::SerialLane>, kToolSwitchCount> lanes_;
};

}  // namespace app::tools
