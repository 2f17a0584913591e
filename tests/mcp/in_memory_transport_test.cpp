#include "mcp/in_memory_transport.hpp"

#include "mcp/error.hpp"

#include "mcp/client_test_support.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <exception>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace clienttest;
using mcp::InMemoryTransport;
using mcp::MCPError;

std::vector<std::string> messagesOf(const std::vector<Record>& records) {
    std::vector<std::string> out;
    for (const auto& r : records) out.push_back(r.message);
    return out;
}

TEST(InMemoryTransportTest, LoneTransportCannotConnect) {
    auto sink = std::make_shared<RecordSink>();
    InMemoryTransport lone(recordingLogger(sink));
    try {
        lone.connect();
        FAIL() << "connect succeeded";
    } catch (const MCPError& e) {
        EXPECT_EQ(e.kind(), MCPError::Kind::InternalError);
        EXPECT_STREQ(e.what(),
                     "Internal error: Transport not paired. Use createConnectedPair() to create paired transports.");
    }
    EXPECT_TRUE(sink->snapshot().empty());
    EXPECT_FALSE(lone.isConnected());
    EXPECT_EQ(failureText([&] { lone.send("x"); }), "Internal error: Transport not connected");
}

TEST(InMemoryTransportTest, LoggerLabels) {
    InMemoryTransport lone;
    EXPECT_EQ(lone.logger().label(), "mcp.transport.in-memory");
    auto [client, server] = InMemoryTransport::createConnectedPair();
    EXPECT_EQ(client->logger().label(), "mcp.transport.in-memory.client");
    EXPECT_EQ(server->logger().label(), "mcp.transport.in-memory.server");
    EXPECT_EQ(client->logger().logLevel(), Logger::Level::critical);

    auto sink = std::make_shared<RecordSink>();
    auto [a, b] = InMemoryTransport::createConnectedPair(recordingLogger(sink, "shared"));
    EXPECT_EQ(a->logger().label(), "shared");
    EXPECT_EQ(b->logger().label(), "shared");
    EXPECT_FALSE(a->isConnected());
    EXPECT_FALSE(b->isConnected());
}

TEST(InMemoryTransportTest, ConnectTwiceOnlyLogs) {
    auto sink = std::make_shared<RecordSink>();
    auto [client, server] = InMemoryTransport::createConnectedPair(recordingLogger(sink));
    client->connect();
    client->connect();
    auto records = sink->snapshot();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].message, "Transport connected successfully");
    EXPECT_EQ(records[0].level, Logger::Level::info);
    EXPECT_EQ(records[0].source, "MCP");
    EXPECT_EQ(records[1].message, "Transport already connected");
    EXPECT_EQ(records[1].level, Logger::Level::debug);
    EXPECT_TRUE(client->isConnected());
}

TEST(InMemoryTransportTest, SendNeedsOwnConnectionAndDropsAtDisconnectedPeer) {
    auto clientLog = std::make_shared<RecordSink>();
    auto [client, server] = InMemoryTransport::createConnectedPair(recordingLogger(clientLog));
    EXPECT_EQ(failureText([&] { client->send("early"); }), "Internal error: Transport not connected");

    client->connect();
    client->send("dropped");  // the server side is not connected
    auto records = clientLog->snapshot();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[1].message, "Sending message");
    EXPECT_EQ(records[2].message, "Received message while disconnected");
    EXPECT_EQ(records[2].level, Logger::Level::warning);

    server->connect();
    auto stream = server->receive();
    EXPECT_EQ(stream->tryNext(), std::nullopt) << "a dropped message must not reappear";
}

TEST(InMemoryTransportTest, SizeMetadataIsTheExactByteCount) {
    auto sink = std::make_shared<RecordSink>();
    auto [client, server] = InMemoryTransport::createConnectedPair(recordingLogger(sink));
    client->connect();
    server->connect();
    for (const std::string& message : {std::string(), std::string("{}"), std::string("h\xC3\xA9llo")}) {
        const std::size_t before = sink->snapshot().size();
        client->send(message);
        auto records = sink->snapshot();
        ASSERT_EQ(records.size(), before + 2);
        for (std::size_t i = before; i < records.size(); ++i) {
            ASSERT_TRUE(records[i].metadata);
            EXPECT_EQ(records[i].metadata->at("size").description(), std::to_string(message.size()));
            EXPECT_EQ(records[i].level, Logger::Level::debug);
        }
        EXPECT_EQ(records[before].message, "Sending message");
        EXPECT_EQ(records[before + 1].message, "Message received");
    }
}

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

TEST(InMemoryTransportTest, DisconnectEndsOwnStreamCleanlyAndPeersWithConnectionClosed) {
    auto sink = std::make_shared<RecordSink>();
    auto [client, server] = InMemoryTransport::createConnectedPair(recordingLogger(sink));
    client->connect();
    server->connect();
    auto clientStream = client->receive();
    auto serverStream = server->receive();
    const std::size_t before = sink->snapshot().size();

    client->disconnect();
    EXPECT_EQ(clientStream->nextFor(kTimeout), std::nullopt);
    try {
        serverStream->nextFor(kTimeout);
        FAIL() << "the peer's stream ended without error";
    } catch (const MCPError& e) {
        EXPECT_EQ(e.kind(), MCPError::Kind::ConnectionClosed);
    }
    EXPECT_FALSE(client->isConnected());
    EXPECT_FALSE(server->isConnected());
    auto all = messagesOf(sink->snapshot());
    std::vector<std::string> lines(all.begin() + static_cast<std::ptrdiff_t>(before), all.end());
    EXPECT_EQ(lines, (std::vector<std::string>{"Peer transport disconnected", "Transport disconnected"}));

    // Still paired: both sides connect again and talk.
    client->connect();
    server->connect();
    auto again = server->receive();
    client->send("back");
    EXPECT_EQ(again->nextFor(kTimeout), "back");
}

TEST(InMemoryTransportTest, DisconnectWhileDisconnectedDoesNothing) {
    auto sink = std::make_shared<RecordSink>();
    auto [client, server] = InMemoryTransport::createConnectedPair(recordingLogger(sink));
    server->connect();
    client->disconnect();
    EXPECT_EQ(messagesOf(sink->snapshot()), std::vector<std::string>{"Transport connected successfully"});
    EXPECT_TRUE(server->isConnected());
}

TEST(InMemoryTransportTest, ReceiveBeforeConnectEndsAtOnceButKeepsLaterMessages) {
    auto [client, server] = InMemoryTransport::createConnectedPair();
    auto early = server->receive();
    EXPECT_TRUE(early->isEnded());
    server->connect();
    client->connect();
    client->send("kept");
    EXPECT_EQ(early->nextFor(kTimeout), std::nullopt);
    auto fresh = server->receive();
    EXPECT_EQ(fresh->nextFor(kTimeout), "kept");
}

TEST(InMemoryTransportTest, ReleasedPeerLeavesTheSideUnpaired) {
    auto [client, server] = InMemoryTransport::createConnectedPair();
    std::weak_ptr<InMemoryTransport> weakServer = server;
    client->connect();
    server->connect();
    server.reset();
    EXPECT_TRUE(weakServer.expired()) << "the pair must not keep its sides alive";
    EXPECT_EQ(failureText([&] { client->send("x"); }), "Internal error: No paired transport");
    client->disconnect();
    EXPECT_EQ(failureText([&] { client->connect(); }),
              "Internal error: Transport not paired. Use createConnectedPair() to create paired transports.");
}

TEST(InMemoryTransportTest, ConcurrentSendersKeepTheirOwnOrder) {
    auto [client, server] = InMemoryTransport::createConnectedPair();
    client->connect();
    server->connect();
    auto stream = server->receive();
    constexpr int kPerSender = 500;
    {
        std::vector<std::jthread> senders;
        for (int s = 0; s < 2; ++s) {
            senders.emplace_back([&, s] {
                for (int i = 0; i < kPerSender; ++i) client->send(std::to_string(s) + ":" + std::to_string(i));
            });
        }
    }
    int next[2] = {0, 0};
    for (int n = 0; n < 2 * kPerSender; ++n) {
        auto message = stream->nextFor(kTimeout);
        ASSERT_TRUE(message);
        const int sender = (*message)[0] - '0';
        ASSERT_EQ(*message, std::to_string(sender) + ":" + std::to_string(next[sender]));
        ++next[sender];
    }
    EXPECT_EQ(next[0], kPerSender);
    EXPECT_EQ(next[1], kPerSender);
}

}  // namespace
