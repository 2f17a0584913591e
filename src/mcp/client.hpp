// The protocol client: connects over any transport, performs the initialize
// handshake, sends requests, notifications and batches, matches answers to
// waiting callers by id and dispatches notifications to registered handlers.
//
//   mcp::Client client("Kettleward", "1.0.0");
//   client.connect(transport);                      // returns the initialize result
//   auto tools = client.listTools().tools;
//   auto answer = client.callTool("echo", {{{"message", "hi"}}});
//
// Every operation blocks its caller until the answer arrives and honours a
// stop token. The client's state is guarded by a mutex that is never held
// while it calls out (to a transport, a logger, a handler). One message-loop
// thread reads the transport and runs the notification handlers, one at a
// time: a handler must not wait for the answer to a request of this client.
#pragma once

#include "logging/logger.hpp"
#include "mcp/client_records.hpp"
#include "mcp/envelope.hpp"
#include "mcp/error.hpp"
#include "mcp/lifecycle.hpp"
#include "mcp/prompts.hpp"
#include "mcp/resources.hpp"
#include "mcp/server_records.hpp"
#include "mcp/tools.hpp"
#include "mcp/transport.hpp"
#include "runtime/runtime.hpp"

#include <atomic>
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
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

namespace mcp {

// An answer whose result cannot become the type the caller waits for.
class TypeMismatchError : public std::exception {
public:
    const char* what() const noexcept override;
};

// What a pending record is resumed with: the untyped result, or the failure.
using PendingOutcome = std::variant<Value, std::exception_ptr>;

// The result through JSON; any failure becomes TypeMismatchError.
template <class T>
T convertResult(const Value& value) {
    if constexpr (std::is_same_v<T, Value>) {
        return value;
    } else {
        try {
            return decode<T>(encode(value));
        } catch (...) {
            throw TypeMismatchError();
        }
    }
}

// One caller waiting for a T.
template <class T>
struct PendingRequest {
    std::shared_ptr<rt::OneShot<T>> continuation;
};

// The table's record: resumes its caller once, converting a success to the
// awaited type on the way.
class AnyPendingRequest {
public:
    template <class T>
    explicit AnyPendingRequest(PendingRequest<T> request)
        : resume_([continuation = std::move(request.continuation)](PendingOutcome outcome) {
              if (auto* error = std::get_if<std::exception_ptr>(&outcome)) {
                  continuation->fail(*error);
                  return;
              }
              try {
                  continuation->resume(convertResult<T>(std::get<Value>(outcome)));
              } catch (...) {
                  continuation->fail(std::current_exception());
              }
          }) {}

    void resume(PendingOutcome outcome) const { resume_(std::move(outcome)); }

private:
    std::function<void(PendingOutcome)> resume_;
};

class Client {
    struct Outbound {
        std::shared_ptr<Transport> transport;
        std::uint64_t generation = 0;  // disconnects seen when it was taken
    };

public:
    using Info = ClientInfo;
    using Capabilities = ClientCapabilities;
    using Configuration = ClientConfiguration;

    // A batched request's result: wait() returns it or throws its failure.
    template <class R>
    using Pending = std::shared_ptr<rt::OneShot<R>>;

    // Collects the requests of one withBatch call; safe to use from several
    // threads while the body runs, and only then.
    class Batch {
    public:
        Batch(const Batch&) = delete;
        Batch& operator=(const Batch&) = delete;

        // Records the request in the client's table at once. Throws the
        // erasing error, or internalError for an id already outstanding
        // (nothing added then). After a disconnect of the batch's transport
        // the handle comes back already failed with "Client disconnected".
        template <Method M>
        Pending<typename M::Result> addRequest(const Request<M>& request);

    private:
        friend class Client;
        Batch(Client& client, Outbound outbound) : client_(client), outbound_(std::move(outbound)) {}

        Client& client_;
        const Outbound outbound_;
        std::mutex mutex_;
        std::vector<AnyRequest> requests_;
        std::vector<std::pair<ID, std::uint64_t>> records_;  // id and record serial
    };

    Client(std::string name, std::string version, Configuration configuration = Configuration::defaultConfiguration);
    // Stops and joins the message loops and fails the requests still waiting
    // with "Client disconnected"; the transport is left as it is. Must not run
    // on the client's own message loop (inside a notification handler).
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // ---- State --------------------------------------------------------------

    std::shared_ptr<Transport> connection() const;
    // The current transport's logger; none while no transport is set.
    std::optional<logging::Logger> logger() const;
    const Info& clientInfo() const { return clientInfo_; }
    const std::string& name() const { return clientInfo_.name; }
    const std::string& version() const { return clientInfo_.version; }
    Capabilities capabilities() const;
    void setCapabilities(Capabilities capabilities);
    Configuration configuration() const;
    void setConfiguration(Configuration configuration);
    // Set by a successful initialize.
    std::optional<ServerCapabilities> serverCapabilities() const;
    std::optional<std::string> serverVersion() const;
    std::optional<std::string> instructions() const;
    // The ids of the requests still waiting for an answer.
    std::vector<ID> pendingRequestIds() const;

    // ---- Connection ---------------------------------------------------------

    // Stores the transport, connects it (its failure is thrown and no loop
    // starts), starts the message loop and performs the handshake. A handshake
    // failure is thrown; the transport and the loop stay.
    Initialize::Result connect(std::shared_ptr<Transport> transport, std::stop_token stop = {});
    // Detaches from the transport, fails every waiting request with
    // internalError "Client disconnected", stops the loop and disconnects the
    // transport. Never throws; harmless twice.
    void disconnect();

    // handler(message, stop) or handler(message); every handler of a method
    // runs, in registration order, even when an earlier one throws.
    template <Notification N, class F>
        requires std::invocable<const F&, const Message<N>&, std::stop_token> ||
                 std::invocable<const F&, const Message<N>&>
    Client& registerNotificationHandler(F handler);

    // ---- Sending ------------------------------------------------------------

    // Without a transport: internalError "Client connection not initialized".
    // Otherwise the transport's send failure as is.
    template <Notification N>
    void notify(const Message<N>& notification, std::stop_token stop = {});

    // Sends the request under its own id and waits for the answer: the typed
    // result, the answer's MCPError, TypeMismatchError, the transport's send
    // failure, or internalError "Client disconnected". An id already waiting
    // is refused before anything is sent. rt::Cancelled when `stop` fires
    // first (the request is forgotten then).
    template <Method M>
    typename M::Result send(const Request<M>& request, std::stop_token stop = {});

    // Runs body(batch), then sends every added request as one JSON array and
    // returns; wait on the handles afterwards. Without a transport the body is
    // not run. When the body or the send fails, the batch's requests fail with
    // that error, which is rethrown.
    void withBatch(const std::function<void(Batch&)>& body, std::stop_token stop = {});

    // ---- Protocol operations ------------------------------------------------
    // In strict mode the operations bound to a server capability throw
    // methodNotFound before anything is sent when the server did not announce it.

    Initialize::Result initialize(std::stop_token stop = {});
    // The handshake: "initialize" with Version::latest(), the client's
    // capabilities and identity; stores the server's capabilities, version and
    // instructions; then sends "notifications/initialized".
    Initialize::Result performInitialization(std::stop_token stop = {});
    void ping(std::stop_token stop = {});
    GetPrompt::Result getPrompt(std::string name,
                                std::optional<std::map<std::string, Value>> arguments = std::nullopt,
                                std::stop_token stop = {});
    ListPrompts::Result listPrompts(std::optional<std::string> cursor = std::nullopt, std::stop_token stop = {});
    std::vector<Resource::Content> readResource(std::string uri, std::stop_token stop = {});
    ListResources::Result listResources(std::optional<std::string> cursor = std::nullopt, std::stop_token stop = {});
    void subscribeResource(std::string uri, std::stop_token stop = {});
    ListResourceTemplates::Result listResourceTemplates(std::optional<std::string> cursor = std::nullopt,
                                                        std::stop_token stop = {});
    ListTools::Result listTools(std::optional<std::string> cursor = std::nullopt, std::stop_token stop = {});
    CallTool::Result callTool(std::string name, std::optional<std::map<std::string, Value>> arguments = std::nullopt,
                              std::stop_token stop = {});
    // Does nothing and returns this client: lets a call chain name it.
    Client& itself() noexcept { return *this; }

    // ---- Received messages (what the message loop calls) --------------------

    // None of these throws.
    void handleResponse(const AnyResponse& response);
    void handleMessage(const AnyMessage& message, std::stop_token stop = {});
    void handleBatchResponse(const std::vector<AnyResponse>& responses);

private:
    struct Record {
        std::uint64_t serial;
        AnyPendingRequest request;
    };
    struct LoopRun {
        rt::Task task;
        std::shared_ptr<std::atomic<bool>> finished;
    };

    // Throws internalError "Client connection not initialized" without a transport.
    Outbound requireConnection() const;
    static std::string encodeMessage(const json::Value& message);

    // The record's serial, or the failure it meets at once (a disconnect since
    // `outbound` was taken, or a transport whose stream has ended). Throws for
    // an id already outstanding.
    struct Insertion {
        std::uint64_t serial = 0;
        std::optional<MCPError> failure;
    };
    Insertion insertPendingRequest(const ID& id, AnyPendingRequest record, const Outbound& outbound);
    // With a serial, only that very record is removed.
    std::optional<AnyPendingRequest> removePendingRequest(const ID& id,
                                                          std::optional<std::uint64_t> serial = std::nullopt);
    // Sends a recorded request; a failure is thrown when it removed the record.
    void transmit(const ID& id, std::uint64_t serial, const Outbound& outbound, std::string bytes,
                  std::stop_token stop);
    // Removes and fails the records that are still there.
    void failRecords(const std::vector<std::pair<ID, std::uint64_t>>& records, const std::exception_ptr& error);
    static void resumeWithResponse(const AnyPendingRequest& record, const AnyResponse& response);

    template <class R>
    R awaitResult(const ID& id, std::uint64_t serial, rt::OneShot<R>& continuation, std::stop_token stop);

    void checkServerCapability(bool (*announced)(const ServerCapabilities&), std::string_view feature) const;

    void startMessageLoop();
    void runLoop(std::stop_token stop);
    void handleReceived(const std::string& bytes, std::stop_token stop);
    // The loop of `transport` read its stream's end: fail the waiting requests.
    // When final, later requests over it fail at once too.
    void connectionLost(const std::shared_ptr<Transport>& transport, MCPError error, bool final = true);
    std::vector<LoopRun> takeFinishedRunsLocked();

    const Info clientInfo_;

    mutable std::mutex mutex_;
    std::shared_ptr<Transport> connection_;
    Capabilities capabilities_;
    Configuration configuration_;
    std::optional<ServerCapabilities> serverCapabilities_;
    std::optional<std::string> serverVersion_;
    std::optional<std::string> instructions_;
    NotificationHandlerMap notificationHandlers_;
    std::optional<LoopRun> task_;
    // Loops replaced by a later connect; they read their own transport until it ends.
    std::vector<LoopRun> retired_;
    std::unordered_map<ID, Record> pendingRequests_;
    std::uint64_t generation_ = 0;
    std::uint64_t nextSerial_ = 0;
    // The current transport once its loop has read the end of its stream.
    std::shared_ptr<Transport> lostTransport_;
    std::optional<MCPError> lostError_;
};

// ---- Inline definitions -----------------------------------------------------

template <Notification N, class F>
    requires std::invocable<const F&, const Message<N>&, std::stop_token> ||
             std::invocable<const F&, const Message<N>&>
Client& Client::registerNotificationHandler(F handler) {
    auto box = std::make_shared<const TypedNotificationHandler<N>>(std::move(handler));
    std::lock_guard lock(mutex_);
    appendNotificationHandler(notificationHandlers_, N::name, std::move(box));
    return *this;
}

template <Notification N>
void Client::notify(const Message<N>& notification, std::stop_token stop) {
    Outbound outbound = requireConnection();
    std::string bytes = encodeMessage(encode(notification));
    outbound.transport->send(std::move(bytes), std::move(stop));
}

template <class R>
R Client::awaitResult(const ID& id, std::uint64_t serial, rt::OneShot<R>& continuation, std::stop_token stop) {
    try {
        return continuation.wait(stop);
    } catch (const rt::Cancelled&) {
        removePendingRequest(id, serial);
        throw;
    }
}

template <Method M>
typename M::Result Client::send(const Request<M>& request, std::stop_token stop) {
    using R = typename M::Result;
    Outbound outbound = requireConnection();
    std::string bytes = encodeMessage(encode(request));
    auto continuation = std::make_shared<rt::OneShot<R>>();
    Insertion insertion =
        insertPendingRequest(request.id, AnyPendingRequest(PendingRequest<R>{continuation}), outbound);
    if (insertion.failure) throw *insertion.failure;
    transmit(request.id, insertion.serial, outbound, std::move(bytes), stop);
    return awaitResult(request.id, insertion.serial, *continuation, std::move(stop));
}

template <Method M>
Client::Pending<typename M::Result> Client::Batch::addRequest(const Request<M>& request) {
    using R = typename M::Result;
    AnyRequest erased = eraseToAnyRequest(request);
    auto continuation = std::make_shared<rt::OneShot<R>>();
    std::lock_guard lock(mutex_);
    Insertion insertion =
        client_.insertPendingRequest(erased.id, AnyPendingRequest(PendingRequest<R>{continuation}), outbound_);
    if (insertion.failure) {
        continuation->fail(std::make_exception_ptr(*insertion.failure));
        return continuation;
    }
    records_.emplace_back(erased.id, insertion.serial);
    requests_.push_back(std::move(erased));
    return continuation;
}

}  // namespace mcp
