// Newline-delimited protocol messages over one stream connection, with
// heartbeats and reconnection with back-off.
//
//   auto connection = std::make_shared<mcp::TcpConnection>("127.0.0.1", 4100);
//   auto transport = std::make_shared<mcp::NetworkTransport>(connection);
//   transport->connect();
//   transport->send(R"({"jsonrpc":"2.0","method":"ping","id":"1"})");
//   while (auto message = transport->receive()->next()) { ... }
//
// Wire format: each message followed by the byte 10; while the link is up both
// ends may send 12-byte heartbeat frames (NetworkHeartbeat) between messages.
#pragma once

#include "logging/logger.hpp"
#include "mcp/network_configuration.hpp"
#include "mcp/network_connection.hpp"
#include "mcp/transport.hpp"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>

namespace mcp {

// The transport's state is guarded by a mutex that is never held while it calls
// out (to the connection, the logger or the stream). It runs a receive loop per
// ready connection, a heartbeat task while connected, and at most one
// reconnection at a time; all of them stop when the transport is destroyed,
// which neither cancels the connection nor ends the message stream.
//
// Recovery: a lost connection (seen by the receive loop, or by a send failing
// with ENOTCONN, ECONNRESET, EPIPE, ECONNABORTED, ETIMEDOUT or ENETRESET) is
// reopened after the back-off of the attempt; failed reopenings count further
// attempts, and when they are used up the message stream ends with the last
// error. A failed connect() is not retried: it throws after the back-off.
class NetworkTransport final : public Transport {
public:
    using HeartbeatConfiguration = NetworkHeartbeatConfiguration;
    using ReconnectionConfiguration = NetworkReconnectionConfiguration;
    using BufferConfiguration = NetworkBufferConfiguration;
    using Heartbeat = NetworkHeartbeat;

    // Without a logger: label "mcp.transport.network", records discarded.
    // Starts nothing and does not touch the connection.
    explicit NetworkTransport(std::shared_ptr<NetworkConnection> connection,
                              std::optional<logging::Logger> logger = std::nullopt,
                              HeartbeatConfiguration heartbeatConfig = HeartbeatConfiguration::defaultConfiguration,
                              ReconnectionConfiguration reconnectionConfig =
                                  ReconnectionConfiguration::defaultConfiguration,
                              BufferConfiguration bufferConfig = BufferConfiguration::defaultConfiguration);
    ~NetworkTransport() override;
    NetworkTransport(const NetworkTransport&) = delete;
    NetworkTransport& operator=(const NetworkTransport&) = delete;

    const logging::Logger& logger() const override;

    // Returns once the connection is ready; at once when already connected.
    // Waits for a running reconnection to end first. Throws
    // MCPError::transportError with the connection's error after a failed
    // state, MCPError::internalError("Connection cancelled") after a cancelled
    // one or a disconnect(), each after the back-off of attempt 1 while
    // reconnection applies; rt::Cancelled when `stop` ends the wait.
    void connect(std::stop_token stop = {}) override;
    // Stops heartbeats, a connect or reconnection in progress, cancels the
    // connection and ends the message stream; waits for the transport's tasks.
    // Does nothing on a transport that is neither connected nor connecting.
    void disconnect() override;
    // Sends the message followed by byte 10. Not connected:
    // MCPError::internalError("Transport not connected"); a failed send:
    // MCPError::internalError("Send error: <description>").
    void send(std::string message, std::stop_token stop = {}) override;
    // The same stream on every call, made at construction.
    MessageStream receive() override;

    bool isConnected() const;
    std::int64_t reconnectAttempt() const;
    std::optional<std::chrono::system_clock::time_point> lastHeartbeatTime() const;
    const HeartbeatConfiguration& heartbeatConfig() const;
    const ReconnectionConfiguration& reconnectionConfig() const;
    const BufferConfiguration& bufferConfig() const;

private:
    struct Core;
    std::shared_ptr<Core> core_;
};

}  // namespace mcp
