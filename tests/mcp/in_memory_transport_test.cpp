#include "mcp/in_memory_transport.hpp"

#include "mcp/client_test_support.hpp"
#include "mcp/error.hpp"

#include <gtest/gtest.h>

namespace {
using namespace clienttest;
using mcp::InMemoryTransport;

TEST(InMemoryTransportTest, MessagesBeforeReceiveComeFirstInOrder) {
    auto [client, server] = InMemoryTransport::createConnectedPair();
    client->connect();
    server->connect();
    client->send("one");
    client->send("two");
    auto stream = server->receive();
    client->send("three");
    EXPECT_EQ(stream->nextFor(kTimeout), "one");
    EXPECT_EQ(stream->nextFor(kTimeout), "two");
    EXPECT_EQ(stream->nextFor(kTimeout), "three");
}

TEST(InMemoryTransportTest, APeerThatDisconnectsEndsTheOtherStreamWithConnectionClosed) {
    for (const std::vector<std::string> pending : {std::vector<std::string>{}, {"one", "two"}}) {
        SCOPED_TRACE(pending.size());
        auto [client, server] = InMemoryTransport::createConnectedPair();
        client->connect();
        server->connect();
        auto stream = server->receive();
        for (const auto& m : pending) client->send(m);
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
