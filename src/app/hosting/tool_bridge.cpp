#include "app/hosting/tool_bridge.hpp"

#include "app/tools/registry/any_from_value.hpp"
#include "app/tools/registry/tool_error.hpp"
#include "mcp/envelope_scan.hpp"
#include "mcp/prompts.hpp"
#include "mcp/resources.hpp"
#include "mcp/tools.hpp"
#include "runtime/runtime.hpp"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <vector>
#include <string>
#include <utility>

namespace app::hosting {

// Written straight: what the general writer makes of the typed result, byte
// for byte, without building it first.
std::string writeToolAnswer(const mcp::ID& id, const ToolAnswer& answer, const json::WriteOptions& options) {
    if (options.pretty) {
        mcp::CallTool::Result result;
        result.content.push_back(mcp::Tool::Content::text(answer.text));
        if (answer.isError) result.isError = true;
        return mcp::writeResponse(id, json::write(mcp::encode(result), options), options);
    }
    // One string, the response around the result: the answer text is copied once.
    std::string text = mcp::compactResponseHead(id, options, answer.text.size() + 80);
    text += options.sortedKeys ? R"({"content":[{"text":)" : R"({"content":[{"type":"text","text":)";
    json::writeString(text, answer.text, options.escapeSlashes);
    text += options.sortedKeys ? R"(,"type":"text"}])" : "}]";
    if (answer.isError) text += R"(,"isError":true)";
    text += "}}";
    return text;
}

mcp::Tool protocolTool(const tools::MCPTool& tool) {
    mcp::Tool out;
    out.name = tool.name;
    out.description = tool.description;
    out.inputSchema = tools::valueFromAny(tools::AnyValue(tool.inputSchema));
    return out;
}

namespace {

mcp::ListTools::Result listTools(tools::LocalToolService& registry) {
    mcp::ListTools::Result result;
    for (const tools::MCPTool& tool : registry.enabledTools()) result.tools.push_back(protocolTool(tool));
    return result;
}

// tools/list answers from the written result, kept until the next switch
// change: the definitions change rarely, and clients list often.
class ToolListHandler final : public mcp::RequestHandlerBox {
public:
    explicit ToolListHandler(tools::LocalToolService& registry)
        : registry_(registry), cache_(std::make_shared<Cache>()) {
        std::weak_ptr<Cache> weak = cache_;
        subscription_ = registry.toolsChanged().subscribe([weak] {
            if (auto cache = weak.lock()) cache->invalidate();
        });
    }

    // Every answer shares the one written list: 6 KB and more, not copied.
    mcp::WrittenAnswer handleWritten(const mcp::AnyRequest& request, const json::WriteOptions& options,
                                     std::stop_token) const override {
        return mcp::writeResponse(request.id, writtenResult(options), options);
    }

private:
    struct Cache {
        std::mutex mutex;
        std::optional<std::pair<json::WriteOptions, std::shared_ptr<const std::string>>> written;
        std::uint64_t generation = 0;

        void invalidate() {
            std::lock_guard lock(mutex);
            written.reset();
            ++generation;
        }
    };

    static bool sameOptions(const json::WriteOptions& a, const json::WriteOptions& b) {
        return a.sortedKeys == b.sortedKeys && a.escapeSlashes == b.escapeSlashes && a.pretty == b.pretty;
    }

    std::shared_ptr<const std::string> writtenResult(const json::WriteOptions& options) const {
        std::uint64_t generation;
        {
            std::lock_guard lock(cache_->mutex);
            if (cache_->written && sameOptions(cache_->written->first, options)) return cache_->written->second;
            generation = cache_->generation;
        }
        auto text = std::make_shared<const std::string>(json::write(mcp::encode(listTools(registry_)), options));
        std::lock_guard lock(cache_->mutex);
        // A switch changed while the list was made: it may be stale, keep it not.
        if (generation == cache_->generation) cache_->written.emplace(options, text);
        return text;
    }

    tools::LocalToolService& registry_;
    std::shared_ptr<Cache> cache_;
    tools::ChangeSignal::Subscription subscription_;
};

// A call's tool name and arguments, taken out of its parameters where they
// have the plain form (an object, "name" a text, "arguments" an object, null
// or absent): the typed reading would find the same. Otherwise the typed
// reading answers, with its error when it has one. Nothing is taken before
// the form is known.
struct CallParts {
    std::string name;
    mcp::Object arguments;
};

// The plain form's parts, taken; nullopt, with nothing taken, for any other.
std::optional<CallParts> takePlainCall(mcp::Value& params) {
    mcp::Object* object = params.objectValue();
    if (!object) return std::nullopt;
    const auto name = object->find("name");
    const auto arguments = object->find("arguments");
    if (name == object->end() || !name->second.stringValue()) return std::nullopt;
    if (arguments == object->end() || arguments->second.isNull())
        return CallParts{std::move(*name->second.stringValue()), {}};
    if (mcp::Object* given = arguments->second.objectValue())
        return CallParts{std::move(*name->second.stringValue()), std::move(*given)};
    return std::nullopt;
}

CallParts takeCall(mcp::AnyRequest& request) {
    if (auto parts = takePlainCall(request.params)) return std::move(*parts);
    mcp::CallTool::Parameters typed = mcp::typedRequest<mcp::CallTool>(request).params;
    CallParts parts{std::move(typed.name), {}};
    if (typed.arguments)
        for (auto& [key, value] : *typed.arguments) parts.arguments.emplace(key, std::move(value));
    return parts;
}

ToolAnswer errorAnswer(const std::string& message) { return {"Error: " + message, true}; }

// Runs a tool; its failures, returned or thrown, are the caller's tool
// result. A cancelled request has no tool result to give: rt::Cancelled goes on.
template <class Run>
ToolAnswer toolAnswer(Run&& run) {
    try {
        tools::ToolResult result = run();
        if (const tools::ToolError* error = result.error()) return errorAnswer(error->message());
        return {std::move(result).value(), false};
    } catch (const rt::Cancelled&) {
        throw;
    } catch (const tools::ToolError& e) {
        return errorAnswer(e.message());
    } catch (const std::exception& e) {
        return errorAnswer(e.what());
    }
}

// The client's word that it no longer waits for a request it sent.
struct CancelledNotification {
    static constexpr std::string_view name = "notifications/cancelled";
    using Parameters = mcp::Value;
    friend bool operator==(CancelledNotification, CancelledNotification) { return true; }
};

// One call on its way: filled on the loop thread, run on its family's lane,
// which answers it and gives it back to its pool for the loop to fill again.
struct ToolCall {
    mcp::ID id;
    std::string name;
    // The tool's arguments: read by the loop when it had to read them (or
    // when the lane had fallen behind, see handleText), else by the lane from
    // the params' text, which the loop checked but did not read.
    std::optional<tools::Arguments> arguments;
    std::string paramsText;
    tools::ToolFamily* family = nullptr;
    json::WriteOptions options;
    mcp::AnswerRoute route;                  // the usual way back, and the stop of the loop that read it
    mcp::RequestHandlerBox::Answer answer;  // or the caller's own, when it gave one
    bool endsWithInput = false;  // typing and clicking for a client that has gone would act for nobody
    // Set by whoever answers first, the call or the exit: a call answers once.
    std::atomic<bool> answered = false;

    // The pool's links: the list of calls in flight (or of free ones), and
    // the stack of calls given back.
    ToolCall* previous = nullptr;
    ToolCall* next = nullptr;
    ToolCall* givenBackAfter = nullptr;

    // A call's stop state is made by its lane when it starts, and freed there:
    // a stop asked before is kept here until then.
    std::mutex stopMutex;
    bool stopAsked = false;
    std::stop_source* running = nullptr;

    // From any thread, while the call is in flight: marks it stopped, and
    // gives what stops it when it runs now. The caller requests that stop
    // outside its locks: a stop runs the handler's callbacks.
    std::optional<std::stop_source> markStopped() {
        std::lock_guard lock(stopMutex);
        stopAsked = true;
        if (running) return *running;
        return std::nullopt;
    }

    void run() {
        std::stop_source stop;
        {
            std::lock_guard lock(stopMutex);
            if (stopAsked) stop.request_stop();
            running = &stop;
        }
        struct Ended {
            ToolCall& call;
            ~Ended() {
                std::lock_guard lock(call.stopMutex);
                call.running = nullptr;
            }
        } ended{*this};
        const std::stop_token token = stop.get_token();
        std::string text;
        try {
            text = writeToolAnswer(id, toolAnswer([&] {
                                       // Stopped while queued: the handler is not started.
                                       if (token.stop_requested()) throw rt::Cancelled();
                                       if (arguments) return family->run(name, *arguments, token);
                                       // Read here, freed here: the lane's memory stays the lane's.
                                       return family->run(name, readArguments(), token);
                                   }),
                                   options);
        } catch (const rt::Cancelled&) {
            text = stoppedAnswer(id, options);
        } catch (...) {
            // Not a std::exception: still answered, or a batch would wait for this call for ever.
            text = json::write(
                mcp::encode(mcp::AnyResponse(id, mcp::MCPError::internalError(std::string("Unknown error")))), options);
        }
        deliver(std::move(text));
    }

    static std::string stoppedAnswer(const mcp::ID& id, const json::WriteOptions& options) {
        return json::write(
            mcp::encode(mcp::AnyResponse(id, mcp::MCPError::internalError(std::string(rt::Cancelled().what())))),
            options);
    }

    void deliver(std::string text) {
        if (answered.exchange(true, std::memory_order_acq_rel)) return;
        if (answer) {
            answer(std::move(text));
        } else {
            route.send(id, std::move(text));
        }
    }

    tools::Arguments readArguments() const {
        std::optional<tools::Arguments> read = tools::argumentsFromParamsText(paramsText);
        // The loop checked the text reads so: anything else is a fault here.
        if (!read) throw std::logic_error("Tool call parameters changed on their way");
        return std::move(*read);
    }

    // What a finished call holds that the next one has no use for; freed on
    // the loop thread that made it. Large buffers are not kept for reuse:
    // with the free calls' count bound, a pool keeps at most a megabyte.
    void clear() {
        constexpr std::size_t kKeptCapacity = 4 * 1024;
        arguments.reset();
        route = {};
        answer = nullptr;
        if (stopAsked) stopAsked = false;
        answered.store(false, std::memory_order_relaxed);
        paramsText.clear();
        if (paramsText.capacity() > kKeptCapacity) paramsText.shrink_to_fit();
        if (name.capacity() > kKeptCapacity) std::string().swap(name);
    }
};

// Calls in flight, so that a cancellation finds its call, and the call
// objects, reused: a call then costs the loop no allocation of its own, and
// its lane gives it back without a lock. The
// loop's stop, and the end of the input for desktop calls, reach every call
// through one watch each, not one per call.
class CallsInFlight final : public CallsAtExit {
public:
    explicit CallsInFlight(std::stop_token inputEnded) : inputEnded_(inputEnded) {
        onInputEnd_.emplace(std::move(inputEnded), StopWhere{this, nullptr});
    }
    CallsInFlight(const CallsInFlight&) = delete;
    CallsInFlight& operator=(const CallsInFlight&) = delete;
    ~CallsInFlight() {
        onInputEnd_.reset();
        std::lock_guard lock(mutex_);
        takeBackLocked();
        deleteAll(free_);
        deleteAll(inFlight_);  // none: a call's job keeps its pool until the call is given back
    }

    // A call object to fill, on the thread that reads calls.
    ToolCall& take() {
        std::lock_guard lock(mutex_);
        takeBackLocked();
        if (!free_) return *new ToolCall;
        ToolCall* call = std::exchange(free_, free_->next);
        --freeCount_;
        call->next = nullptr;
        return *call;
    }

    // Made findable, and stopped at once when its loop, or the input for a
    // desktop call, has already ended.
    void begin(ToolCall& call) {
        watch(call.route.stop);
        {
            std::lock_guard lock(mutex_);
            call.previous = nullptr;
            call.next = inFlight_;
            if (inFlight_) inFlight_->previous = &call;
            inFlight_ = &call;
        }
        // A stop that came before the entry did found nothing to stop.
        if (call.route.stop.stop_requested() || (call.endsWithInput && inputEnded_.stop_requested()) ||
            exiting_.load())
            call.markStopped();  // not yet queued: it cannot run now
    }

    void stopAll() override {
        exiting_.store(true);
        stopWhere([](const ToolCall&) { return true; });
    }

    void answerLeftAsStopped() override {
        // What the answers need is copied under the lock, and sent outside
        // it: a call given back meanwhile may be cleared for reuse.
        struct Left {
            mcp::ID id;
            json::WriteOptions options;
            mcp::AnswerRoute route;
            mcp::RequestHandlerBox::Answer answer;
        };
        std::vector<Left> left;
        {
            std::lock_guard lock(mutex_);
            for (ToolCall* call = inFlight_; call; call = call->next) {
                if (call->answered.exchange(true, std::memory_order_acq_rel)) continue;
                left.push_back({call->id, call->options, call->route, call->answer});
            }
        }
        for (Left& call : left) {
            std::string text = ToolCall::stoppedAnswer(call.id, call.options);
            if (call.answer) {
                call.answer(std::move(text));
            } else {
                call.route.send(call.id, std::move(text));
            }
        }
    }

    // From any thread, once the call is answered: the loop takes it back.
    void giveBack(ToolCall& call) {
        ToolCall* head = returned_.load(std::memory_order_relaxed);
        do {
            call.givenBackAfter = head;
        } while (!returned_.compare_exchange_weak(head, &call, std::memory_order_release, std::memory_order_relaxed));
    }

    // Rare: a walk of the calls in flight costs less than an index kept for every call.
    void cancel(const mcp::ID& id) {
        stopWhere([&](const ToolCall& call) { return call.id == id; });
    }

private:
    static constexpr std::size_t kMostFree = 256;

    static void deleteAll(ToolCall* list) {
        while (list) delete std::exchange(list, list->next);
    }

    // The calls given back leave the list in flight and are cleared for reuse.
    void takeBackLocked() {
        ToolCall* back = returned_.exchange(nullptr, std::memory_order_acquire);
        while (back) {
            ToolCall& call = *std::exchange(back, back->givenBackAfter);
            (call.previous ? call.previous->next : inFlight_) = call.next;
            if (call.next) call.next->previous = call.previous;
            call.clear();
            if (freeCount_ >= kMostFree) {
                delete &call;
                continue;
            }
            call.next = std::exchange(free_, &call);
            ++freeCount_;
        }
    }

    template <class Pred>
    void stopWhere(Pred&& pred) {
        std::vector<std::stop_source> running;
        {
            std::lock_guard lock(mutex_);
            for (ToolCall* call = inFlight_; call; call = call->next) {
                if (!pred(*call)) continue;
                if (auto stop = call->markStopped()) running.push_back(std::move(*stop));
            }
        }
        for (auto& stop : running) stop.request_stop();
    }

    // Stops the calls read by the loop `loop` stops, or (null) the desktop's.
    struct StopWhere {
        CallsInFlight* calls;
        const std::stop_token* loop;
        void operator()() const noexcept {
            calls->stopWhere(
                [&](const ToolCall& call) { return loop ? call.route.stop == *loop : call.endsWithInput; });
        }
    };
    struct LoopWatch {
        std::stop_token loop;
        std::optional<std::stop_callback<StopWhere>> onStop;
    };

    // One watch per loop; a loop that has stopped needs none any more.
    void watch(const std::stop_token& loop) {
        std::lock_guard lock(watchMutex_);
        if (!watches_.empty() && watches_.back()->loop == loop) return;
        std::erase_if(watches_, [](const auto& w) { return w->loop.stop_requested(); });
        auto w = std::make_unique<LoopWatch>();
        w->loop = loop;
        w->onStop.emplace(loop, StopWhere{this, &w->loop});
        watches_.push_back(std::move(w));
    }

    std::mutex mutex_;  // the lists; taken by the stop watches, never while one is made
    ToolCall* inFlight_ = nullptr;  // begun, not yet taken back; a client may reuse an id: all are stopped
    ToolCall* free_ = nullptr;
    std::size_t freeCount_ = 0;
    std::atomic<ToolCall*> returned_ = nullptr;
    std::stop_token inputEnded_;
    std::atomic<bool> exiting_ = false;  // every call is stopped as it begins
    std::mutex watchMutex_;
    std::vector<std::unique_ptr<LoopWatch>> watches_;
    // Last: it goes first, so no watch runs on a half-destroyed list.
    std::optional<std::stop_callback<StopWhere>> onInputEnd_;
};

// The id a cancellation names, when it names one.
std::optional<mcp::ID> cancelledRequest(const mcp::Value& params) {
    const mcp::Object* object = params.objectValue();
    if (!object) return std::nullopt;
    const auto found = object->find("requestId");
    if (found == object->end()) return std::nullopt;
    if (const std::string* text = found->second.stringValue()) return mcp::ID(*text);
    if (const auto number = found->second.intValue()) return mcp::ID(*number);
    return std::nullopt;
}

// tools/call, its one path: the loop thread finds the family, counts the call
// and reads the arguments; the handler runs on its family's lane, which sends
// the answer. The loop never waits for it: a refused call, or one its family
// is too busy to take, is answered at once. A batch item takes the same way,
// its answer going to the batch's array.
class ToolCallHandler final : public mcp::RequestHandlerBox {
public:
    ToolCallHandler(tools::LocalToolService& registry, std::shared_ptr<CallsInFlight> calls)
        : registry_(registry), calls_(std::move(calls)) {}

    bool handleDeferred(mcp::AnyRequest&& request, const json::WriteOptions& options, std::stop_token stop,
                        Answer answer) const override {
        CallParts parts = takeCall(request);
        std::optional<tools::ToolError> refusal;
        tools::ToolFamily* family = registry_.beginCall(parts.name, refusal);
        if (!family) {
            answer(writeToolAnswer(request.id, errorAnswer(refusal->message()), options));
            return true;
        }
        ToolCall& call = calls_->take();
        call.name = std::move(parts.name);
        call.arguments = tools::anyFromValue(parts.arguments);
        call.answer = std::move(answer);
        call.route.stop = std::move(stop);
        hand(call, family, request.id, options, tools::argumentBytes(*call.arguments));
        return true;
    }

    // The usual call: its params are checked here, and read on the lane.
    bool takesParamsText() const override { return true; }
    bool handleText(const mcp::ID& id, std::string_view params, const json::WriteOptions& options,
                    const mcp::AnswerRoute& route) const override {
        std::optional<std::string> name = mcp::plainToolCallName(params);
        if (!name) return false;
        std::optional<tools::ToolError> refusal;
        tools::ToolFamily* family = registry_.beginCall(*name, refusal);
        if (!family) {
            route.send(id, writeToolAnswer(id, errorAnswer(refusal->message()), options));
            return true;
        }
        ToolCall& call = calls_->take();
        call.name = std::move(*name);
        // A lane that has fallen behind gets its arguments read here: the
        // loop slows to the lane's pace, and the lane catches up before it
        // is full, rather than refusing a flood's calls until it ends.
        // What waits is counted at its size in memory: read, many small
        // values take tens of times their text.
        std::size_t bytes = params.size();
        if (registry_.pendingCalls(family->toolSwitch()) >= kReadOnLoopFrom)
            call.arguments = tools::argumentsFromParamsText(params, &bytes);
        if (!call.arguments) call.paramsText.assign(params);
        call.route = route;
        hand(call, family, id, options, bytes);
        return true;
    }

private:
    // Pending calls on a lane from which the loop reads the next calls' arguments.
    static constexpr std::size_t kReadOnLoopFrom = tools::LocalToolService::kMaxPendingCalls / 8;

    // Hands the call to its family's lane, or answers it at once when the
    // family is too busy to take it: the loop goes on reading the calls of
    // the others.
    void hand(ToolCall& call, tools::ToolFamily* family, const mcp::ID& id, const json::WriteOptions& options,
              std::size_t bytes) const {
        call.id = id;
        call.family = family;
        call.options = options;
        call.endsWithInput = family->toolSwitch() == tools::ToolSwitch::MacOS;
        calls_->begin(call);
        // The job keeps the pool its call goes back to.
        auto busy = registry_.runHandler(family->toolSwitch(), bytes, [&call, calls = calls_] {
            const GiveBack done{*calls, call};
            call.run();
        });
        if (busy) {
            const GiveBack done{*calls_, call};
            call.deliver(writeToolAnswer(id, errorAnswer(busy->message()), options));
        }
    }

    struct GiveBack {
        CallsInFlight& calls;
        ToolCall& call;
        ~GiveBack() { calls.giveBack(call); }
    };

    tools::LocalToolService& registry_;
    std::shared_ptr<CallsInFlight> calls_;
};

}  // namespace

std::shared_ptr<CallsAtExit> registerApplicationHandlers(mcp::Server& server, tools::LocalToolService& registry,
                                                         std::stop_token inputEnded) {
    auto calls = std::make_shared<CallsInFlight>(std::move(inputEnded));
    server.registerMethodHandlerBox(std::string(mcp::ListTools::name), std::make_shared<ToolListHandler>(registry));
    server.registerMethodHandlerBox(std::string(mcp::CallTool::name),
                                    std::make_shared<ToolCallHandler>(registry, calls));
    server.registerNotificationHandler<CancelledNotification>(
        [calls](const mcp::Message<CancelledNotification>& message) {
            if (auto id = cancelledRequest(message.params)) calls->cancel(*id);
        });
    server.registerMethodHandler<mcp::ListResources>(
        [](const mcp::ListResources::Parameters&) { return mcp::ListResources::Result{}; });
    server.registerMethodHandler<mcp::ReadResource>(
        [](const mcp::ReadResource::Parameters&) { return mcp::ReadResource::Result{}; });
    server.registerMethodHandler<mcp::ListPrompts>(
        [](const mcp::ListPrompts::Parameters&) { return mcp::ListPrompts::Result{}; });
    server.registerMethodHandler<mcp::GetPrompt>([](const mcp::GetPrompt::Parameters&) {
        mcp::GetPrompt::Result result;
        result.description = "Prompt not found";
        return result;
    });
    return calls;
}

tools::ChangeSignal::Subscription announceToolListChanges(const std::shared_ptr<mcp::Server>& server,
                                                          tools::LocalToolService& registry,
                                                          std::shared_ptr<platform::DiagnosticSink> diagnostics) {
    std::weak_ptr<mcp::Server> weak = server;
    return registry.toolsChanged().subscribe([weak, diagnostics = std::move(diagnostics)] {
        auto server = weak.lock();
        if (!server) return;
        try {
            server->sendNotification(mcp::message<mcp::ToolListChangedNotification>());
        } catch (const mcp::MCPError& e) {
            // A stopped server has nobody to tell; output that failed is
            // reported once, by the program.
            const bool unreachable = e.kind() == mcp::MCPError::Kind::TransportError ||
                                     e.kind() == mcp::MCPError::Kind::ConnectionClosed || !server->isConnected();
            if (!unreachable && diagnostics) diagnostics->write(std::string("Tool list change not sent: ") + e.what());
        } catch (const std::exception& e) {
            if (server->isConnected() && diagnostics)
                diagnostics->write(std::string("Tool list change not sent: ") + e.what());
        }
    });
}

}  // namespace app::hosting
