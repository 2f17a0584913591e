#include "app/hosting/tool_bridge.hpp"

#include "app/tools/registry/any_from_value.hpp"
#include "app/tools/registry/tool_error.hpp"
#include "mcp/prompts.hpp"
#include "mcp/resources.hpp"
#include "mcp/tools.hpp"
#include "runtime/runtime.hpp"

#include <algorithm>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
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
    std::string result = options.sortedKeys ? R"({"content":[{"text":)" : R"({"content":[{"type":"text","text":)";
    json::writeString(result, answer.text, options.escapeSlashes);
    result += options.sortedKeys ? R"(,"type":"text"}])" : "}]";
    if (answer.isError) result += R"(,"isError":true)";
    result += '}';
    return mcp::writeResponse(id, result, options);
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

CallParts takeCall(mcp::AnyRequest& request) {
    if (mcp::Object* params = request.params.objectValue()) {
        const auto name = params->find("name");
        const auto arguments = params->find("arguments");
        if (name != params->end() && name->second.stringValue()) {
            if (arguments == params->end() || arguments->second.isNull())
                return {std::move(*name->second.stringValue()), {}};
            if (mcp::Object* given = arguments->second.objectValue())
                return {std::move(*name->second.stringValue()), std::move(*given)};
        }
    }
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

// One call on its way: made on the loop thread, run on its family's lane,
// which answers it. One object carries all of it, made and freed on the loop.
struct ToolCall {
    mcp::ID id;
    std::string name;
    // As read: the lane makes the tool's arguments of them, so that the loop
    // neither builds nor frees a third copy of every call.
    mcp::Object given;
    tools::ToolFamily* family;
    json::WriteOptions options;
    mcp::RequestHandlerBox::Answer answer;
    std::stop_source stop;
    std::stop_token loop;       // the stop of the loop that read it
    bool endsWithInput = false;  // typing and clicking for a client that has gone would act for nobody

    void run() {
        const std::stop_token token = stop.get_token();
        std::string text;
        try {
            text = writeToolAnswer(id, toolAnswer([&] {
                                       // Stopped while queued: the handler is not started.
                                       if (token.stop_requested()) throw rt::Cancelled();
                                       return family->run(name, tools::anyFromValue(given), token);
                                   }),
                                   options);
        } catch (const rt::Cancelled& e) {
            text = json::write(mcp::encode(mcp::AnyResponse(id, mcp::MCPError::internalError(std::string(e.what())))),
                               options);
        } catch (...) {
            // Not a std::exception: still answered, or a batch would wait for this call for ever.
            text = json::write(
                mcp::encode(mcp::AnyResponse(id, mcp::MCPError::internalError(std::string("Unknown error")))), options);
        }
        answer(std::move(text));
    }
};

// Calls in flight by request id, so that a cancellation finds its call. The
// loop's stop, and the end of the input for desktop calls, reach every call
// through one watch each, not one per call: a call's lane then touches
// nothing shared with the loop but the call itself.
class CallsInFlight {
public:
    explicit CallsInFlight(std::stop_token inputEnded) : inputEnded_(inputEnded) {
        onInputEnd_.emplace(std::move(inputEnded), StopWhere{this, nullptr});
    }
    CallsInFlight(const CallsInFlight&) = delete;
    CallsInFlight& operator=(const CallsInFlight&) = delete;

    void begin(const std::shared_ptr<ToolCall>& call) {
        watch(call->loop);
        {
            std::lock_guard lock(mutex_);
            // Ended calls leave their entries behind: cleared in bulk, so
            // the list stays within twice the calls in flight.
            if (calls_.size() >= pruneAt_) {
                std::erase_if(calls_, [](const auto& entry) { return entry.expired(); });
                pruneAt_ = std::max<std::size_t>(kLeastPrune, 2 * calls_.size());
            }
            calls_.push_back(call);
        }
        // A stop that came before the entry did found nothing to stop.
        if (call->loop.stop_requested() || (call->endsWithInput && inputEnded_.stop_requested()))
            call->stop.request_stop();
    }

    // Rare: a walk of the calls in flight costs less than an index kept for every call.
    void cancel(const mcp::ID& id) {
        stopWhere([&](const ToolCall& call) { return call.id == id; });
    }

private:
    static constexpr std::size_t kLeastPrune = 64;

    template <class Pred>
    void stopWhere(Pred&& pred) {
        std::vector<std::shared_ptr<ToolCall>> found;
        {
            std::lock_guard lock(mutex_);
            for (const auto& weak : calls_)
                if (auto call = weak.lock(); call && pred(*call)) found.push_back(std::move(call));
        }
        for (const auto& call : found) call->stop.request_stop();
    }

    // Stops the calls read by the loop `loop` stops, or (null) the desktop's.
    struct StopWhere {
        CallsInFlight* calls;
        const std::stop_token* loop;
        void operator()() const noexcept {
            calls->stopWhere([&](const ToolCall& call) { return loop ? call.loop == *loop : call.endsWithInput; });
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

    std::mutex mutex_;  // calls_; taken by the stop watches, never while one is made
    std::vector<std::weak_ptr<ToolCall>> calls_;  // a client may reuse an id: all are stopped
    std::size_t pruneAt_ = kLeastPrune;
    std::stop_token inputEnded_;
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
// is too busy to take, is answered at once. A batch item waits for its answer
// (the box's default handleWritten).
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
        const std::size_t bytes = tools::argumentBytes(parts.arguments);
        auto call = std::make_shared<ToolCall>(ToolCall{request.id, std::move(parts.name), std::move(parts.arguments),
                                                        family, options, std::move(answer), {}, std::move(stop),
                                                        family->toolSwitch() == tools::ToolSwitch::MacOS});
        calls_->begin(call);
        // Kept here too: a family with too many calls pending refuses this one
        // at once, and the loop goes on reading the calls of the others.
        if (auto busy = registry_.runHandler(family->toolSwitch(), bytes, [call] { call->run(); }))
            call->answer(writeToolAnswer(request.id, errorAnswer(busy->message()), options));
        return true;
    }

private:
    tools::LocalToolService& registry_;
    std::shared_ptr<CallsInFlight> calls_;
};

}  // namespace

void registerApplicationHandlers(mcp::Server& server, tools::LocalToolService& registry, std::stop_token inputEnded) {
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
