#include "app/hosting/tool_bridge.hpp"

#include "app/tools/registry/any_from_value.hpp"
#include "app/tools/registry/tool_error.hpp"
#include "mcp/prompts.hpp"
#include "mcp/resources.hpp"
#include "mcp/tools.hpp"
#include "runtime/runtime.hpp"

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


// Runs a tool; its failures are the caller's tool result. A cancelled request
// has no tool result to give: rt::Cancelled goes on.
template <class Run>
ToolAnswer toolAnswer(Run&& run) {
    try {
        return {run(), false};
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

struct RequestStop {
    std::stop_source source;
    void operator()() const noexcept { source.request_stop(); }
};

// The stop of one call: the loop's stop, the client's cancellation and, for
// the calls that act on the desktop, the end of the input all reach it.
struct CallStop {
    std::stop_source source;
    std::optional<std::stop_callback<RequestStop>> onLoopStop, onInputEnd;
};

// Calls in flight by request id, so that a cancellation finds its call.
class CallsInFlight {
public:
    std::shared_ptr<CallStop> begin(const mcp::ID& id, std::stop_token loop, std::stop_token inputEnd) {
        auto call = std::make_shared<CallStop>();
        call->onLoopStop.emplace(std::move(loop), RequestStop{call->source});
        call->onInputEnd.emplace(std::move(inputEnd), RequestStop{call->source});
        std::lock_guard lock(mutex_);
        calls_.emplace(id, call);
        return call;
    }
    void end(const mcp::ID& id, const std::shared_ptr<CallStop>& call) {
        std::lock_guard lock(mutex_);
        for (auto [at, last] = calls_.equal_range(id); at != last; ++at) {
            if (at->second.lock() == call) {
                calls_.erase(at);
                return;
            }
        }
    }
    void cancel(const mcp::ID& id) {
        std::vector<std::shared_ptr<CallStop>> found;
        {
            std::lock_guard lock(mutex_);
            for (auto [at, last] = calls_.equal_range(id); at != last; ++at)
                if (auto call = at->second.lock()) found.push_back(std::move(call));
        }
        for (const auto& call : found) call->source.request_stop();
    }

private:
    std::mutex mutex_;
    std::unordered_multimap<mcp::ID, std::weak_ptr<CallStop>> calls_;  // a client may reuse an id
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
    ToolCallHandler(tools::LocalToolService& registry, std::shared_ptr<CallsInFlight> calls, std::stop_token inputEnded)
        : registry_(registry), calls_(std::move(calls)), inputEnded_(std::move(inputEnded)) {}

    bool handleDeferred(const mcp::AnyRequest& request, const json::WriteOptions& options, std::stop_token stop,
                        Answer answer) const override {
        const CallOf call(request);
        std::optional<tools::ToolError> refusal;
        tools::ToolFamily* family = registry_.beginCall(call.name(), refusal);
        if (!family) {
            answer(writeToolAnswer(request.id, errorAnswer(refusal->message()), options));
            return true;
        }
        tools::Arguments arguments = call.arguments();
        const std::size_t bytes = tools::argumentBytes(arguments);
        // Typing and clicking for a client that has gone would act for nobody.
        auto callStop = calls_->begin(request.id, stop,
                                      family->toolSwitch() == tools::ToolSwitch::MacOS ? inputEnded_ : std::stop_token{});
        // Kept here too: a family with too many calls pending refuses this one
        // at once, and the loop goes on reading the calls of the others.
        auto answerOnce = std::make_shared<Answer>(std::move(answer));
        auto busy = registry_.runHandler(
            family->toolSwitch(), bytes,
            [family, calls = calls_, callStop, id = request.id, name = call.name(), arguments = std::move(arguments),
             options, answerOnce] {
                const std::stop_token stop = callStop->source.get_token();
                std::string text;
                try {
                    text = writeToolAnswer(id, toolAnswer([&] {
                                               // Stopped while queued: the handler is not started.
                                               if (stop.stop_requested()) throw rt::Cancelled();
                                               return family->handle(name, arguments, stop);
                                           }),
                                           options);
                } catch (const rt::Cancelled& e) {
                    text = json::write(
                        mcp::encode(mcp::AnyResponse(id, mcp::MCPError::internalError(std::string(e.what())))), options);
                } catch (...) {
                    // Not a std::exception: still answered, or a batch would wait for this call for ever.
                    text = json::write(
                        mcp::encode(mcp::AnyResponse(id, mcp::MCPError::internalError(std::string("Unknown error")))),
                        options);
                }
                calls->end(id, callStop);
                (*answerOnce)(std::move(text));
            });
        if (busy) {
            calls_->end(request.id, callStop);
            (*answerOnce)(writeToolAnswer(request.id, errorAnswer(busy->message()), options));
        }
        return true;
    }

private:
    tools::LocalToolService& registry_;
    std::shared_ptr<CallsInFlight> calls_;
    std::stop_token inputEnded_;
};

}  // namespace

void registerApplicationHandlers(mcp::Server& server, tools::LocalToolService& registry, std::stop_token inputEnded) {
    auto calls = std::make_shared<CallsInFlight>();
    server.registerMethodHandlerBox(std::string(mcp::ListTools::name), std::make_shared<ToolListHandler>(registry));
    server.registerMethodHandlerBox(std::string(mcp::CallTool::name),
                                    std::make_shared<ToolCallHandler>(registry, calls, std::move(inputEnded)));
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
