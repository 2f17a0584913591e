// The TCP connection and the network transport over real loopback sockets.
#include "mcp/network_transport.hpp"

#include "mcp/network_test_support.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <future>
#include <thread>

namespace {

using namespace networktest;
using mcp::MCPError;
using mcp::NetworkTransport;
using mcp::TcpConnection;
using Lines = std::vector<std::string>;

// Records the states a connection reports and lets the test wait for them.
// The record is shared with the handler, which may still run on the
// connection's thread while the test ends.
class StateLog {
public:
    explicit StateLog(mcp::NetworkConnection& connection) {
        connection.setStateUpdateHandler([shared = shared_](const State& state) {
            {
                std::lock_guard lock(shared->mutex);
                shared->states.push_back(state);
            }
            shared->cv.notify_all();
        });
    }
    // The kinds seen so far, once `count` arrived (or at the time-out).
    std::vector<State::Kind> waitFor(std::size_t count) {
        std::unique_lock lock(shared_->mutex);
        shared_->cv.wait_for(lock, kTimeout, [&] { return shared_->states.size() >= count; });
        std::vector<State::Kind> kinds;
        for (const auto& s : shared_->states) kinds.push_back(s.kind());
        return kinds;
    }
    State last() {
        std::lock_guard lock(shared_->mutex);
        return shared_->states.back();
    }

private:
    struct Shared {
        std::mutex mutex;
        std::condition_variable cv;
        std::vector<State> states;
    };
    std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
};

using K = State::Kind;

// A port nobody listens on: bound once, then released.
std::uint16_t closedPort() {
    LoopbackListener listener;
    return listener.port();
}

// ---- TcpConnection --------------------------------------------------------------

TEST(TcpConnection, ARefusedConnectReportsFailed) {
    TcpConnection connection("127.0.0.1", closedPort());
    StateLog states(connection);
    connection.start();
    EXPECT_EQ(states.waitFor(2), (std::vector<K>{K::preparing, K::failed}));
    ASSERT_TRUE(states.last().error().has_value());
    EXPECT_EQ(states.last().error()->code(), ECONNREFUSED);
}

TEST(TcpConnection, CancelEndsPendingOperationsAndAStartOpensAFreshSocket) {
    LoopbackListener listener;
    TcpConnection connection("127.0.0.1", listener.port());
    StateLog states(connection);
    connection.start();
    ASSERT_EQ(states.waitFor(2), (std::vector<K>{K::preparing, K::ready}));
    RawPeer first(listener.accept());

    ASSERT_TRUE(first.write("ping\n"));
    auto chunk = connection.receive(1, 1 << 20);
    EXPECT_EQ(chunk.content, "ping\n");
    EXPECT_FALSE(connection.send("pong\n", true).has_value());
    EXPECT_EQ(first.readLines(1), (Lines{"pong"}));

    auto pending = std::async(std::launch::async, [&] { return connection.receive(1, 1 << 20); });
    connection.cancel();
    ASSERT_EQ(pending.wait_for(kTimeout), std::future_status::ready);
    const auto interrupted = pending.get();
    ASSERT_TRUE(interrupted.error.has_value());
    EXPECT_TRUE(interrupted.error->code() == ECANCELED || interrupted.error->code() == ENOTCONN);
    EXPECT_EQ(connection.receive(1, 16).error->code(), ENOTCONN);
    EXPECT_EQ(connection.send("x", true)->code(), ENOTCONN);
    EXPECT_EQ(states.waitFor(3).back(), K::cancelled);

    connection.start();
    EXPECT_EQ(states.waitFor(5), (std::vector<K>{K::preparing, K::ready, K::cancelled, K::preparing, K::ready}));
    RawPeer second(listener.accept());
    EXPECT_FALSE(connection.send("again\n", true).has_value());
    EXPECT_EQ(second.readLines(1), (Lines{"again"}));
}

TEST(TcpConnection, ThePeersEndIsACompleteReceiveAndAResetAnError) {
    LoopbackListener listener;
    TcpConnection connection("127.0.0.1", listener.port());
    StateLog states(connection);
    connection.start();
    ASSERT_EQ(states.waitFor(2).back(), K::ready);
    {
        RawPeer peer(listener.accept());
        ASSERT_TRUE(peer.write("last"));
    }  // closed: end of stream
    EXPECT_EQ(connection.receive(1, 1 << 20).content, "last");
    const auto end = connection.receive(1, 1 << 20);
    EXPECT_EQ(end.content, std::nullopt);
    EXPECT_TRUE(end.isComplete);
    EXPECT_FALSE(end.error.has_value());

    // Writing into the closed peer fails with an error, never with SIGPIPE.
    std::optional<mcp::PlatformError> failure;
    for (int i = 0; i < 1000 && !failure; ++i) failure = connection.send(std::string(4096, 'x'), true);
    ASSERT_TRUE(failure.has_value());
    EXPECT_TRUE(failure->code() == EPIPE || failure->code() == ECONNRESET) << failure->debugDescription();
    EXPECT_EQ(states.waitFor(3).back(), K::failed);
}

TEST(TcpConnection, AStopTokenEndsAWaitingReceive) {
    LoopbackListener listener;
    TcpConnection connection("127.0.0.1", listener.port());
    StateLog states(connection);
    connection.start();
    ASSERT_EQ(states.waitFor(2).back(), K::ready);
    RawPeer peer(listener.accept());
    std::stop_source stop;
    auto pending = std::async(std::launch::async, [&] { return connection.receive(1, 64, stop.get_token()); });
    stop.request_stop();
    ASSERT_EQ(pending.wait_for(kTimeout), std::future_status::ready);
    EXPECT_THROW(pending.get(), rt::Cancelled);
    // The connection is still usable.
    ASSERT_TRUE(peer.write("x"));
    EXPECT_EQ(connection.receive(1, 64).content, "x");
}

TEST(TcpConnection, AnAcceptedSocketIsReadyOnceAndCannotBeReopened) {
    LoopbackListener listener;
    TcpConnection client("127.0.0.1", listener.port());
    client.start();
    TcpConnection accepted(listener.accept());
    StateLog states(accepted);
    accepted.start();
    EXPECT_EQ(states.waitFor(1), (std::vector<K>{K::ready}));
    accepted.cancel();
    accepted.start();
    EXPECT_EQ(states.waitFor(3), (std::vector<K>{K::ready, K::cancelled, K::failed}));
    EXPECT_EQ(states.last().error()->code(), ENOTCONN);
}

// ---- NetworkTransport over loopback -----------------------------------------------

TEST(NetworkTransportLoopback, TwoTransportsExchangeMessagesAndHeartbeats) {
    const NetworkTransport::HeartbeatConfiguration heartbeat{true, 0.002};
    LogRecorder clientLog;
    LogRecorder serverLog;
    LoopbackListener listener;
    auto client = std::make_shared<NetworkTransport>(std::make_shared<TcpConnection>("127.0.0.1", listener.port()),
                                                     clientLog.logger(), heartbeat,
                                                     NetworkTransport::ReconnectionConfiguration::disabled);
    auto connecting = std::async(std::launch::async, [&] { client->connect(); });
    const int accepted = listener.accept();
    ASSERT_GE(accepted, 0);
    auto server = std::make_shared<NetworkTransport>(std::make_shared<TcpConnection>(accepted), serverLog.logger(),
                                                     heartbeat, NetworkTransport::ReconnectionConfiguration::disabled);
    server->connect();
    ASSERT_EQ(connecting.wait_for(kTimeout), std::future_status::ready);
    connecting.get();

    client->send(R"({"hello":"server"})");
    server->send(R"({"hello":"client"})");
    EXPECT_EQ(server->receive()->nextFor(kTimeout), R"({"hello":"server"})");
    EXPECT_EQ(client->receive()->nextFor(kTimeout), R"({"hello":"client"})");

    // With heartbeats flowing both ways, bursts of messages arrive whole and in order.
    ASSERT_TRUE(serverLog.waitFor("Received heartbeat from peer", 20));
    ASSERT_TRUE(clientLog.waitFor("Received heartbeat from peer", 20));
    constexpr int kCount = 300;
    auto burst = [](const std::shared_ptr<NetworkTransport>& from, const std::string& who) {
        for (int i = 0; i < kCount; ++i) {
            from->send(R"({"from":")" + who + R"(","n":)" + std::to_string(i) + R"(,"pad":")" +
                       std::string(static_cast<std::size_t>(i % 97), 'x') + "\xF0\x9F\x92\x93\"}");
        }
    };
    std::thread clientBurst(burst, client, "client");
    std::thread serverBurst(burst, server, "server");
    for (int i = 0; i < kCount; ++i) {
        const auto atServer = server->receive()->nextFor(kTimeout);
        const auto atClient = client->receive()->nextFor(kTimeout);
        ASSERT_TRUE(atServer && atClient);
        EXPECT_NE(atServer->find(R"("from":"client","n":)" + std::to_string(i) + ","), std::string::npos);
        EXPECT_NE(atClient->find(R"("from":"server","n":)" + std::to_string(i) + ","), std::string::npos);
    }
    clientBurst.join();
    serverBurst.join();
    EXPECT_TRUE(client->lastHeartbeatTime().has_value());
    EXPECT_TRUE(server->lastHeartbeatTime().has_value());

    EXPECT_EQ(clientLog.count("Network error occurred") + serverLog.count("Network error occurred"), 0u);

    // The client leaves: its stream ends plainly, the server sees the peer's end.
    client->disconnect();
    EXPECT_EQ(client->receive()->nextFor(kTimeout), std::nullopt);
    try {
        server->receive()->nextFor(kTimeout);
        ADD_FAILURE() << "the server's stream should end with the peer";
    } catch (const MCPError& e) {
        EXPECT_EQ(e.kind(), MCPError::Kind::ConnectionClosed);
    }
    server->disconnect();
}

TEST(NetworkTransportLoopback, APeerResetLeadsToAReconnectionToTheRelisteningPeer) {
    LogRecorder log;
    auto listener = std::make_unique<LoopbackListener>();
    const auto port = listener->port();
    auto transport = std::make_shared<NetworkTransport>(std::make_shared<TcpConnection>("127.0.0.1", port),
                                                        log.logger(), NetworkTransport::HeartbeatConfiguration::disabled,
                                                        NetworkTransport::ReconnectionConfiguration{true, 5, 1.0});
    auto connecting = std::async(std::launch::async, [&] { transport->connect(); });
    auto first = std::make_unique<RawPeer>(listener->accept());
    ASSERT_EQ(connecting.wait_for(kTimeout), std::future_status::ready);
    connecting.get();

    ASSERT_TRUE(first->write("{\"first\":1}\n"));
    EXPECT_EQ(transport->receive()->nextFor(kTimeout), "{\"first\":1}");

    // The peer goes away with a reset and comes back on the same port.
    listener.reset();
    first->reset();
    LoopbackListener relistening(port);
    RawPeer second(relistening.accept());
    ASSERT_TRUE(log.waitFor("Network transport connected successfully", 2));

    ASSERT_TRUE(second.write("{\"second\":2}\n"));
    EXPECT_EQ(transport->receive()->nextFor(kTimeout), "{\"second\":2}");
    transport->send("{\"after\":3}");
    EXPECT_EQ(second.readLines(1), (Lines{"{\"after\":3}"}));
    EXPECT_EQ(log.count("Network connection lost, attempting reconnection (1/5)..."), 1u);
    EXPECT_EQ(transport->reconnectAttempt(), 0);
    transport->disconnect();
}

TEST(NetworkTransportLoopback, WhenTheAttemptsRunOutTheStreamEnds) {
    LogRecorder log;
    auto listener = std::make_unique<LoopbackListener>();
    auto transport = std::make_shared<NetworkTransport>(
        std::make_shared<TcpConnection>("127.0.0.1", listener->port()), log.logger(),
        NetworkTransport::HeartbeatConfiguration::disabled, NetworkTransport::ReconnectionConfiguration{true, 3, 0.1});
    auto connecting = std::async(std::launch::async, [&] { transport->connect(); });
    RawPeer peer(listener->accept());
    ASSERT_EQ(connecting.wait_for(kTimeout), std::future_status::ready);
    connecting.get();

    listener.reset();
    peer.reset();
    try {
        transport->receive()->nextFor(kTimeout);
        FAIL() << "the stream should end with an error";
    } catch (const MCPError& e) {
        ASSERT_EQ(e.kind(), MCPError::Kind::TransportError);
        EXPECT_EQ(e.underlying()->code(), ECONNREFUSED);
    }
    EXPECT_EQ(log.count("Connection failed: Connection refused"), 3u);
    EXPECT_EQ(log.count("Attempting reconnection after failure (3/3)..."), 1u);
    EXPECT_FALSE(transport->isConnected());
}

}  // namespace
