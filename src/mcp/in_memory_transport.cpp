#include "mcp/in_memory_transport.hpp"

#include "logging/log_handlers.hpp"
#include "mcp/error.hpp"

#include <exception>
#include <vector>

namespace mcp {

namespace {

constexpr const char* kLogFile = "MCP/InMemoryTransport";

logging::Logger::Site site(std::string_view function, std::int64_t line) {
    return logging::Logger::Site(kLogFile, function, line);
}

logging::Logger::Metadata sizeMetadata(std::size_t size) {
    return logging::Logger::Metadata{{"size", std::to_string(size)}};
}

}  // namespace

InMemoryTransport::InMemoryTransport(std::optional<logging::Logger> logger)
    : logger_(logger ? std::move(*logger) : discardingLogger("mcp.transport.in-memory")) {}

InMemoryTransport::Pair InMemoryTransport::createConnectedPair(std::optional<logging::Logger> logger) {
    auto client = std::make_shared<InMemoryTransport>(logger ? *logger
                                                             : discardingLogger("mcp.transport.in-memory.client"));
    auto server = std::make_shared<InMemoryTransport>(logger ? *logger
                                                             : discardingLogger("mcp.transport.in-memory.server"));
    {
        std::lock_guard lock(client->mutex_);
        client->pairedTransport_ = server;
    }
    {
        std::lock_guard lock(server->mutex_);
        server->pairedTransport_ = client;
    }
    return {std::move(client), std::move(server)};
}

std::shared_ptr<InMemoryTransport> InMemoryTransport::peer() const {
    std::lock_guard lock(mutex_);
    return pairedTransport_.lock();
}

bool InMemoryTransport::isConnected() const {
    std::lock_guard lock(mutex_);
    return isConnected_;
}

void InMemoryTransport::connect(std::stop_token) {
    {
        std::unique_lock lock(mutex_);
        if (isConnected_) {
            lock.unlock();
            logger_.debug(site("connect()", __LINE__), "Transport already connected");
            return;
        }
        if (pairedTransport_.expired()) {
            throw MCPError::internalError(
                std::string("Transport not paired. Use createConnectedPair() to create paired transports."));
        }
        isConnected_ = true;
    }
    logger_.info(site("connect()", __LINE__), "Transport connected successfully");
}

void InMemoryTransport::disconnect() {
    MessageStream stream;
    std::shared_ptr<InMemoryTransport> other;
    {
        std::lock_guard lock(mutex_);
        if (!isConnected_) return;
        isConnected_ = false;
        stream = std::move(messageContinuation_);
        messageContinuation_.reset();
        other = pairedTransport_.lock();
    }
    if (stream) stream->finish();
    if (other) other->handlePeerDisconnection();
    logger_.info(site("disconnect()", __LINE__), "Transport disconnected");
}

void InMemoryTransport::handlePeerDisconnection() {
    MessageStream stream;
    {
        std::lock_guard lock(mutex_);
        if (!isConnected_) return;
        stream = std::move(messageContinuation_);
        messageContinuation_.reset();
        isConnected_ = false;
    }
    if (stream) stream->finish(std::make_exception_ptr(MCPError::connectionClosed()));
    logger_.info(site("handlePeerDisconnection()", __LINE__), "Peer transport disconnected");
}

void InMemoryTransport::send(std::string message, std::stop_token) {
    std::shared_ptr<InMemoryTransport> other;
    {
        std::lock_guard lock(mutex_);
        if (!isConnected_) throw MCPError::internalError(std::string("Transport not connected"));
        other = pairedTransport_.lock();
    }
    if (!other) throw MCPError::internalError(std::string("No paired transport"));
    logger_.debug(site("send(_:)", __LINE__), "Sending message", [&] { return sizeMetadata(message.size()); });
    // No lock of ours is held while the peer takes the message.
    other->deliverMessage(std::move(message));
}

void InMemoryTransport::deliverMessage(std::string message) {
    std::unique_lock lock(mutex_);
    if (!isConnected_) {
        lock.unlock();
        logger_.warning(site("deliverMessage(_:)", __LINE__), "Received message while disconnected");
        return;
    }
    const std::size_t size = message.size();
    // The element goes to the stream or the queue before the lock is released,
    // so messages from one sender keep their order. A stored stream is
    // finished only under this lock (receive() while disconnected), so the
    // check holds for the yield and the message is moved, never copied.
    if (messageContinuation_ && !messageContinuation_->isFinished()) {
        messageContinuation_->yield(std::move(message));
    } else {
        incomingMessages_.push_back(std::move(message));
    }
    lock.unlock();
    logger_.debug(site("deliverMessage(_:)", __LINE__), "Message received",
                  [&] { return sizeMetadata(size); });
}

MessageStream InMemoryTransport::receive() {
    auto stream = rt::AsyncStream<std::string>::make();
    std::lock_guard lock(mutex_);
    messageContinuation_ = stream;
    for (auto& message : incomingMessages_) stream->yield(std::move(message));
    incomingMessages_.clear();
    if (!isConnected_) stream->finish();
    return stream;
}

}  // namespace mcp
