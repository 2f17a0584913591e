// Our client talks to our server across a pair of network transports on loopback.
#include "mcp/client.hpp"
#include "mcp/network_transport.hpp"
#include "mcp/server.hpp"

#include "mcp/client_test_support.hpp"
#include "mcp/network_test_support.hpp"

#include <gtest/gtest.h>

#include <future>

namespace {

using namespace networktest;
using mcp::Client;
using mcp::NetworkTransport;
using mcp::Server;
using mcp::TcpConnection;

std::shared_ptr<Server> makeEchoServer() {
    Server::Capabilities capabilities;
    capabilities.tools = Server::Capabilities::Tools{false};
    auto server = Server::make("Kettleward", "1.0.0", std::nullopt, capabilities);
    server->registerMethodHandler<mcp::ListTools>([](const mcp::ListTools::Parameters&) {
        mcp::Tool tool;
        tool.name = "echo";
        tool.description = "Says it back";
        tool.inputSchema = mcp::Value::object({{"type", "object"}});
        return mcp::ListTools::Result{{tool}, std::nullopt};
    });
    server->registerMethodHandler<mcp::CallTool>([](const mcp::CallTool::Parameters& p) {
        std::string text;
        if (p.arguments) {
            auto it = p.arguments->find("text");
            if (it != p.arguments->end() && it->second.stringValue()) text = *it->second.stringValue();
        }
        return mcp::CallTool::Result{{mcp::Tool::Content::text(text)}, std::nullopt};
    });
    return server;
}

TEST(NetworkTransportEndToEnd, OurClientTalksToOurServer) {
    // Short heartbeats, so that frames travel between the protocol messages.
    const NetworkTransport::HeartbeatConfiguration heartbeat{true, 0.01};
    LoopbackListener listener;
    auto clientTransport = std::make_shared<NetworkTransport>(
        std::make_shared<TcpConnection>("127.0.0.1", listener.port()), std::nullopt, heartbeat,
        NetworkTransport::ReconnectionConfiguration::disabled);
    auto server = makeEchoServer();

    // The server side starts on the accepted socket while the client connects.
    auto serving = std::async(std::launch::async, [&] {
        const int accepted = listener.accept();
        if (accepted < 0) throw std::runtime_error("no connection to accept");
        server->start(std::make_shared<NetworkTransport>(std::make_shared<TcpConnection>(accepted), std::nullopt,
                                                         heartbeat,
                                                         NetworkTransport::ReconnectionConfiguration::disabled));
    });

    Client client("Probe", "0.1.0");
    // Every blocking call below gives up when the test has used up its time.
    const clienttest::Deadline deadline(2 * kTimeout);
    const std::stop_token stop = deadline.token();
    const auto result = client.connect(clientTransport, stop);
    ASSERT_EQ(serving.wait_for(kTimeout), std::future_status::ready);
    serving.get();
    EXPECT_EQ(result.serverInfo, (mcp::ServerInfo{"Kettleward", "1.0.0"}));
    EXPECT_EQ(result.protocolVersion, "2025-03-26");

    client.ping(stop);
    EXPECT_TRUE(server->isInitialized());
    EXPECT_EQ(server->clientInfo(), (mcp::ClientInfo{"Probe", "0.1.0"}));
    ASSERT_EQ(client.listTools(std::nullopt, stop).tools.size(), 1u);

    // Long enough for heartbeats to pass both ways between the calls.
    const auto heartbeatSeen = rt::Clock::now() + kTimeout;
    for (int i = 0; i < 100000 && !clientTransport->lastHeartbeatTime() && rt::Clock::now() < heartbeatSeen; ++i) {
        const std::string text(1000, 'h');
        const auto answer = client.callTool("echo", std::map<std::string, mcp::Value>{{"text", text}}, stop);
        ASSERT_EQ(answer.content, std::vector<mcp::Tool::Content>{mcp::Tool::Content::text(text)});
    }
    EXPECT_TRUE(clientTransport->lastHeartbeatTime().has_value());
    const auto answer =
        client.callTool("echo", std::map<std::string, mcp::Value>{{"text", "x\xF0\x9F\x92\x93y"}}, stop);
    EXPECT_EQ(answer.content, std::vector<mcp::Tool::Content>{mcp::Tool::Content::text("x\xF0\x9F\x92\x93y")});

    client.disconnect();
    server->stop();
    server->waitUntilFinished(stop);
}

}  // namespace
