#include "mcp/in_memory_transport.hpp"

#include "mcp/client_test_support.hpp"

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

}  // namespace
