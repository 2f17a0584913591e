#include "mcp/server.hpp"

#include "mcp/envelope_scan.hpp"

#include "json/json.hpp"
#include "logging/logger.hpp"

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <utility>

namespace mcp {

namespace {

constexpr const char* kLogFile = "MCP/Server";
constexpr std::string_view kNoConnection = "Server connection not initialized";
constexpr std::string_view kNotInitialized = "Server is not initialized";

// Every message the server writes: sorted keys, plain slashes, compact.
constexpr json::WriteOptions kWireOptions{.sortedKeys = true, .escapeSlashes = false, .pretty = false};

logging::Logger::Site site(std::string_view function, std::int64_t line) {
    return logging::Logger::Site(kLogFile, function, line);
}

// An MCPError as is; anything else as internalError with its description.
MCPError protocolError(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const MCPError& e) {
        return e;
    } catch (const std::exception& e) {
        return MCPError::internalError(std::string(e.what()));
    } catch (...) {
        return MCPError::internalError(std::string("Unknown error"));
    }
}


// With Move set the elements' strings are moved out of `v`.
template <bool Move>
Server::Batch decodeBatch(const json::Value& v, json::CodingPath& path) {
    expectKind(v, json::Kind::Array, typeName::array, path);
    auto& elements = const_cast<json::Array&>(v.asArray());
    Server::Batch batch;
    batch.items.reserve(elements.size());
    for (std::size_t i = 0; i < elements.size(); ++i) {
        PathGuard guard(path, static_cast<long long>(i));
        json::Value& element = elements[i];
        // An item must be an object; whether it is a request goes by the key alone.
        expectKind(element, json::Kind::Object, typeName::object, path);
        const bool isRequest = element.asObject().contains("id");
        if constexpr (Move) {
            if (isRequest) {
                batch.items.emplace_back(std::in_place_index<0>, decode<AnyRequest>(std::move(element), path));
            } else {
                batch.items.emplace_back(std::in_place_index<1>, decode<AnyMessage>(std::move(element), path));
            }
        } else {
            if (isRequest) {
                batch.items.emplace_back(std::in_place_index<0>, decode<AnyRequest>(std::as_const(element), path));
            } else {
                batch.items.emplace_back(std::in_place_index<1>, decode<AnyMessage>(std::as_const(element), path));
            }
        }
    }
    return batch;
}

}  // namespace

// ---- Batch JSON ---------------------------------------------------------------

json::Value toJson(const Server::Batch& batch) {
    json::Array items;
    items.reserve(batch.items.size());
    for (const auto& item : batch.items) {
        items.push_back(std::visit([](const auto& message) { return encode(message); }, item));
    }
    return json::Value(std::move(items));
}

Server::Batch fromJson(const json::Value& v, json::CodingPath& path, std::type_identity<Server::Batch>) {
    return decodeBatch<false>(v, path);
}

Server::Batch fromJson(json::Value&& v, json::CodingPath& path, std::type_identity<Server::Batch>) {
    return decodeBatch<true>(v, path);
}

// ---- Construction and state -----------------------------------------------------

std::shared_ptr<Server> Server::make(std::string name, std::string version, std::optional<std::string> instructions,
                                     Capabilities capabilities, Configuration configuration) {
    return std::make_shared<Server>(PrivateTag(), std::move(name), std::move(version), std::move(instructions),
                                    std::move(capabilities), configuration);
}

Server::Server(PrivateTag, std::string name, std::string version, std::optional<std::string> instructions,
               Capabilities capabilities, Configuration configuration)
    : serverInfo_{std::move(name), std::move(version)},
      instructions_(std::move(instructions)),
      capabilities_(std::move(capabilities)),
      configuration_(configuration) {}

Server::~Server() {
    // Every loop holds the server, so a loop still running here is the one
    // whose last reference is going away on its own thread: let it finish.
    auto release = [](LoopRun& run) {
        if (run.task.joinable() && run.task.id() == std::this_thread::get_id()) run.task.join();  // detaches
    };
    if (task_) release(*task_);
    for (auto& run : retired_) release(run);
}

Server::Capabilities Server::capabilities() const {
    std::lock_guard lock(mutex_);
    return capabilities_;
}

void Server::setCapabilities(Capabilities capabilities) {
    std::lock_guard lock(mutex_);
    capabilities_ = std::move(capabilities);
}

Server::Configuration Server::configuration() const {
    std::lock_guard lock(mutex_);
    return configuration_;
}

void Server::setConfiguration(Configuration configuration) {
    std::lock_guard lock(mutex_);
    configuration_ = configuration;
}

bool Server::isInitialized() const {
    std::lock_guard lock(mutex_);
    return isInitialized_;
}

std::optional<ClientInfo> Server::clientInfo() const {
    std::lock_guard lock(mutex_);
    return clientInfo_;
}

std::optional<ClientCapabilities> Server::clientCapabilities() const {
    std::lock_guard lock(mutex_);
    return clientCapabilities_;
}

std::optional<std::string> Server::protocolVersion() const {
    std::lock_guard lock(mutex_);
    return protocolVersion_;
}

std::unordered_map<std::string, std::unordered_set<ID>> Server::subscriptions() const {
    std::lock_guard lock(mutex_);
    return subscriptions_;
}

std::shared_ptr<Transport> Server::connection() const {
    std::lock_guard lock(mutex_);
    return connection_;
}

std::shared_ptr<Transport> Server::requireConnection() const {
    auto transport = connection();
    if (!transport) throw MCPError::internalError(std::string(kNoConnection));
    return transport;
}

// ---- Registration ---------------------------------------------------------------

void Server::setMethodHandler(std::string name, std::shared_ptr<const RequestHandlerBox> box) {
    std::lock_guard lock(mutex_);
    methodHandlers_.insert_or_assign(std::move(name), std::move(box));
}

Server& Server::registerMethodHandlerBox(std::string name, std::shared_ptr<const RequestHandlerBox> box) {
    setMethodHandler(std::move(name), std::move(box));
    return *this;
}

// ---- Initialize handshake -------------------------------------------------------

namespace {

// Every ping gets the same empty answer (its parameters, whatever they are,
// read as empty): written without a trip through the typed envelope.
class PingHandler final : public RequestHandlerBox {
public:
    WrittenAnswer handleWritten(const AnyRequest& request, const json::WriteOptions& options,
                                std::stop_token) const override {
        return writeResponse(request.id, "{}", options);
    }
};

}  // namespace

void Server::registerDefaultHandlers(InitializeHook initializeHook) {
    std::weak_ptr<Server> weak = weak_from_this();
    auto initialize = std::make_shared<const TypedRequestHandler<Initialize>>(
        [weak, hook = std::move(initializeHook)](const Request<Initialize>& request, std::stop_token stop) {
            auto server = weak.lock();
            if (!server) throw MCPError::internalError(std::string("Server was deallocated"));
            if (server->isInitialized()) throw MCPError::invalidRequest(std::string("Server is already initialized"));
            const auto& params = request.params;
            if (hook) hook(params.clientInfo, params.capabilities, stop);
            const auto& supported = Version::supported();
            std::string chosen =
                supported.contains(params.protocolVersion) ? params.protocolVersion : Version::latest();
            server->completeInitialization(params.clientInfo, params.capabilities, chosen);
            return Response<Initialize>(request.id, server->initializeResult(std::move(chosen)));
        });
    auto ping = std::make_shared<const PingHandler>();
    setMethodHandler(std::string(Initialize::name), std::move(initialize));
    setMethodHandler(std::string(Ping::name), std::move(ping));
}

void Server::completeInitialization(ClientInfo clientInfo, ClientCapabilities clientCapabilities,
                                    std::string protocolVersion) {
    std::lock_guard lock(mutex_);
    clientInfo_ = std::move(clientInfo);
    clientCapabilities_ = std::move(clientCapabilities);
    protocolVersion_ = std::move(protocolVersion);
    isInitialized_ = true;
}

Initialize::Result Server::initializeResult(std::string protocolVersion) const {
    std::lock_guard lock(mutex_);
    return Initialize::Result{std::move(protocolVersion), capabilities_, serverInfo_, instructions_};
}

// ---- Start, loop, stop ----------------------------------------------------------

std::vector<Server::LoopRun> Server::takeFinishedRunsLocked() {
    std::vector<LoopRun> finished;
    for (auto it = retired_.begin(); it != retired_.end();) {
        if (it->done->isResumed() && it->task.id() != std::this_thread::get_id()) {
            finished.push_back(std::move(*it));
            it = retired_.erase(it);
        } else {
            ++it;
        }
    }
    return finished;
}

void Server::start(std::shared_ptr<Transport> transport, InitializeHook initializeHook, std::stop_token stop) {
    if (!transport) throw std::invalid_argument("Server::start needs a transport");
    auto self = shared_from_this();  // throws std::bad_weak_ptr unless owned by a shared_ptr
    {
        std::lock_guard lock(mutex_);
        connection_ = transport;
    }
    registerDefaultHandlers(std::move(initializeHook));
    transport->connect(stop);

    if (auto current = connection()) {
        current->logger().debug(site("start(transport:initializeHook:)", __LINE__), "Server started", [&] {
            return logging::Logger::Metadata{{"name", serverInfo_.name}, {"version", serverInfo_.version}};
        });
    }

    auto done = std::make_shared<rt::OneShot<std::monostate>>();
    // The loop holds the server and this call's transport until it ends; it
    // does not hold its own run, so it never destroys its own thread object.
    rt::Task task([self, transport, done](std::stop_token loopStop) {
        self->runLoop(transport, loopStop);
        done->resume(std::monostate{});
    });
    std::vector<LoopRun> finished;
    {
        std::lock_guard lock(mutex_);
        // An earlier loop is replaced, not cancelled: it keeps reading its own transport.
        if (task_) retired_.push_back(std::move(*task_));
        task_ = LoopRun{std::move(task), std::move(done)};
        finished = takeFinishedRunsLocked();
    }
}

void Server::stop() {
    std::shared_ptr<Transport> transport;
    std::vector<LoopRun> finished;
    {
        std::lock_guard lock(mutex_);
        if (task_) {
            task_->task.cancel();
            // Kept, not joined: stop does not wait, and may run on the loop itself.
            retired_.push_back(std::move(*task_));
            task_.reset();
        }
        transport = connection_;
        finished = takeFinishedRunsLocked();
    }
    if (!transport) return;
    transport->disconnect();
    std::lock_guard lock(mutex_);
    connection_.reset();
}

void Server::waitUntilFinished(std::stop_token stop) {
    std::shared_ptr<rt::OneShot<std::monostate>> done;
    {
        std::lock_guard lock(mutex_);
        if (!task_ || task_->task.id() == std::this_thread::get_id()) return;
        done = task_->done;
    }
    done->wait(std::move(stop));
}

bool Server::waitUntilStopped(rt::Clock::time_point deadline) {
    std::vector<std::shared_ptr<rt::OneShot<std::monostate>>> loops;
    {
        std::lock_guard lock(mutex_);
        const auto self = std::this_thread::get_id();
        if (task_ && task_->task.id() != self) loops.push_back(task_->done);
        for (const LoopRun& run : retired_)
            if (run.task.id() != self) loops.push_back(run.done);
    }
    try {
        for (const auto& done : loops) done->wait({}, deadline);
    } catch (const rt::TimedOut&) {
        return false;
    }
    // Their bodies have returned: joining them waits for no more than that.
    std::vector<LoopRun> finished;
    {
        std::lock_guard lock(mutex_);
        finished = takeFinishedRunsLocked();
    }
    return true;
}

void Server::runLoop(const std::shared_ptr<Transport>& transport, std::stop_token stop) {
    // Straight from the transport's buffer where it can: no copy, no hand-off.
    struct DirectReader final : MessageReader {
        Server& server;
        Transport& transport;
        std::stop_token stop;
        DirectReader(Server& s, Transport& t, std::stop_token st) : server(s), transport(t), stop(std::move(st)) {}
        void message(std::string_view text) override {
            if (!stop.stop_requested()) server.handleElement(text, stop);
        }
        // Answers held back while more input waited leave before the wait.
        void drained() override { flushQuietly(transport, stop); }
    };
    try {
        DirectReader reader(*this, *transport, stop);
        if (!transport->readInto(reader, stop)) {
            MessageStream stream = transport->receive();
            while (!stop.stop_requested()) {
                if (stream->size() == 0) reader.drained();
                std::optional<std::string> element = stream->next(stop);
                if (!element || stop.stop_requested()) break;
                handleElement(*element, stop);
            }
        }
    } catch (const rt::Cancelled&) {
        if (!stop.stop_requested()) {
            if (auto current = connection()) {
                current->logger().error(site("start(transport:initializeHook:)", __LINE__),
                                        "Fatal error in message handling loop", [&] {
                                            return logging::Logger::Metadata{{"error", "Cancelled"}};
                                        });
            }
        }
    } catch (...) {
        const auto error = std::current_exception();
        if (auto current = connection()) {
            current->logger().error(site("start(transport:initializeHook:)", __LINE__),
                                    "Fatal error in message handling loop", [&] {
                                        return logging::Logger::Metadata{{"error", errorLogText(error)}};
                                    });
        }
    }
    flushQuietly(*transport, stop);
    if (auto current = connection()) {
        current->logger().debug(site("start(transport:initializeHook:)", __LINE__), "Server finished");
    }
}

void Server::flushQuietly(Transport& transport, std::stop_token stop) {
    try {
        transport.flush(stop);
    } catch (...) {
        // The answers held are lost with the output; the transport reports it.
    }
}

void Server::handleElement(std::string_view element, const std::stop_token& stop) {
    enum class Form { unknown, batch, request, notification };
    Form form = Form::unknown;
    std::optional<ID> answerId;
    try {
        // The common form needs no tree of the whole message.
        if (auto plain = scanPlainMessage(element)) {
            if (plain->id && answerText(*plain, stop)) return;
            if (auto params = readPlainParams(plain->params)) {
                if (plain->id) {
                    form = Form::request;
                    answerId = *plain->id;
                    handleRequest(AnyRequest{std::move(*plain->id), std::string(plain->method), std::move(*params)},
                                  true, stop);
                } else {
                    form = Form::notification;
                    handleMessage(AnyMessage{std::string(plain->method), std::move(*params)}, stop);
                }
                return;
            }
        }
        // One parse serves every reading of the message below.
        json::Value parsed;
        bool parsedOK = true;
        try {
            parsed = json::parse(element, kMessageReadBudget);
        } catch (const json::TooLarge&) {
            throw;
        } catch (const json::DecodingError&) {
            parsedOK = false;
        }

        if (parsedOK && parsed.isArray()) {
            std::optional<Batch> batch;
            try {
                batch = decode<Batch>(std::move(parsed));
            } catch (const json::DecodingError&) {
                // Not a batch; an array is neither a request nor a notification.
            }
            if (batch) {
                form = Form::batch;
                handleBatch(std::move(*batch), stop);
                return;
            }
        } else if (parsedOK && parsed.isObject()) {
            // Without an "id" key an object can only be a notification.
            if (const json::Value* id = parsed.find("id")) {
                // An id no reading accepts is still a request: answered, never
                // taken for a notification.
                if (!id->isString() && !id->isInt() && !id->isNull()) {
                    form = Form::request;
                    answerId = ID::null();
                    throw MCPError::invalidRequest(std::string("ID must be string or number"));
                }
                std::optional<AnyRequest> request;
                try {
                    request = decode<AnyRequest>(std::move(parsed));  // fails, if at all, before it moves
                } catch (const json::DecodingError&) {
                    // Perhaps a notification with a stray id, or nothing.
                }
                if (request) {
                    form = Form::request;
                    answerId = request->id;
                    handleRequest(std::move(*request), true, stop);
                    return;
                }
            }
            std::optional<AnyMessage> notification;
            try {
                notification = decode<AnyMessage>(std::move(parsed));
            } catch (const json::DecodingError&) {
                // Not a notification either.
            }
            if (notification) {
                form = Form::notification;
                handleMessage(*notification, stop);
                return;
            }
            // The probe: answer under the message's own id when it has one.
            if (const json::Value* id = parsed.find("id")) answerId = decode<ID>(*id);
        } else if (!parsedOK) {
            // Not JSON after all (a lone surrogate in a text, a stray byte):
            // still answered under the id it begins with, when that reads,
            // or its client would wait for the answer for ever.
            answerId = leadingRequestId(element);
        }
        throw MCPError::parseError(std::string("Invalid message format"));
    } catch (...) {
        auto error = std::current_exception();
        try {
            std::rethrow_exception(error);
        } catch (const json::TooLarge&) {
            // Refused like a line over the length limit, whatever it held;
            // answered under its id when that stands before the large part.
            form = Form::request;
            answerId = leadingRequestId(element).value_or(ID::null());
            error = std::make_exception_ptr(MCPError::invalidRequest(std::string("Message too large")));
        } catch (...) {
        }
        // Never silently dropped: every failure is logged, and a request is answered.
        if (auto current = connection()) {
            current->logger().error(site("start(transport:initializeHook:)", __LINE__), "Error processing message",
                                    [&] { return logging::Logger::Metadata{{"error", errorLogText(error)}}; });
        }
        if (form == Form::notification) return;
        if (form == Form::batch) answerId.reset();
        try {
            sendErasedResponse(AnyResponse(answerId ? std::move(*answerId) : ID::random(), protocolError(error)),
                               stop);
        } catch (...) {
            // Nothing more can be done for this message.
        }
    }
}

// ---- Dispatch -------------------------------------------------------------------

Server::DeferredRoute Server::deferredRoute(std::string_view method) const {
    std::lock_guard lock(mutex_);
    const bool refused = configuration_.strict && !isInitialized_ && method != Initialize::name && method != Ping::name;
    if (refused) return {};
    const auto it = methodHandlers_.find(std::string(method));
    if (it == methodHandlers_.end()) return {};
    return {it->second, connection_};
}

void AnswerRoute::send(const ID& id, std::string written) const {
    try {
        if (!transport) throw MCPError::internalError(std::string(kNoConnection));
        transport->send(std::move(written), stop);
    } catch (...) {
        // A failed send is answered like a failed handler.
        try {
            if (transport) {
                transport->send(
                    json::write(encode(AnyResponse(id, protocolError(std::current_exception()))), kWireOptions), stop);
            }
        } catch (...) {
            // Nothing more can be done for this request.
        }
    }
}

bool Server::answerDeferred(AnyRequest& request, const std::stop_token& stop) {
    auto route = deferredRoute(request.method);
    if (!route.handler) return false;
    try {
        // The answer goes back the way the request came, without the server's
        // lock: the thread that makes it never contends with the loop for it.
        return route.handler->handleDeferred(
            std::move(request), kWireOptions, stop,
            [to = AnswerRoute{std::move(route.transport), stop}, id = request.id](std::string written) {
                to.send(id, std::move(written));
            });
    } catch (...) {
        // A box takes the parameters, never the id.
        sendErasedResponse(AnyResponse(request.id, protocolError(std::current_exception())), stop);
        return true;
    }
}

bool Server::answerText(const PlainEnvelope& request, const std::stop_token& stop) {
    auto route = deferredRoute(request.method);
    if (!route.handler || !route.handler->takesParamsText()) return false;
    try {
        return route.handler->handleText(*request.id, request.params.value_or(std::string_view()), kWireOptions,
                                         AnswerRoute{std::move(route.transport), stop});
    } catch (...) {
        sendErasedResponse(AnyResponse(*request.id, protocolError(std::current_exception())), stop);
        return true;
    }
}

std::optional<AnyResponse> Server::handleRequest(AnyRequest request, bool sendResponse, std::stop_token stop) {
    // A handler that answers later leaves the loop free for the next message:
    // JSON-RPC lets answers overtake each other.
    if (sendResponse && answerDeferred(request, stop)) return std::nullopt;
    WrittenAnswer answer = answerRequest(request, sendResponse, stop);
    if (!sendResponse) return decode<AnyResponse>(json::parse(std::move(answer).joined()));
    try {
        auto transport = requireConnection();
        if (answer.shared) {
            transport->sendShared(std::move(answer.head), std::move(answer.shared), std::move(answer.tail), stop);
        } else {
            transport->send(std::move(answer.head), stop);
        }
    } catch (...) {
        // A failed send is answered like a failed handler.
        sendErasedResponse(AnyResponse(request.id, protocolError(std::current_exception())), stop);
    }
    return std::nullopt;
}

WrittenAnswer Server::answerRequest(const AnyRequest& request, bool single, std::stop_token stop) {
    if (!single && request.method.empty()) {
        return json::write(encode(AnyResponse(request.id, MCPError::invalidRequest(std::string("Invalid batch item format")))),
                           kWireOptions);
    }

    std::shared_ptr<Transport> transport;
    std::shared_ptr<const RequestHandlerBox> handler;
    bool refused = false;
    {
        std::lock_guard lock(mutex_);
        transport = connection_;
        refused = configuration_.strict && !isInitialized_ && request.method != Initialize::name &&
                  request.method != Ping::name;
        if (!refused) {
            if (auto it = methodHandlers_.find(request.method); it != methodHandlers_.end()) handler = it->second;
        }
    }
    if (transport) {
        transport->logger().trace(site("handleRequest(_:sendResponse:)", __LINE__), "Processing request", [&] {
            return logging::Logger::Metadata{{"method", request.method}, {"id", request.id.description()}};
        });
    }
    if (refused) throw MCPError::invalidRequest(std::string(kNotInitialized));

    if (!handler) {
        return json::write(encode(AnyResponse(request.id, MCPError::methodNotFound("Unknown method: " + request.method))),
                           kWireOptions);
    }
    std::exception_ptr failure;
    try {
        return handler->handleWritten(request, kWireOptions, stop);
    } catch (...) {
        failure = std::current_exception();
    }
    return json::write(encode(AnyResponse(request.id, protocolError(failure))), kWireOptions);
}

void Server::handleMessage(const AnyMessage& message, std::stop_token stop) {
    std::shared_ptr<Transport> transport;
    std::shared_ptr<const NotificationHandlerList> handlers;
    bool refused = false;
    {
        std::lock_guard lock(mutex_);
        transport = connection_;
        refused = configuration_.strict && !isInitialized_ && message.method != InitializedNotification::name;
        if (!refused) {
            if (auto it = notificationHandlers_.find(message.method); it != notificationHandlers_.end()) {
                handlers = it->second;
            }
        }
    }
    if (transport) {
        transport->logger().trace(site("handleMessage(_:)", __LINE__), "Processing notification", [&] {
            return logging::Logger::Metadata{{"method", message.method}};
        });
    }
    if (refused) throw MCPError::invalidRequest(std::string(kNotInitialized));
    if (!handlers) return;

    for (const auto& handler : *handlers) {
        try {
            handler->handle(message, stop);
        } catch (...) {
            if (!transport) continue;
            const auto error = std::current_exception();
            transport->logger().error(site("handleMessage(_:)", __LINE__), "Error handling notification", [&] {
                return logging::Logger::Metadata{{"method", message.method}, {"error", errorLogText(error)}};
            });
        }
    }
}

namespace {

// A batch's answers in the order of its requests. Each request runs as a
// single one would, and may be answered later on another thread; the array
// leaves with the last answer, from whichever thread makes it. The reading
// loop holds one count of its own until it has handed out every item, so a
// batch answered at once leaves from the loop, as before.
class BatchAnswers {
public:
    explicit BatchAnswers(std::size_t requests) : slots_(requests), left_(requests + 1) {}

    // Fills the answer of request `index`; true for the last answer of all.
    bool fill(std::size_t index, std::string written) {
        slots_[index] = std::move(written);
        return left_.fetch_sub(1, std::memory_order_acq_rel) == 1;
    }
    // The loop has handed out every item; true when every answer was in.
    bool handedOut() { return left_.fetch_sub(1, std::memory_order_acq_rel) == 1; }

    // Compact answers joined by commas make the array's text.
    std::string array() {
        std::size_t size = 2 + slots_.size();
        for (const auto& slot : slots_) size += slot.size();
        std::string text;
        text.reserve(size);
        text += '[';
        for (std::size_t i = 0; i < slots_.size(); ++i) {
            if (i > 0) text += ',';
            text += slots_[i];
            std::string().swap(slots_[i]);
        }
        text += ']';
        return text;
    }

private:
    std::vector<std::string> slots_;
    std::atomic<std::size_t> left_;
};

}  // namespace

void Server::handleBatch(Batch batch, std::stop_token stop) {
    if (auto transport = connection()) {
        transport->logger().trace(site("handleBatch(_:)", __LINE__), "Processing batch request", [&] {
            return logging::Logger::Metadata{{"size", std::to_string(batch.items.size())}};
        });
    }
    if (batch.items.empty()) {
        sendErasedResponse(AnyResponse(ID::random(), MCPError::invalidRequest(std::string("Batch array must not be empty"))),
                           stop);
        return;
    }

    const auto requests = static_cast<std::size_t>(std::count_if(
        batch.items.begin(), batch.items.end(), [](const Batch::Item& item) { return item.index() == 0; }));
    auto answers = std::make_shared<BatchAnswers>(requests);
    auto transport = connection();
    std::size_t index = 0;
    for (auto& item : batch.items) {
        // A stopped loop's answers have no way out, and what its handlers
        // use may be going: the items left are not begun.
        if (stop.stop_requested()) return;
        auto* request = std::get_if<AnyRequest>(&item);
        if (!request) {
            try {
                handleMessage(std::get<AnyMessage>(item), stop);
            } catch (...) {
                // Refused by the strict rule: a notification is never answered.
            }
            continue;
        }
        const std::size_t slot = index++;
        // A handler that answers later runs the item as it runs a single
        // request: the loop goes on, and the array waits for the answer.
        if (!request->method.empty() && transport) {
            if (auto route = deferredRoute(request->method); route.handler) {
                const ID id = request->id;
                bool deferred = false;
                try {
                    deferred = route.handler->handleDeferred(
                        std::move(*request), kWireOptions, stop,
                        [answers, slot, to = AnswerRoute{transport, stop}](std::string written) {
                            // The last answer sends the array; failing, the
                            // batch is answered like one that failed on the loop.
                            if (answers->fill(slot, std::move(written))) to.send(ID::random(), answers->array());
                        });
                } catch (...) {
                    answers->fill(slot, json::write(encode(AnyResponse(id, protocolError(std::current_exception()))),
                                                    kWireOptions));
                    deferred = true;
                }
                if (deferred) continue;
            }
        }
        std::string written;
        try {
            written = answerRequest(*request, false, stop).joined();
        } catch (...) {
            written = json::write(encode(AnyResponse(request->id, protocolError(std::current_exception()))),
                                  kWireOptions);
        }
        answers->fill(slot, std::move(written));
    }
    if (requests == 0 || !answers->handedOut()) return;

    // Every answer was made here: one array, one transport call.
    requireConnection()->send(answers->array(), std::move(stop));
}

// ---- Sending --------------------------------------------------------------------

void Server::sendJson(Transport& transport, const json::Value& message, std::stop_token stop) {
    transport.send(json::write(message, kWireOptions), std::move(stop));
}

void Server::sendErasedResponse(const AnyResponse& response, std::stop_token stop) {
    auto transport = requireConnection();
    sendJson(*transport, encode(response), std::move(stop));
}

CreateSamplingMessage::Result Server::sendSamplingRequest(
    std::vector<Sampling::Message>, std::optional<Sampling::ModelPreferences>, std::optional<std::string>,
    std::optional<Sampling::ContextInclusion>, std::optional<double>, std::int64_t,
    std::optional<std::vector<std::string>>, std::optional<std::map<std::string, Value>>) {
    requireConnection();
    throw MCPError::internalError(std::string("Bidirectional sampling requests not yet implemented in transport layer"));
}

}  // namespace mcp
