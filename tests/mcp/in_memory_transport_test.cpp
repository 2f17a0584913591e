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
