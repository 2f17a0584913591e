#include "mcp/client.hpp"

#include "json/json.hpp"
#include "json/utf8.hpp"

#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace mcp {

namespace {

constexpr const char* kLogFile = "MCP/Client";
constexpr std::string_view kNoConnection = "Client connection not initialized";
constexpr std::string_view kDisconnected = "Client disconnected";
constexpr auto kReadPause = std::chrono::milliseconds(10);

// The encoder's default settings: members in writing order, slashes escaped.
constexpr json::WriteOptions kWireOptions{.sortedKeys = false, .escapeSlashes = true, .pretty = false};

using Level = logging::Logger::Level;
using Metadata = logging::Logger::Metadata;

// One line through the logger of `transport`; nothing without one.
template <class M, class MD>
void logTo(const std::shared_ptr<Transport>& transport, Level level, std::string_view function, std::int64_t line,
           M&& message, MD&& metadata) {
    if (!transport) return;
    transport->logger().log(level, std::forward<M>(message), std::forward<MD>(metadata), kLogFile, function, line);
}
template <class M>
void logTo(const std::shared_ptr<Transport>& transport, Level level, std::string_view function, std::int64_t line,
           M&& message) {
    logTo(transport, level, function, line, std::forward<M>(message), std::nullopt);
}


// A read error as the failure of the requests that can no longer be answered.
MCPError asProtocolError(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const MCPError& e) {
        return e;
    } catch (const std::exception& e) {
        return MCPError::transportError(PlatformError::fromException(e));
    } catch (...) {
        return MCPError::transportError(PlatformError("exception", 0, "Unknown error"));
    }
}

// "Try again" read errors, by name rather than by number.
bool isTryAgain(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::system_error& e) {
        return e.code() == std::errc::resource_unavailable_try_again;
    } catch (const MCPError& e) {
        const PlatformError* underlying = e.underlying();
        return e.kind() == MCPError::Kind::TransportError && underlying && underlying->domain() == "POSIX" &&
               underlying->code() == EAGAIN;
    } catch (...) {
        return false;
    }
}

}  // namespace

const char* TypeMismatchError::what() const noexcept {
    return "The operation couldn\u2019t be completed. (MCP.TypeMismatchError error 1.)";
}

// ---- Construction and state -------------------------------------------------

Client::Client(std::string name, std::string version, Configuration configuration)
    : clientInfo_{std::move(name), std::move(version)}, configuration_(configuration) {}

Client::~Client() {
    std::optional<LoopRun> task;
    std::vector<LoopRun> retired;
    std::unordered_map<ID, Record> pending;
    {
        std::lock_guard lock(mutex_);
        task = std::move(task_);
        task_.reset();
        retired.swap(retired_);
        pending.swap(pendingRequests_);
        ++generation_;
    }
    // Nobody is left to answer these.
    for (auto& [id, record] : pending) {
        record.request.resume(std::make_exception_ptr(MCPError::internalError(std::string(kDisconnected))));
    }
    if (task) task->task.cancel();
    for (auto& run : retired) run.task.cancel();
    if (task) task->task.join();
    for (auto& run : retired) run.task.join();
}

std::shared_ptr<Transport> Client::connection() const {
    std::lock_guard lock(mutex_);
    return connection_;
}

std::optional<logging::Logger> Client::logger() const {
    auto transport = connection();
    if (!transport) return std::nullopt;
    return transport->logger();
}

Client::Capabilities Client::capabilities() const {
    std::lock_guard lock(mutex_);
    return capabilities_;
}

void Client::setCapabilities(Capabilities capabilities) {
    std::lock_guard lock(mutex_);
    capabilities_ = std::move(capabilities);
}

Client::Configuration Client::configuration() const {
    std::lock_guard lock(mutex_);
    return configuration_;
}

void Client::setConfiguration(Configuration configuration) {
    std::lock_guard lock(mutex_);
    configuration_ = configuration;
}

std::optional<ServerCapabilities> Client::serverCapabilities() const {
    std::lock_guard lock(mutex_);
    return serverCapabilities_;
}

std::optional<std::string> Client::serverVersion() const {
    std::lock_guard lock(mutex_);
    return serverVersion_;
}

std::optional<std::string> Client::instructions() const {
    std::lock_guard lock(mutex_);
    return instructions_;
}

std::vector<ID> Client::pendingRequestIds() const {
    std::lock_guard lock(mutex_);
    std::vector<ID> ids;
    ids.reserve(pendingRequests_.size());
    for (const auto& [id, record] : pendingRequests_) ids.push_back(id);
    return ids;
}

// ---- Connection ---------------------------------------------------------------

std::vector<Client::LoopRun> Client::takeFinishedRunsLocked() {
    std::vector<LoopRun> finished;
    for (auto it = retired_.begin(); it != retired_.end();) {
        if (it->finished->load(std::memory_order_acquire)) {
            finished.push_back(std::move(*it));
            it = retired_.erase(it);
        } else {
            ++it;
        }
    }
    return finished;
}

Initialize::Result Client::connect(std::shared_ptr<Transport> transport, std::stop_token stop) {
    if (!transport) throw std::invalid_argument("Client::connect needs a transport");
    {
        std::vector<LoopRun> finished;
        {
            std::lock_guard lock(mutex_);
            connection_ = transport;
            lostTransport_.reset();
            lostError_.reset();
            finished = takeFinishedRunsLocked();
        }
    }  // finished loops are joined here, outside the lock
    transport->connect(stop);
    logTo(connection(), Level::debug, "connect(transport:)", __LINE__, "Client connected",
          [&] { return Metadata{{"name", clientInfo_.name}, {"version", clientInfo_.version}}; });
    startMessageLoop();
    return performInitialization(std::move(stop));
}

void Client::startMessageLoop() {
    auto finished = std::make_shared<std::atomic<bool>>(false);
    LoopRun run{rt::Task([this, finished](std::stop_token stop) {
                    runLoop(stop);
                    finished->store(true, std::memory_order_release);
                }),
                finished};
    std::vector<LoopRun> done;  // joined after the lock is released
    {
        std::lock_guard lock(mutex_);
        // An earlier loop is not cancelled: it goes on with its own transport.
        if (task_) retired_.push_back(std::move(*task_));
        task_ = std::move(run);
        done = takeFinishedRunsLocked();
    }
}

void Client::disconnect() {
    std::shared_ptr<Transport> transport;
    std::optional<LoopRun> task;
    std::unordered_map<ID, Record> pending;
    {
        // Taken in one step: no request can be recorded in the table being failed.
        std::lock_guard lock(mutex_);
        transport = std::move(connection_);
        connection_.reset();
        task = std::move(task_);
        task_.reset();
        pending.swap(pendingRequests_);
        ++generation_;
        lostTransport_.reset();
        lostError_.reset();
    }
    logTo(transport, Level::debug, "disconnect()", __LINE__, "Initiating client disconnect...");
    for (auto& [id, record] : pending) {
        record.request.resume(std::make_exception_ptr(MCPError::internalError(std::string(kDisconnected))));
    }
    logTo(transport, Level::debug, "disconnect()", __LINE__, "Pending requests cancelled.");
    if (task) task->task.cancel();
    logTo(transport, Level::debug, "disconnect()", __LINE__, "Message loop task cancellation requested.");
    if (transport) {
        transport->disconnect();
        logTo(transport, Level::debug, "disconnect()", __LINE__, "Transport disconnected.");
    }
    if (task && task->task.id() == std::this_thread::get_id()) {
        // Called from a handler on the loop itself: it ends once the handler
        // returns; the destructor joins it.
        std::lock_guard lock(mutex_);
        retired_.push_back(std::move(*task));
    } else if (task) {
        task->task.join();
    }
    logTo(transport, Level::debug, "disconnect()", __LINE__, "Client message loop task finished.");
    logTo(transport, Level::debug, "disconnect()", __LINE__, "Client disconnect complete.");
}

// ---- Message loop -------------------------------------------------------------

void Client::runLoop(std::stop_token stop) {
    const std::shared_ptr<Transport> transport = connection();
    if (!transport) return;

    MessageStream previous;
    std::exception_ptr lastError;  // how the previous stream failed, if it did
    bool streamGone = false;       // left because no further message can come
    while (!stop.stop_requested()) {
        bool yielded = false;
        try {
            MessageStream stream = transport->receive();
            // The same stream again after it ended: nothing more will arrive on it.
            if (!stream || stream == previous) {
                streamGone = true;
                break;
            }
            previous = stream;
            while (std::optional<std::string> element = stream->next(stop)) {
                yielded = true;
                if (stop.stop_requested()) break;
                handleReceived(*element, stop);
            }
            lastError = nullptr;
            if (stop.stop_requested()) break;
            if (!yielded) {
                // A fresh stream that ended at once: the transport is not
                // connected, so answers still awaited can no longer arrive
                // (a transport drops what comes while it is disconnected).
                // Do not spin on the next one either.
                connectionLost(transport, MCPError::connectionClosed(), /*final=*/false);
                sleepOnContinuousClock(kReadPause, std::nullopt, stop);
            }
        } catch (const rt::Cancelled&) {
            break;
        } catch (...) {
            lastError = std::current_exception();
            if (isTryAgain(lastError)) {
                try {
                    sleepOnContinuousClock(kReadPause, std::nullopt, stop);
                } catch (...) {
                    // A cancelled pause ends at the loop's own check.
                }
                continue;
            }
            logTo(connection(), Level::error, "connect(transport:)", __LINE__, "Error in message handling loop",
                  [&] { return Metadata{{"error", errorLogText(lastError)}}; });
            streamGone = true;
            break;
        }
    }
    logTo(connection(), Level::debug, "connect(transport:)", __LINE__,
          "Client message handling loop task is terminating.");
    if (streamGone && !stop.stop_requested()) {
        connectionLost(transport, lastError ? asProtocolError(lastError) : MCPError::connectionClosed());
    }
}

void Client::handleReceived(const std::string& bytes, std::stop_token stop) {
    std::optional<json::Value> parsed;
    try {
        parsed = json::parse(bytes);
    } catch (...) {
        // Reported below like any other unreadable message.
    }
    if (parsed) {
        if (parsed->isArray()) {
            std::optional<std::vector<AnyResponse>> batch;
            try {
                batch = decode<std::vector<AnyResponse>>(*parsed);
            } catch (...) {
            }
            if (batch) {
                handleBatchResponse(*batch);
                return;
            }
        }
        std::optional<AnyResponse> response;
        try {
            response = decode<AnyResponse>(*parsed);
        } catch (...) {
        }
        if (response) {
            handleResponse(*response);
            return;
        }
        std::optional<AnyMessage> notification;
        try {
            notification = decode<AnyMessage>(std::move(*parsed));
        } catch (...) {
        }
        if (notification) {
            handleMessage(*notification, std::move(stop));
            return;
        }
    }
    const char* text = "Unexpected message received by client (not single/batch response or notification)";
    if (json::isValidUtf8(bytes)) {
        logTo(connection(), Level::warning, "connect(transport:)", __LINE__, text,
              [&] { return Metadata{{"message", bytes}}; });
    } else {
        logTo(connection(), Level::warning, "connect(transport:)", __LINE__, text);
    }
}

void Client::connectionLost(const std::shared_ptr<Transport>& transport, MCPError error, bool final) {
    std::unordered_map<ID, Record> pending;
    {
        std::lock_guard lock(mutex_);
        if (connection_ != transport) return;
        if (final) {
            lostTransport_ = transport;
            lostError_ = error;
        }
        pending.swap(pendingRequests_);
    }
    for (auto& [id, record] : pending) record.request.resume(std::make_exception_ptr(error));
}

// ---- Pending requests -----------------------------------------------------------

Client::Outbound Client::requireConnection() const {
    std::lock_guard lock(mutex_);
    if (!connection_) throw MCPError::internalError(std::string(kNoConnection));
    return Outbound{connection_, generation_};
}

std::string Client::encodeMessage(const json::Value& message) { return json::write(message, kWireOptions); }

Client::Insertion Client::insertPendingRequest(const ID& id, AnyPendingRequest record, const Outbound& outbound) {
    std::lock_guard lock(mutex_);
    if (generation_ != outbound.generation) {
        return Insertion{0, MCPError::internalError(std::string(kDisconnected))};
    }
    if (lostTransport_ && lostTransport_ == outbound.transport && lostError_) return Insertion{0, *lostError_};
    if (pendingRequests_.contains(id)) {
        throw MCPError::internalError("Request ID already pending: " + id.description());
    }
    const std::uint64_t serial = ++nextSerial_;
    pendingRequests_.emplace(id, Record{serial, std::move(record)});
    return Insertion{serial, std::nullopt};
}

std::optional<AnyPendingRequest> Client::removePendingRequest(const ID& id, std::optional<std::uint64_t> serial) {
    std::lock_guard lock(mutex_);
    auto it = pendingRequests_.find(id);
    if (it == pendingRequests_.end()) return std::nullopt;
    if (serial && it->second.serial != *serial) return std::nullopt;
    AnyPendingRequest record = std::move(it->second.request);
    pendingRequests_.erase(it);
    return record;
}

void Client::transmit(const ID& id, std::uint64_t serial, const Outbound& outbound, std::string bytes,
                      std::stop_token stop) {
    try {
        outbound.transport->send(std::move(bytes), std::move(stop));
    } catch (...) {
        // Already resolved (answered or disconnected): the caller gets that instead.
        if (removePendingRequest(id, serial)) throw;
    }
}

void Client::failRecords(const std::vector<std::pair<ID, std::uint64_t>>& records, const std::exception_ptr& error) {
    for (const auto& [id, serial] : records) {
        if (auto record = removePendingRequest(id, serial)) record->resume(error);
    }
}

void Client::resumeWithResponse(const AnyPendingRequest& record, const AnyResponse& response) {
    if (const MCPError* error = response.error()) {
        record.resume(std::make_exception_ptr(*error));
    } else {
        record.resume(*response.success());
    }
}

// ---- Received messages ------------------------------------------------------------

void Client::handleResponse(const AnyResponse& response) {
    logTo(connection(), Level::trace, "handleResponse(_:)", __LINE__, "Processing response",
          [&] { return Metadata{{"id", response.id.description()}}; });
    auto record = removePendingRequest(response.id);
    if (!record) {
        logTo(connection(), Level::warning, "handleResponse(_:)", __LINE__,
              "Attempted to handle response for already removed request",
              [&] { return Metadata{{"id", response.id.description()}}; });
        return;
    }
    resumeWithResponse(*record, response);
}

void Client::handleBatchResponse(const std::vector<AnyResponse>& responses) {
    logTo(connection(), Level::trace, "handleBatchResponse(_:)", __LINE__, "Processing batch response",
          [&] { return Metadata{{"count", std::to_string(responses.size())}}; });
    for (const auto& response : responses) {
        if (auto record = removePendingRequest(response.id)) {
            resumeWithResponse(*record, response);
        } else {
            logTo(connection(), Level::warning, "handleBatchResponse(_:)", __LINE__,
                  "Received response in batch for unknown or already handled request ID",
                  [&] { return Metadata{{"id", response.id.description()}}; });
        }
    }
}

void Client::handleMessage(const AnyMessage& message, std::stop_token stop) {
    logTo(connection(), Level::trace, "handleMessage(_:)", __LINE__, "Processing notification",
          [&] { return Metadata{{"method", message.method}}; });
    std::shared_ptr<const NotificationHandlerList> handlers;
    {
        std::lock_guard lock(mutex_);
        auto it = notificationHandlers_.find(message.method);
        if (it != notificationHandlers_.end()) handlers = it->second;
    }
    if (!handlers) return;
    for (const auto& handler : *handlers) {
        try {
            handler->handle(message, stop);
        } catch (...) {
            const auto error = std::current_exception();
            logTo(connection(), Level::error, "handleMessage(_:)", __LINE__, "Error handling notification",
                  [&] { return Metadata{{"method", message.method}, {"error", errorLogText(error)}}; });
        }
    }
}

// ---- Batches ------------------------------------------------------------------------

void Client::withBatch(const std::function<void(Batch&)>& body, std::stop_token stop) {
    Batch batch(*this, requireConnection());
    try {
        body(batch);
    } catch (...) {
        std::lock_guard lock(batch.mutex_);
        failRecords(batch.records_, std::current_exception());
        throw;
    }
    std::vector<AnyRequest> requests;
    std::vector<std::pair<ID, std::uint64_t>> records;
    {
        std::lock_guard lock(batch.mutex_);
        requests.swap(batch.requests_);
        records.swap(batch.records_);
    }
    if (requests.empty()) {
        logTo(connection(), Level::debug, "withBatch(body:)", __LINE__, "Batch requested but no requests were added.");
        return;
    }
    logTo(connection(), Level::debug, "withBatch(body:)", __LINE__, "Sending batch request",
          [&] { return Metadata{{"count", std::to_string(requests.size())}}; });
    try {
        std::string bytes = encodeMessage(encode(requests));
        batch.outbound_.transport->send(std::move(bytes), std::move(stop));
    } catch (...) {
        failRecords(records, std::current_exception());
        throw;
    }
}

// ---- Protocol operations --------------------------------------------------------------

void Client::checkServerCapability(bool (*announced)(const ServerCapabilities&), std::string_view feature) const {
    std::optional<ServerCapabilities> server;
    {
        std::lock_guard lock(mutex_);
        if (!configuration_.strict) return;
        server = serverCapabilities_;
    }
    if (!server) throw MCPError::methodNotFound(std::string("Server capabilities not initialized"));
    if (!announced(*server)) throw MCPError::methodNotFound(std::string(feature) + " is not supported by the server");
}

namespace {
bool announcesPrompts(const ServerCapabilities& c) { return c.prompts.has_value(); }
bool announcesResources(const ServerCapabilities& c) { return c.resources.has_value(); }
bool announcesSubscription(const ServerCapabilities& c) { return c.resources && c.resources->subscribe.has_value(); }
bool announcesTools(const ServerCapabilities& c) { return c.tools.has_value(); }
}  // namespace

Initialize::Result Client::initialize(std::stop_token stop) { return performInitialization(std::move(stop)); }

Initialize::Result Client::performInitialization(std::stop_token stop) {
    Initialize::Parameters parameters{Version::latest(), capabilities(), clientInfo_};
    Initialize::Result result = send(request<Initialize>(ID::random(), std::move(parameters)), stop);
    {
        std::lock_guard lock(mutex_);
        serverCapabilities_ = result.capabilities;
        serverVersion_ = result.protocolVersion;
        instructions_ = result.instructions;
    }
    notify(message<InitializedNotification>(), std::move(stop));
    return result;
}

void Client::ping(std::stop_token stop) { send(request<Ping>(ID::random()), std::move(stop)); }

GetPrompt::Result Client::getPrompt(std::string name, std::optional<std::map<std::string, Value>> arguments,
                                    std::stop_token stop) {
    checkServerCapability(announcesPrompts, "Prompts");
    return send(request<GetPrompt>(ID::random(), {std::move(name), std::move(arguments)}), std::move(stop));
}

ListPrompts::Result Client::listPrompts(std::optional<std::string> cursor, std::stop_token stop) {
    checkServerCapability(announcesPrompts, "Prompts");
    return send(request<ListPrompts>(ID::random(), {std::move(cursor)}), std::move(stop));
}

std::vector<Resource::Content> Client::readResource(std::string uri, std::stop_token stop) {
    checkServerCapability(announcesResources, "Resources");
    return send(request<ReadResource>(ID::random(), {std::move(uri)}), std::move(stop)).contents;
}

ListResources::Result Client::listResources(std::optional<std::string> cursor, std::stop_token stop) {
    checkServerCapability(announcesResources, "Resources");
    return send(request<ListResources>(ID::random(), {std::move(cursor)}), std::move(stop));
}

void Client::subscribeResource(std::string uri, std::stop_token stop) {
    checkServerCapability(announcesSubscription, "Resource subscription");
    send(request<ResourceSubscribe>(ID::random(), {std::move(uri)}), std::move(stop));
}

ListResourceTemplates::Result Client::listResourceTemplates(std::optional<std::string> cursor, std::stop_token stop) {
    checkServerCapability(announcesResources, "Resources");
    return send(request<ListResourceTemplates>(ID::random(), {std::move(cursor)}), std::move(stop));
}

ListTools::Result Client::listTools(std::optional<std::string> cursor, std::stop_token stop) {
    checkServerCapability(announcesTools, "Tools");
    return send(request<ListTools>(ID::random(), {std::move(cursor)}), std::move(stop));
}

CallTool::Result Client::callTool(std::string name, std::optional<std::map<std::string, Value>> arguments,
                                  std::stop_token stop) {
    checkServerCapability(announcesTools, "Tools");
    return send(request<CallTool>(ID::random(), {std::move(name), std::move(arguments)}), std::move(stop));
}

}  // namespace mcp
