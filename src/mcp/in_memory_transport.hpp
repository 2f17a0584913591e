// Two transports joined inside one process: what one sends is handed straight
// to the other's stream of received messages, without framing or parsing.
//
//   auto [clientSide, serverSide] = mcp::InMemoryTransport::createConnectedPair();
//   server->start(serverSide);
//   client.connect(clientSide);
#pragma once

#include "logging/logger.hpp"
#include "mcp/transport.hpp"

#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <utility>

namespace mcp {

// The two sides refer to each other weakly, so a pair nobody holds any more is
// freed; a side whose peer is gone behaves as unpaired.
class InMemoryTransport final : public Transport {
public:
    using Pair = std::pair<std::shared_ptr<InMemoryTransport>, std::shared_ptr<InMemoryTransport>>;

    // A lone transport: connect() fails until it is paired. Without a logger:
    // label "mcp.transport.in-memory", records discarded.
    explicit InMemoryTransport(std::optional<logging::Logger> logger = std::nullopt);
    InMemoryTransport(const InMemoryTransport&) = delete;
    InMemoryTransport& operator=(const InMemoryTransport&) = delete;

    // Client side first, server side second, both disconnected. Without a
    // logger each side gets a discarding one labelled
    // "mcp.transport.in-memory.client" / "mcp.transport.in-memory.server".
    static Pair createConnectedPair(std::optional<logging::Logger> logger = std::nullopt);

    const logging::Logger& logger() const override { return logger_; }

    // Throws internalError "Transport not paired. ..." without a peer.
    void connect(std::stop_token stop = {}) override;
    // Ends this side's stream normally and the peer's with connectionClosed.
    void disconnect() override;
    // Hands the message to the peer and returns; a peer that is not connected
    // drops it with a warning of its own.
    void send(std::string message, std::stop_token stop = {}) override;
    // A new stream on every call, fed first with the messages that arrived
    // since the previous one ended; it ends at once while disconnected.
    MessageStream receive() override;

    bool isConnected() const;

private:
    // Both run on the receiving side, called by the peer.
    void deliverMessage(std::string message);
    void handlePeerDisconnection();

    std::shared_ptr<InMemoryTransport> peer() const;

    const logging::Logger logger_;

    mutable std::mutex mutex_;
    bool isConnected_ = false;
    std::weak_ptr<InMemoryTransport> pairedTransport_;
    // Arrived while no live stream could take them, oldest first.
    std::deque<std::string> incomingMessages_;
    MessageStream messageContinuation_;  // null until receive()
};

}  // namespace mcp
