// The protocol server: one instance serves one connection. It reads messages
// from a transport on a task of its own, dispatches them to the registered
// handlers one at a time in arrival order, and sends the answers back.
//
//   auto server = mcp::Server::make("Kettleward", "1.0.0", std::nullopt, capabilities);
//   server->registerMethodHandler<mcp::ListTools>([&](const mcp::ListTools::Parameters& p) { ... });
//   server->start(std::make_shared<mcp::StdioTransport>());
//   server->waitUntilFinished();
//
// The server's state is guarded by a mutex that is never held while it calls
// out (to a handler, a transport or a logger). It has no logger of its own: it
// writes through the logger of its current transport, and nothing without one.
#pragma once

#include "mcp/client_records.hpp"
#include "mcp/envelope.hpp"
#include "mcp/envelope_scan.hpp"
#include "mcp/error.hpp"
#include "mcp/lifecycle.hpp"
#include "mcp/sampling.hpp"
#include "mcp/server_records.hpp"
#include "mcp/transport.hpp"
#include "runtime/runtime.hpp"

#include <concepts>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <variant>
#include <vector>

namespace mcp {

class Server : public std::enable_shared_from_this<Server> {
    struct PrivateTag {
        explicit PrivateTag() = default;
    };

public:
    using Info = ServerInfo;
    using Capabilities = ServerCapabilities;
    using Configuration = ServerConfiguration;

    // Runs during "initialize" before anything is recorded; an error it throws
    // is the answer to that request, and the server stays uninitialised.
    using InitializeHook = std::function<void(const ClientInfo&, const ClientCapabilities&, std::stop_token)>;

    // A JSON-RPC batch: each item is a request (its object has an "id" key,
    // whatever the value) or a notification.
    struct Batch {
        using Item = std::variant<AnyRequest, AnyMessage>;
        std::vector<Item> items;
        friend bool operator==(const Batch&, const Batch&) = default;
    };

    // The server must be owned by a shared_ptr: its loop task keeps it alive
    // while it runs, and the "initialize" handler refers to it weakly.
    static std::shared_ptr<Server> make(std::string name, std::string version,
                                        std::optional<std::string> instructions = std::nullopt,
                                        Capabilities capabilities = {},
                                        Configuration configuration = Configuration::defaultConfiguration);
    Server(PrivateTag, std::string name, std::string version, std::optional<std::string> instructions,
           Capabilities capabilities, Configuration configuration);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // ---- Identity, configuration, handshake state ------------------------

    const Info& serverInfo() const { return serverInfo_; }
    const std::string& name() const { return serverInfo_.name; }
    const std::string& version() const { return serverInfo_.version; }
    const std::optional<std::string>& instructions() const { return instructions_; }

    Capabilities capabilities() const;
    void setCapabilities(Capabilities capabilities);
    Configuration configuration() const;
    void setConfiguration(Configuration configuration);

    bool isInitialized() const;
    // Started and not stopped: messages sent now have a transport to go to.
    bool isConnected() const { return connection() != nullptr; }
    std::optional<ClientInfo> clientInfo() const;
    std::optional<ClientCapabilities> clientCapabilities() const;
    std::optional<std::string> protocolVersion() const;
    // Resource subscriptions by URI: starts empty; nothing in the server
    // changes it yet.
    std::unordered_map<std::string, std::unordered_set<ID>> subscriptions() const;

    // ---- Registration -----------------------------------------------------

    // handler(params, stop) or handler(params), returning M::Result; what it
    // throws is answered as an error (an MCPError as is, anything else as
    // internalError with its what()). Replaces a handler of the same name.
    template <Method M, class F>
        requires std::invocable<const F&, const typename M::Parameters&, std::stop_token> ||
                 std::invocable<const F&, const typename M::Parameters&>
    Server& registerMethodHandler(F handler);

    // A handler box of the caller's own under a method name; replaces a
    // handler of the same name.
    Server& registerMethodHandlerBox(std::string name, std::shared_ptr<const RequestHandlerBox> box);

    // handler(message, stop) or handler(message); every handler registered for
    // a name runs, in registration order, even when an earlier one throws.
    template <Notification N, class F>
        requires std::invocable<const F&, const Message<N>&, std::stop_token> ||
                 std::invocable<const F&, const Message<N>&>
    Server& registerNotificationHandler(F handler);

    // ---- Running ----------------------------------------------------------

    // Installs the "initialize" and "ping" handlers (replacing any registered
    // under those names), connects the transport (its failure is thrown, and no
    // loop starts) and starts the message loop. Does not wait for the loop.
    void start(std::shared_ptr<Transport> transport, InitializeHook initializeHook = {}, std::stop_token stop = {});
    // Cancels the loop and disconnects the transport; does not wait for the
    // loop to end. Harmless twice or before start.
    void stop();
    // Waits until the current loop has ended; at once when there is none (also
    // after stop(), and when called from the loop itself).
    void waitUntilFinished(std::stop_token stop = {});
    // After stop(): waits until every loop it started has ended and its
    // thread is gone (the caller's own loop aside), so that what the loops
    // use may be destroyed. False past the deadline.
    bool waitUntilStopped(rt::Clock::time_point deadline);

    // ---- Sending ----------------------------------------------------------

    // Each encodes one message (sorted keys, plain slashes, no whitespace) and
    // hands it to the transport. Without a connection: internalError "Server
    // connection not initialized", nothing sent.
    template <Method M>
    void sendResponse(const Response<M>& response, std::stop_token stop = {});
    template <Notification N>
    void sendNotification(const Message<N>& notification, std::stop_token stop = {});
    void sendErasedResponse(const AnyResponse& response, std::stop_token stop = {});

    // Always fails: the transports cannot carry requests to the client.
    CreateSamplingMessage::Result sendSamplingRequest(
        std::vector<Sampling::Message> messages, std::optional<Sampling::ModelPreferences> modelPreferences,
        std::optional<std::string> systemPrompt, std::optional<Sampling::ContextInclusion> includeContext,
        std::optional<double> temperature, std::int64_t maxTokens,
        std::optional<std::vector<std::string>> stopSequences = std::nullopt,
        std::optional<std::map<std::string, Value>> metadata = std::nullopt);

    // ---- Dispatch (what the message loop calls) ---------------------------

    // With sendResponse the answer is sent (by a deferring handler later, from
    // another thread) and nullopt returned; without, the answer is returned. Throws invalidRequest "Server is not initialized"
    // under the strict rule, and a failed send of the error answer.
    std::optional<AnyResponse> handleRequest(AnyRequest request, bool sendResponse, std::stop_token stop = {});
    // Throws only under the strict rule; handler errors are logged.
    void handleMessage(const AnyMessage& message, std::stop_token stop = {});
    // Answers all requests of the batch with one array, in their order. Its
    // requests run as single ones do: one whose handler answers later leaves
    // the array to be sent with its answer, after this returns.
    void handleBatch(Batch batch, std::stop_token stop = {});

private:
    struct LoopRun {
        rt::Task task;
        std::shared_ptr<rt::OneShot<std::monostate>> done;
    };

    void setMethodHandler(std::string name, std::shared_ptr<const RequestHandlerBox> box);
    // The written answer to one request (an error answer for a failing
    // handler); throws only under the strict rule.
    WrittenAnswer answerRequest(const AnyRequest& request, bool single, std::stop_token stop);
    // Hands the request to a handler that answers later; false when there is
    // none for it (or the strict rule refuses it), and nothing was done.
    bool answerDeferred(AnyRequest& request, const std::stop_token& stop);
    // The same for a plain request whose params are still text, to a handler
    // that reads them itself; false when there is none, or it left them to be read.
    bool answerText(const PlainEnvelope& request, const std::stop_token& stop);
    struct DeferredRoute {
        std::shared_ptr<const RequestHandlerBox> handler;  // null: none, or refused
        std::shared_ptr<Transport> transport;
    };
    DeferredRoute deferredRoute(std::string_view method) const;
    void registerDefaultHandlers(InitializeHook initializeHook);
    void completeInitialization(ClientInfo clientInfo, ClientCapabilities clientCapabilities,
                                std::string protocolVersion);
    Initialize::Result initializeResult(std::string protocolVersion) const;

    std::shared_ptr<Transport> connection() const;
    std::shared_ptr<Transport> requireConnection() const;
    static void sendJson(Transport& transport, const json::Value& message, std::stop_token stop);

    void runLoop(const std::shared_ptr<Transport>& transport, std::stop_token stop);
    static void flushQuietly(Transport& transport, std::stop_token stop);
    void handleElement(std::string_view element, const std::stop_token& stop);
    // Finished runs, to be destroyed outside the lock.
    std::vector<LoopRun> takeFinishedRunsLocked();

    const Info serverInfo_;
    const std::optional<std::string> instructions_;

    mutable std::mutex mutex_;
    std::shared_ptr<Transport> connection_;
    Capabilities capabilities_;
    Configuration configuration_;
    std::unordered_map<std::string, std::shared_ptr<const RequestHandlerBox>> methodHandlers_;
    NotificationHandlerMap notificationHandlers_;
    bool isInitialized_ = false;
    std::optional<ClientInfo> clientInfo_;
    std::optional<ClientCapabilities> clientCapabilities_;
    std::optional<std::string> protocolVersion_;
    std::unordered_map<std::string, std::unordered_set<ID>> subscriptions_;
    std::optional<LoopRun> task_;
    // Loops replaced by a later start or cancelled by stop; kept until they end.
    std::vector<LoopRun> retired_;
};

// The batch as one JSON array of its request and notification objects.
json::Value toJson(const Server::Batch& batch);
// A JSON array whose every element is an object: one with an "id" key reads as
// a request, one without as a notification. Any failing element fails it all.
Server::Batch fromJson(const json::Value& v, json::CodingPath& path, std::type_identity<Server::Batch>);
Server::Batch fromJson(json::Value&& v, json::CodingPath& path, std::type_identity<Server::Batch>);

// ---- Inline definitions -----------------------------------------------------

template <Method M, class F>
    requires std::invocable<const F&, const typename M::Parameters&, std::stop_token> ||
             std::invocable<const F&, const typename M::Parameters&>
Server& Server::registerMethodHandler(F handler) {
    auto box = std::make_shared<const TypedRequestHandler<M>>(
        [handler = std::move(handler)](const Request<M>& request, std::stop_token stop) {
            if constexpr (std::invocable<const F&, const typename M::Parameters&, std::stop_token>) {
                return Response<M>(request.id, handler(request.params, std::move(stop)));
            } else {
                return Response<M>(request.id, handler(request.params));
            }
        });
    setMethodHandler(std::string(M::name), std::move(box));
    return *this;
}

template <Notification N, class F>
    requires std::invocable<const F&, const Message<N>&, std::stop_token> ||
             std::invocable<const F&, const Message<N>&>
Server& Server::registerNotificationHandler(F handler) {
    auto box = std::make_shared<const TypedNotificationHandler<N>>(std::move(handler));
    std::lock_guard lock(mutex_);
    appendNotificationHandler(notificationHandlers_, N::name, std::move(box));
    return *this;
}

template <Method M>
void Server::sendResponse(const Response<M>& response, std::stop_token stop) {
    auto transport = requireConnection();
    sendJson(*transport, encode(response), std::move(stop));
}

template <Notification N>
void Server::sendNotification(const Message<N>& notification, std::stop_token stop) {
    auto transport = requireConnection();
    sendJson(*transport, encode(notification), std::move(stop));
}

}  // namespace mcp
