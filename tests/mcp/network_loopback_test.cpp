// The network transport over a real TCP connection on loopback.
#include "mcp/network_transport.hpp"

#include "mcp/network_test_support.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <future>

namespace {
using namespace networktest;
using mcp::MCPError;
using mcp::NetworkTransport;
using mcp::TcpConnection;
using Lines = std::vector<std::string>;

TEST(NetworkTransportLoopback, APeerResetLeadsToAReconnectionToTheRelisteningPeer) {
    auto log = std::make_shared<logging::testing::RecordSink>();
    auto listener = std::make_unique<LoopbackListener>();
    const auto port = listener->port();
    auto transport = std::make_shared<NetworkTransport>(std::make_shared<TcpConnection>("127.0.0.1", port),
                                                        networkLogger(log), NetworkTransport::HeartbeatConfiguration::disabled,
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
    ASSERT_TRUE(log->waitFor("Network transport connected successfully", 2));

    ASSERT_TRUE(second.write("{\"second\":2}\n"));
    EXPECT_EQ(transport->receive()->nextFor(kTimeout), "{\"second\":2}");
    transport->send("{\"after\":3}");
    EXPECT_EQ(second.readLines(1), (Lines{"{\"after\":3}"}));
    EXPECT_EQ(log->count("Network connection lost, attempting reconnection (1/5)..."), 1u);
    EXPECT_EQ(transport->reconnectAttempt(), 0);
    transport->disconnect();
}

}  // namespace
