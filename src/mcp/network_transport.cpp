#include "mcp/network_transport.hpp"

#include "mcp/network_framing.hpp"

#include "logging/log_handlers.hpp"
#include "mcp/error.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <utility>
#include <variant>
#include <vector>

namespace mcp {

namespace {

constexpr const char* kLogFile = "MCP/NetworkTransport";

constexpr auto kFirstHeartbeatDelay = std::chrono::seconds(1);
constexpr auto kHeartbeatFailurePause = std::chrono::seconds(2);
constexpr auto kEmptyReadPause = std::chrono::milliseconds(100);
constexpr auto kNetworkErrorPause = std::chrono::milliseconds(100);
constexpr int kEmptyReadsBeforeWarning = 5;
// Received messages waiting for their reader, at most.
constexpr std::size_t kMaxQueuedMessages = 1024;

using Logger = logging::Logger;
using State = NetworkConnection::State;

Logger::Site site(const char* function, std::int64_t line) { return Logger::Site(kLogFile, function, line); }

// Errors that mean the connection is gone, by name: numbers differ between
// platforms.
bool isConnectionLoss(std::int64_t code) {
    switch (code) {
    case ENOTCONN:
    case ECONNRESET:
    case EPIPE:
    case ECONNABORTED:
    case ETIMEDOUT:
    case ENETRESET: return true;
    default: return false;
    }
}

// A failed send of a heartbeat, described by the connection's error.
class NetworkFailure : public std::runtime_error {
public:
    explicit NetworkFailure(const PlatformError& error) : std::runtime_error(error.localizedDescription()) {}
};

std::string describe(const std::optional<PlatformError>& error) {
    return error ? error->localizedDescription() : std::string("Unknown error");
}

// The bytes received after the last complete message. Heartbeat frames are
// taken only where a message would begin, so the magic bytes inside a message
// stay data however TCP splits or merges the writes.
}  // namespace

// ---- Core ---------------------------------------------------------------------

struct NetworkTransport::Core {
    // A thread of the transport, with a flag set when its body has returned.
    struct Worker {
        rt::Task task;
        std::shared_ptr<std::atomic<bool>> done;
        bool stopOnDisconnect = true;
    };

    // How one connection attempt ended, decided by the first of ready, failed
    // and cancelled.
    struct Outcome {
        bool ready = false;
        std::exception_ptr error;
        const char* context = "";
    };

    // Signals once the core and everything it holds are gone: declared first,
    // so it is destroyed last.
    struct GoneSignal {
        std::shared_ptr<rt::OneShot<std::monostate>> signal = std::make_shared<rt::OneShot<std::monostate>>();
        ~GoneSignal() { signal->resume({}); }
    };

    Core(std::shared_ptr<NetworkConnection> connection, std::optional<logging::Logger> logger,
         HeartbeatConfiguration heartbeatConfig, ReconnectionConfiguration reconnectionConfig,
         BufferConfiguration bufferConfig)
        : connection(std::move(connection)),
          logger(logger ? std::move(*logger) : discardingLogger("mcp.transport.network")),
          heartbeatConfig(heartbeatConfig),
          reconnectionConfig(reconnectionConfig),
          bufferConfig(bufferConfig),
          stream(rt::AsyncStream<std::string>::make(kMaxQueuedMessages)) {}

    const GoneSignal gone;
    const std::shared_ptr<NetworkConnection> connection;
    const logging::Logger logger;
    const HeartbeatConfiguration heartbeatConfig;
    const ReconnectionConfiguration reconnectionConfig;
    const BufferConfiguration bufferConfig;
    const MessageStream stream;

    mutable std::mutex mutex;
    std::condition_variable_any changed;  // any field below changed
    bool isConnected = false;
    bool isStopping = false;
    bool closed = false;  // the transport is being destroyed
    std::int64_t reconnectAttempt = 0;
    std::optional<std::chrono::system_clock::time_point> lastHeartbeatTime;
    bool connectionContinuationResumed = false;
    // Counts connection attempts; a state decides only the attempt it belongs to.
    std::uint64_t attemptId = 0;
    std::optional<Outcome> outcome;
    // The connect() or reconnection in progress (0: none); only one at a time.
    std::uint64_t connectingOwner = 0;
    std::uint64_t lastOwner = 0;
    // Counts ready connections; a receive loop serves only its own.
    std::uint64_t generation = 0;
    std::optional<Worker> heartbeatTask;
    // The receive loop of the latest ready connection.
    std::optional<Worker> receiveLoopTask;
    std::vector<Worker> workers;
    std::weak_ptr<Core> self;

    // ---- Workers --------------------------------------------------------

    template <class Body>
    static Worker startWorker(Body body, bool stopOnDisconnect = true) {
        auto done = std::make_shared<std::atomic<bool>>(false);
        rt::Task task([done, body = std::move(body)](std::stop_token stop) mutable {
            try {
                body(stop);
            } catch (...) {
                // Bodies handle their own failures; nothing may escape a thread.
            }
            done->store(true, std::memory_order_release);
        });
        return Worker{std::move(task), std::move(done), stopOnDisconnect};
    }

    // Workers whose bodies returned, to be joined outside the lock.
    std::vector<Worker> takeFinishedLocked() {
        std::vector<Worker> finished;
        for (auto it = workers.begin(); it != workers.end();) {
            if (it->done->load(std::memory_order_acquire)) {
                finished.push_back(std::move(*it));
                it = workers.erase(it);
            } else {
                ++it;
            }
        }
        return finished;
    }

    static void joinAll(std::vector<Worker>& list) {
        for (auto& worker : list) worker.task.join();
        list.clear();
    }

    // Clears the connecting mark when its owner leaves, unless another took over.
    struct OwnerRelease {
        Core* core;
        std::uint64_t owner;
        ~OwnerRelease() {
            {
                std::lock_guard lock(core->mutex);
                if (core->connectingOwner == owner) core->connectingOwner = 0;
            }
            core->changed.notify_all();
        }
    };

    std::uint64_t takeOwnershipLocked() {
        connectingOwner = ++lastOwner;
        return connectingOwner;
    }

    // Ends the previous connection's receive loop before the connection is
    // started again, so that it can never read from the new one. It is stale
    // by now and leaves without a word.
    void retireReceiveLoop() {
        std::optional<Worker> previous;
        {
            std::lock_guard lock(mutex);
            previous = std::move(receiveLoopTask);
            receiveLoopTask.reset();
        }
        if (!previous) return;
        previous->task.cancel();
        previous->task.join();
    }

    // ---- Connection states ----------------------------------------------

    void installStateHandler() {
        connection->setStateUpdateHandler([weak = self](const State& state) {
            if (auto core = weak.lock()) core->handleState(state);
        });
    }

    void handleState(const State& state) {
        {
            std::lock_guard lock(mutex);
            if (closed) return;
        }
        switch (state.kind()) {
        case State::Kind::setup: logger.debug(site("connect()", __LINE__), "Connection setup..."); break;
        case State::Kind::waiting:
            logger.debug(site("connect()", __LINE__), [&] { return "Connection waiting: " + describe(state.error()); });
            break;
        case State::Kind::preparing: logger.debug(site("connect()", __LINE__), "Connection preparing..."); break;
        case State::Kind::ready: handleConnectionReady(); break;
        case State::Kind::failed:
            handleConnectionFailed(state.error() ? *state.error() : PlatformError::fromErrno(EIO));
            break;
        case State::Kind::cancelled: handleConnectionCancelled(); break;
        default: logger.warning(site("connect()", __LINE__), "Unknown connection state"); break;
        }
    }

    void handleConnectionReady() {
        std::uint64_t connectedGeneration = 0;
        std::uint64_t attempt = 0;
        {
            std::lock_guard lock(mutex);
            if (connectionContinuationResumed || closed) return;
            connectionContinuationResumed = true;
            attempt = attemptId;
            isConnected = true;
            reconnectAttempt = 0;
            connectedGeneration = ++generation;
            connectingOwner = 0;
        }
        logger.debug(site("handleConnectionReady(continuation:)", __LINE__), "Network transport connected successfully");

        std::vector<Worker> finished;
        {
            std::lock_guard lock(mutex);
            if (attemptId == attempt) outcome = Outcome{true, nullptr, ""};
            changed.notify_all();
            // A disconnect may have come in between: then there is nothing to run.
            if (closed || !isConnected || generation != connectedGeneration) return;
            finished = takeFinishedLocked();
            if (receiveLoopTask) {
                receiveLoopTask->task.cancel();
                workers.push_back(std::move(*receiveLoopTask));
            }
            receiveLoopTask = startWorker(
                [this, connectedGeneration](std::stop_token stop) { receiveLoop(stop, connectedGeneration); },
                false);
            if (heartbeatConfig.enabled) startHeartbeatLocked();
        }
        joinAll(finished);
    }

    void handleConnectionFailed(const PlatformError& error) {
        std::uint64_t attempt = 0;
        {
            std::lock_guard lock(mutex);
            if (connectionContinuationResumed || closed) return;
            connectionContinuationResumed = true;
            attempt = attemptId;
        }
        logger.error(site("handleConnectionFailed(error:continuation:)", __LINE__),
                     [&] { return "Connection failed: " + error.localizedDescription(); });
        std::lock_guard lock(mutex);
        if (attemptId != attempt) return;
        outcome = Outcome{false, std::make_exception_ptr(MCPError::transportError(error)), "failure"};
        changed.notify_all();
    }

    void handleConnectionCancelled() {
        std::uint64_t attempt = 0;
        {
            std::lock_guard lock(mutex);
            if (connectionContinuationResumed || closed) return;
            connectionContinuationResumed = true;
            attempt = attemptId;
        }
        logger.warning(site("handleConnectionCancelled(continuation:)", __LINE__), "Connection cancelled");
        std::lock_guard lock(mutex);
        if (attemptId != attempt) return;
        outcome =
            Outcome{false, std::make_exception_ptr(MCPError::internalError("Connection cancelled")), "cancellation"};
        changed.notify_all();
    }

    void logReconnectionAttempt(const char* context, std::int64_t attempt) {
        logger.debug(site("handleReconnection(error:continuation:context:)", __LINE__), [&] {
            return std::string("Attempting reconnection after ") + context + " (" + std::to_string(attempt) + "/" +
                   std::to_string(reconnectionConfig.maxAttempts) + ")...";
        });
    }

    bool attemptsRemainLocked() const {
        return !isStopping && reconnectionConfig.enabled && reconnectAttempt < reconnectionConfig.maxAttempts;
    }

    // Waits out the back-off of `attempt`; a disconnect, destruction or `stop`
    // ends the pause early.
    void backoffPauseLocked(std::unique_lock<std::mutex>& lock, std::int64_t attempt, const std::stop_token& stop) {
        const auto deadline = rt::Clock::now() + durationFromSeconds(reconnectionConfig.backoffDelay(attempt));
        changed.wait_until(lock, stop, deadline, [&] { return isStopping || closed; });
    }

    // ---- Connecting -----------------------------------------------------

    void connect(std::stop_token stop) {
        std::unique_lock lock(mutex);
        if (!changed.wait(lock, stop, [&] { return connectingOwner == 0 || closed; })) throw rt::Cancelled();
        if (isConnected) return;
        if (closed) throw MCPError::internalError("Transport deallocated");
        isStopping = false;
        reconnectAttempt = 0;
        connectionContinuationResumed = false;
        outcome.reset();
        ++attemptId;
        // Destroyed after `lock` is released on every way out below.
        OwnerRelease release{this, takeOwnershipLocked()};
        lock.unlock();

        retireReceiveLoop();
        installStateHandler();
        connection->start();

        lock.lock();
        if (!changed.wait(lock, stop, [&] { return outcome.has_value() || isStopping || closed; })) {
            connectionContinuationResumed = true;  // later states belong to no one
            lock.unlock();
            connection->cancel();
            throw rt::Cancelled();
        }
        if (!outcome) {
            // disconnect() came first; it may have raced with start().
            connectionContinuationResumed = true;
            lock.unlock();
            connection->cancel();
            throw MCPError::internalError("Connection cancelled");
        }
        const Outcome result = *outcome;
        if (result.ready) {
            lock.unlock();
            return;
        }

        // The reconnection step: it only delays the answer and closes the connection.
        if (attemptsRemainLocked()) {
            const std::int64_t attempt = ++reconnectAttempt;
            lock.unlock();
            logReconnectionAttempt(result.context, attempt);
            lock.lock();
            backoffPauseLocked(lock, attempt, stop);
            const bool stopping = isStopping || closed;
            lock.unlock();
            if (!stopping) connection->cancel();
        } else {
            lock.unlock();
            connection->cancel();
        }
        std::rethrow_exception(result.error);
    }

    // Reopens the connection until it is ready or the attempts are used up
    // (then the stream ends with the last error). reconnectAttempt already
    // counts the first attempt.
    void reconnect(std::stop_token stop, std::uint64_t owner) {
        OwnerRelease release{this, owner};
        std::unique_lock lock(mutex);
        for (;;) {
            backoffPauseLocked(lock, reconnectAttempt, stop);
            if (isStopping || closed || stop.stop_requested()) return;
            lock.unlock();
            connection->cancel();
            retireReceiveLoop();
            lock.lock();
            if (isStopping || closed || stop.stop_requested()) return;
            connectionContinuationResumed = false;
            outcome.reset();
            ++attemptId;
            lock.unlock();

            installStateHandler();
            connection->start();

            lock.lock();
            changed.wait(lock, stop, [&] { return outcome.has_value() || isStopping || closed; });
            if (!outcome) {
                connectionContinuationResumed = true;
                const bool stopping = isStopping;
                lock.unlock();
                if (stopping) connection->cancel();  // start() may have raced with disconnect()
                return;
            }
            const Outcome result = *outcome;
            if (result.ready) return;
            if (attemptsRemainLocked()) {
                const std::int64_t attempt = ++reconnectAttempt;
                lock.unlock();
                logReconnectionAttempt(result.context, attempt);
                lock.lock();
                continue;
            }
            const bool stopping = isStopping || closed;
            lock.unlock();
            if (stopping) return;
            connection->cancel();
            stream->finish(result.error);
            return;
        }
    }

    // Starts the reconnection announced by `owner` (see takeOwnershipLocked).
    void startReconnection(std::uint64_t owner) {
        std::vector<Worker> finished;
        {
            std::lock_guard lock(mutex);
            if (closed || isStopping) {
                if (connectingOwner == owner) connectingOwner = 0;
                changed.notify_all();
                return;
            }
            finished = takeFinishedLocked();
            workers.push_back(startWorker([this, owner](std::stop_token stop) { reconnect(stop, owner); }));
        }
        joinAll(finished);
    }

    void disconnect() {
        std::vector<Worker> toJoin;
        {
            std::lock_guard lock(mutex);
            if (closed || isStopping || (!isConnected && connectingOwner == 0)) return;
            isConnected = false;
            isStopping = true;
            connectionContinuationResumed = true;  // a pending connect ends now
            if (heartbeatTask) {
                heartbeatTask->task.cancel();
                toJoin.push_back(std::move(*heartbeatTask));
                heartbeatTask.reset();
            }
            changed.notify_all();
        }
        connection->cancel();
        stream->finish();
        logger.debug(site("disconnect()", __LINE__), "Network transport disconnected");

        {
            std::lock_guard lock(mutex);
            for (auto& worker : workers) toJoin.push_back(std::move(worker));
            workers.clear();
            if (receiveLoopTask) toJoin.push_back(std::move(*receiveLoopTask));
            receiveLoopTask.reset();
        }
        // Receive loops end by themselves: the cancelled connection wakes them
        // and they see isStopping.
        for (auto& worker : toJoin) {
            if (worker.stopOnDisconnect) worker.task.cancel();
        }
        joinAll(toJoin);
    }

    void shutdown() {
        std::vector<Worker> toJoin;
        {
            std::lock_guard lock(mutex);
            closed = true;
            if (heartbeatTask) toJoin.push_back(std::move(*heartbeatTask));
            heartbeatTask.reset();
            for (auto& worker : workers) toJoin.push_back(std::move(worker));
            workers.clear();
            if (receiveLoopTask) toJoin.push_back(std::move(*receiveLoopTask));
            receiveLoopTask.reset();
            changed.notify_all();
        }
        for (auto& worker : toJoin) worker.task.cancel();
        joinAll(toJoin);
    }

    // ---- Heartbeats -----------------------------------------------------

    void startHeartbeatLocked() {
        if (heartbeatTask) {
            heartbeatTask->task.cancel();
            workers.push_back(std::move(*heartbeatTask));  // joined once it has ended
        }
        heartbeatTask = startWorker([this](std::stop_token stop) { heartbeatLoop(stop); });
    }

    void heartbeatLoop(std::stop_token stop) {
        try {
            rt::sleepFor(kFirstHeartbeatDelay, stop);
        } catch (const rt::Cancelled&) {
        }
        for (;;) {
            {
                std::lock_guard lock(mutex);
                if (stop.stop_requested() || isStopping || !isConnected || closed) return;
            }
            try {
                sendHeartbeat(stop);
                rt::sleepFor(durationFromSeconds(heartbeatConfig.interval), stop);
            } catch (const rt::Cancelled&) {
                return;  // stopped: a clean end, nothing to warn about
            } catch (const std::exception& e) {
                {
                    std::lock_guard lock(mutex);
                    if (stop.stop_requested() || isStopping || !isConnected || closed) return;
                }
                logger.warning(site("startHeartbeat()", __LINE__),
                               [&] { return std::string("Heartbeat failed: ") + e.what(); });
                try {
                    rt::sleepFor(kHeartbeatFailurePause, stop);
                } catch (const rt::Cancelled&) {
                }
            }
        }
    }

    void sendHeartbeat(const std::stop_token& stop) {
        {
            std::lock_guard lock(mutex);
            if (!isConnected || isStopping) return;
        }
        if (auto error = connection->send(Heartbeat().data(), true, stop)) throw NetworkFailure(*error);
        {
            std::lock_guard lock(mutex);
            lastHeartbeatTime = std::chrono::system_clock::now();
        }
        logger.trace(site("sendHeartbeat()", __LINE__), "Heartbeat sent");
    }

    // ---- Sending --------------------------------------------------------

    void send(std::string message, std::stop_token stop) {
        {
            std::lock_guard lock(mutex);
            if (!isConnected) throw MCPError::internalError("Transport not connected");
        }
        message.push_back('\n');
        const auto error = connection->send(message, true, stop);
        if (!error) return;

        const std::string description = error->localizedDescription();
        logger.error(site("send(_:)", __LINE__), [&] { return "Send error: " + description; });
        std::uint64_t owner = 0;
        {
            std::lock_guard lock(mutex);
            if (!closed && isConnected && connectingOwner == 0 && isConnectionLoss(error->code())) {
                // Lost for good unless a recovery starts: later sends fail at once.
                isConnected = false;
                if (attemptsRemainLocked()) {
                    ++reconnectAttempt;
                    owner = takeOwnershipLocked();
                }
            }
        }
        if (owner != 0) {
            logger.warning(site("send(_:)", __LINE__), "Connection appears broken, will attempt to reconnect...");
            startReconnection(owner);
        }
        throw MCPError::internalError("Send error: " + description);
    }

    // ---- Receiving ------------------------------------------------------

    std::string receiveData(const std::stop_token& stop) {
        std::int64_t maximum = bufferConfig.maxReceiveBufferSize.value_or(std::numeric_limits<std::int64_t>::max());
        if (maximum < 1) maximum = 1;
        auto result = connection->receive(1, maximum, stop);
        if (result.error) throw MCPError::transportError(*result.error);
        if (result.content) return std::move(*result.content);
        if (result.isComplete) {
            logger.trace(site("receiveData()", __LINE__), "Connection completed by peer");
            throw MCPError::connectionClosed();
        }
        return {};
    }

    bool isCurrentLocked(const std::stop_token& stop, std::uint64_t runGeneration) const {
        return isConnected && !stop.stop_requested() && !isStopping && !closed && generation == runGeneration;
    }

    void receiveLoop(std::stop_token stop, std::uint64_t runGeneration) {
        NetworkFramer pending;
        int emptyReads = 0;
        const std::uint64_t maxMessageSize =
            bufferConfig.maxMessageSize < 0 ? 0 : static_cast<std::uint64_t>(bufferConfig.maxMessageSize);

        const auto onMessage = [&](std::string message) {
            if (message.empty()) return;
            logger.debug(site("receiveLoop()", __LINE__), "Message received",
                         [&] { return Logger::Metadata{{"size", std::to_string(message.size())}}; });
            // Waits while the queue is full: the peer then waits on the socket.
            stream->push(std::move(message), stop);
        };
        const auto onHeartbeat = [&](std::string_view frame) {
            logger.trace(site("receiveLoop()", __LINE__), "Received heartbeat from peer");
            logger.trace(site("receiveLoop()", __LINE__), [&] {
                return "Heartbeat timestamp: " + Heartbeat::fromData(frame)->timestampDescription();
            });
        };

        for (;;) {
            {
                std::lock_guard lock(mutex);
                if (!isCurrentLocked(stop, runGeneration)) break;
            }
            std::string chunk;
            try {
                chunk = receiveData(stop);
            } catch (...) {
                if (handleReceiveFailure(std::current_exception(), stop, runGeneration)) continue;
                break;
            }

            if (chunk.empty()) {
                ++emptyReads;
                if (emptyReads >= kEmptyReadsBeforeWarning) {
                    logger.warning(site("receiveLoop()", __LINE__), [&] {
                        return "Multiple consecutive empty reads (" + std::to_string(emptyReads) +
                               "), possible connection issue";
                    });
                    if (connection->state().kind() != State::Kind::ready) {
                        logger.warning(site("receiveLoop()", __LINE__),
                                       "Connection no longer ready, exiting receive loop");
                        // Left open, the stream would keep its reader waiting for ever.
                        endConnection(std::make_exception_ptr(MCPError::connectionClosed()), runGeneration);
                        break;
                    }
                }
                try {
                    rt::sleepFor(kEmptyReadPause, stop);
                } catch (...) {
                    if (handleReceiveFailure(std::current_exception(), stop, runGeneration)) continue;
                    break;
                }
                continue;
            }

            try {
                pending.feed(chunk, onMessage, onHeartbeat);
            } catch (const rt::Cancelled&) {
                break;  // stopped while the queue was full
            }
            if (pending.size() > maxMessageSize) {
                const auto failure = std::make_exception_ptr(MCPError::internalError(
                    "Received message exceeds the limit of " + std::to_string(maxMessageSize) + " bytes"));
                if (handleReceiveFailure(failure, stop, runGeneration)) continue;
                break;
            }
            {
                std::lock_guard lock(mutex);
                if (!isConnected || generation != runGeneration) break;
            }
            emptyReads = 0;
        }

        bool stopping = false;
        {
            std::lock_guard lock(mutex);
            stopping = isStopping;
        }
        if (stopping) {
            logger.debug(site("receiveLoop()", __LINE__), "Receive loop stopping normally");
            stream->finish();
        }
    }

    // The connection is gone for good: not connected any more (sends fail),
    // and the stream ends with the failure.
    void endConnection(const std::exception_ptr& failure, std::uint64_t runGeneration) {
        {
            std::lock_guard lock(mutex);
            if (generation == runGeneration) isConnected = false;
        }
        stream->finish(failure);
    }

    // True to receive again, false to leave the loop.
    bool handleReceiveFailure(const std::exception_ptr& failure, const std::stop_token& stop,
                              std::uint64_t runGeneration) {
        {
            // Stopping, or another path already took over this connection.
            std::lock_guard lock(mutex);
            if (!isCurrentLocked(stop, runGeneration) || connectingOwner != 0) return false;
        }

        const PlatformError* networkError = nullptr;
        try {
            std::rethrow_exception(failure);
        } catch (const MCPError& e) {
            if (e.kind() == MCPError::Kind::TransportError) networkError = e.underlying();
        } catch (...) {
        }

        if (networkError) {
            logger.error(site("receiveLoop()", __LINE__), "Network error occurred",
                         [&] { return Logger::Metadata{{"error", networkError->debugDescription()}}; });
            if (!isConnectionLoss(networkError->code())) {
                try {
                    rt::sleepFor(kNetworkErrorPause, stop);
                } catch (const std::exception& e) {
                    logger.error(site("receiveLoop()", __LINE__),
                                 [&] { return std::string("Failed to sleep after network error: ") + e.what(); });
                    return false;
                }
                return true;
            }
            recoverOrFinish(failure, runGeneration, "Network connection lost, attempting reconnection (");
            return false;
        }

        logger.error(site("receiveLoop()", __LINE__), [&] { return "Receive error: " + errorLogText(failure); });
        recoverOrFinish(failure, runGeneration, "Error during receive, attempting reconnection (");
        return false;
    }

    void recoverOrFinish(const std::exception_ptr& failure, std::uint64_t runGeneration, const char* announcement) {
        std::uint64_t owner = 0;
        std::int64_t attempt = 0;
        {
            std::lock_guard lock(mutex);
            if (closed || isStopping || generation != runGeneration || connectingOwner != 0) return;
            if (attemptsRemainLocked()) {
                attempt = ++reconnectAttempt;
                isConnected = false;
                owner = takeOwnershipLocked();
            }
        }
        if (owner == 0) {
            endConnection(failure, runGeneration);
            return;
        }
        logger.warning(site("receiveLoop()", __LINE__), [&] {
            return announcement + std::to_string(attempt) + "/" + std::to_string(reconnectionConfig.maxAttempts) +
                   ")...";
        });
        startReconnection(owner);
    }
};

// ---- NetworkTransport ---------------------------------------------------------

NetworkTransport::NetworkTransport(std::shared_ptr<NetworkConnection> connection, std::optional<logging::Logger> logger,
                                   HeartbeatConfiguration heartbeatConfig,
                                   ReconnectionConfiguration reconnectionConfig, BufferConfiguration bufferConfig)
    : core_(std::make_shared<Core>(std::move(connection), std::move(logger), heartbeatConfig, reconnectionConfig,
                                   bufferConfig)) {
    core_->self = core_;
}

NetworkTransport::~NetworkTransport() {
    core_->shutdown();
    // A state delivery in progress may still hold the core. Were the core's
    // reference the connection's last, the connection would be destroyed on
    // its own delivering thread, under its own feet; so the last reference is
    // released here, once the core is gone (a delivery only sees `closed`).
    const std::shared_ptr<NetworkConnection> connection = core_->connection;
    const auto gone = core_->gone.signal;
    core_.reset();
    gone->wait();
}

const logging::Logger& NetworkTransport::logger() const { return core_->logger; }

void NetworkTransport::connect(std::stop_token stop) { core_->connect(std::move(stop)); }

void NetworkTransport::disconnect() { core_->disconnect(); }

void NetworkTransport::send(std::string message, std::stop_token stop) {
    core_->send(std::move(message), std::move(stop));
}

MessageStream NetworkTransport::receive() { return core_->stream; }

bool NetworkTransport::isConnected() const {
    std::lock_guard lock(core_->mutex);
    return core_->isConnected;
}

std::int64_t NetworkTransport::reconnectAttempt() const {
    std::lock_guard lock(core_->mutex);
    return core_->reconnectAttempt;
}

std::optional<std::chrono::system_clock::time_point> NetworkTransport::lastHeartbeatTime() const {
    std::lock_guard lock(core_->mutex);
    return core_->lastHeartbeatTime;
}

const NetworkTransport::HeartbeatConfiguration& NetworkTransport::heartbeatConfig() const {
    return core_->heartbeatConfig;
}

const NetworkTransport::ReconnectionConfiguration& NetworkTransport::reconnectionConfig() const {
    return core_->reconnectionConfig;
}

const NetworkTransport::BufferConfiguration& NetworkTransport::bufferConfig() const { return core_->bufferConfig; }

}  // namespace mcp
