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
#include <unordered_map>
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

// From a map of protocol values, or none.
template <class Map>
tools::Arguments argumentsOf(const Map* given) {
    tools::Arguments arguments;
    if (given) {
        for (const auto& [key, value] : *given) arguments.emplace(key, tools::anyFromValue(value));
    }
    return arguments;
}

// The tool's name and arguments, read from the untyped parameters where
// they have the plain form (an object, "name" a text, "arguments" an
// object, null or absent): the typed reading would find the same. Otherwise
// the typed reading answers, with its error when it has one.
class CallOf {
public:
    explicit CallOf(const mcp::AnyRequest& request) {
        if (const mcp::Object* params = request.params.objectValue()) {
            const auto name = params->find("name");
            const auto arguments = params->find("arguments");
            if (name != params->end() && name->second.stringValue()) {
                name_ = name->second.stringValue();
                if (arguments == params->end() || arguments->second.isNull()) return;
                arguments_ = arguments->second.objectValue();
                if (arguments_) return;
            }
        }
        typed_.emplace(mcp::typedRequest<mcp::CallTool>(request).params);
        name_ = &typed_->name;
        arguments_ = nullptr;
    }
    const std::string& name() const { return *name_; }
    tools::Arguments arguments() const {
        if (!typed_) return argumentsOf(arguments_);
        return argumentsOf(typed_->arguments ? &*typed_->arguments : nullptr);
    }

private:
    std::optional<mcp::CallTool::Parameters> typed_;
    const std::string* name_ = nullptr;
    const mcp::Object* arguments_ = nullptr;
};

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
// which answers it. One object, so that a call costs one allocation.
struct ToolCall {
    mcp::ID id;
    std::string name;
    tools::Arguments arguments;
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
                                       return family->run(name, arguments, token);
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
            // the map stays within twice the calls in flight.
            if (calls_.size() >= pruneAt_) {
                std::erase_if(calls_, [](const auto& entry) { return entry.second.expired(); });
                pruneAt_ = std::max<std::size_t>(kLeastPrune, 2 * calls_.size());
            }
            calls_.emplace(call->id, call);
        }
        // A stop that came before the entry did found nothing to stop.
        if (call->loop.stop_requested() || (call->endsWithInput && inputEnded_.stop_requested()))
            call->stop.request_stop();
    }

    void cancel(const mcp::ID& id) {
        std::vector<std::shared_ptr<ToolCall>> found;
        {
            std::lock_guard lock(mutex_);
            for (auto [at, last] = calls_.equal_range(id); at != last; ++at)
                if (auto call = at->second.lock()) found.push_back(std::move(call));
        }
        for (const auto& call : found) call->stop.request_stop();
    }

private:
    static constexpr std::size_t kLeastPrune = 64;

    // Stops the calls read by the loop `loop` stops, or (null) the desktop's.
    struct StopWhere {
        CallsInFlight* calls;
        const std::stop_token* loop;
        void operator()() const noexcept {
            std::vector<std::shared_ptr<ToolCall>> found;
            {
                std::lock_guard lock(calls->mutex_);
                for (const auto& [id, weak] : calls->calls_) {
                    auto call = weak.lock();
                    if (call && (loop ? call->loop == *loop : call->endsWithInput)) found.push_back(std::move(call));
                }
            }
            for (const auto& call : found) call->stop.request_stop();
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
    std::unordered_multimap<mcp::ID, std::weak_ptr<ToolCall>> calls_;  // a client may reuse an id
    std::size_t pruneAt_ = kLeastPrune;
    std::stop_token inputEnded_;
    std::mutex watchMutex_;
    std::vector<std::unique_ptr<LoopWatch>> watches_;
    // Last: it goes first, so no watch runs on a half-destroyed map.
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

    bool handleDeferred(const mcp::AnyRequest& request, const json::WriteOptions& options, std::stop_token stop,
                        Answer answer) const override {
        const CallOf read(request);
        std::optional<tools::ToolError> refusal;
        tools::ToolFamily* family = registry_.beginCall(read.name(), refusal);
        if (!family) {
            answer(writeToolAnswer(request.id, errorAnswer(refusal->message()), options));
            return true;
        }
        auto call = std::make_shared<ToolCall>(ToolCall{request.id, read.name(), read.arguments(), family, options,
                                                        std::move(answer), {}, std::move(stop),
                                                        family->toolSwitch() == tools::ToolSwitch::MacOS});
        calls_->begin(call);
        // Kept here too: a family with too many calls pending refuses this one
        // at once, and the loop goes on reading the calls of the others.
        if (auto busy = registry_.runHandler(family->toolSwitch(), tools::argumentBytes(call->arguments),
                                             [call] { call->run(); }))
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
