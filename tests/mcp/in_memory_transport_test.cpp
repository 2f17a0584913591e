#include "mcp/in_memory_transport.hpp"

#include "mcp/client_test_support.hpp"
#include "mcp/error.hpp"

#include <gtest/gtest.h>

namespace {
using namespace clienttest;
using mcp::InMemoryTransport;

TEST(InMemoryTransportTest, QueuedMessagesComeFirstThenAPeerDisconnectEndsTheStreamWithConnectionClosed) {
    for (const auto& pending : {std::vector<std::string>{}, {"one", "two"}}) {
        SCOPED_TRACE(pending.size());
        auto [client, server] = InMemoryTransport::createConnectedPair();
        client->connect();
        server->connect();
        for (const auto& m : pending) client->send(m);  // before receive(): they come first, in order
        auto stream = server->receive();
        client->disconnect();
        for (const auto& m : pending) EXPECT_EQ(stream->nextFor(kTimeout), m);
        try {
            stream->nextFor(kTimeout);
            ADD_FAILURE() << "the stream went on";
        } catch (const mcp::MCPError& e) {
            EXPECT_EQ(e.kind(), mcp::MCPError::Kind::ConnectionClosed);
        }
        EXPECT_FALSE(server->isConnected());
        EXPECT_EQ(client->receive()->nextFor(kTimeout), std::nullopt);  // its own stream simply ends
    }
}

}  // namespace
