// Our client against our server, joined by in-process transports.
#include "mcp/client.hpp"
#include "mcp/in_memory_transport.hpp"
#include "mcp/server.hpp"

#include "mcp/client_test_support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <future>

namespace {

using namespace clienttest;
using mcp::Client;
using mcp::InMemoryTransport;
using mcp::MCPError;
using mcp::Server;

mcp::Tool echoTool() {
    mcp::Tool tool;
    tool.name = "echo";
    tool.description = "Says it back";
    tool.inputSchema = mcp::Value::object({{"type", "object"}});
    return tool;
}

std::shared_ptr<Server> makeServer() {
    Server::Capabilities capabilities;
    capabilities.tools = Server::Capabilities::Tools{false};
    auto server = Server::make("Kettleward", "1.0.0", "Keep answers short", capabilities);
    server->registerMethodHandler<mcp::ListTools>([](const mcp::ListTools::Parameters&) {
        return mcp::ListTools::Result{{echoTool()}, std::nullopt};
    });
    server->registerMethodHandler<mcp::CallTool>([](const mcp::CallTool::Parameters& p) {
        if (p.name != "echo") throw MCPError::invalidParams("Unknown tool: " + p.name);
        const mcp::Value* text = nullptr;
        if (p.arguments) {
            auto it = p.arguments->find("text");
            if (it != p.arguments->end()) text = &it->second;
        }
        return mcp::CallTool::Result{{mcp::Tool::Content::text(text ? text->description() : "")}, std::nullopt};
    });
    return server;
}

// Passes messages between two pairs and turns every answer array around, so
// a batch comes back in the opposite order.
class ReversingRelay {
public:
    ReversingRelay(std::shared_ptr<InMemoryTransport> towardClient, std::shared_ptr<InMemoryTransport> towardServer)
        : towardClient_(std::move(towardClient)), towardServer_(std::move(towardServer)) {
        towardClient_->connect();
        towardServer_->connect();
        upward_ = rt::Task([this](std::stop_token stop) { pump(towardClient_, towardServer_, false, stop); });
        downward_ = rt::Task([this](std::stop_token stop) { pump(towardServer_, towardClient_, true, stop); });
    }
    ~ReversingRelay() {
        upward_.cancel();
        downward_.cancel();
    }
    int reversed() const { return reversed_.load(); }

private:
    void pump(const std::shared_ptr<InMemoryTransport>& from, const std::shared_ptr<InMemoryTransport>& to,
              bool reverse, std::stop_token stop) {
        auto stream = from->receive();
        try {
            while (auto message = stream->next(stop)) {
                json::Value value = json::parse(*message);
                if (reverse && value.isArray()) {
                    std::reverse(value.asArray().begin(), value.asArray().end());
                    reversed_.fetch_add(static_cast<int>(value.asArray().size()));
                }
                to->send(json::write(value));
            }
        } catch (...) {
            // The test is over or a side went away.
        }
    }

    std::shared_ptr<InMemoryTransport> towardClient_;
    std::shared_ptr<InMemoryTransport> towardServer_;
    std::atomic<int> reversed_{0};
    rt::Task upward_;
    rt::Task downward_;
};

class ClientEndToEndTest : public ::testing::Test {
protected:
    void TearDown() override {
        client.disconnect();
        server->stop();
        server->waitUntilFinished(deadline.token());
    }
    std::stop_token stop() const { return deadline.token(); }

    Deadline deadline{kTimeout};
    std::shared_ptr<Server> server = makeServer();
    Client client{"TestClient", "1.2.3"};
};

TEST_F(ClientEndToEndTest, HandshakePingAndTools) {
    auto [clientSide, serverSide] = InMemoryTransport::createConnectedPair();
    server->start(serverSide);
    auto result = client.connect(clientSide, stop());

    EXPECT_EQ(result.protocolVersion, "2025-03-26");
    EXPECT_EQ(result.serverInfo, (mcp::ServerInfo{"Kettleward", "1.0.0"}));
    EXPECT_EQ(client.instructions(), "Keep answers short");
    ASSERT_TRUE(client.serverCapabilities());
    EXPECT_TRUE(client.serverCapabilities()->tools);

    client.ping(stop());  // answered after the server handled "notifications/initialized"
    EXPECT_TRUE(server->isInitialized());
    EXPECT_EQ(server->clientInfo(), (mcp::ClientInfo{"TestClient", "1.2.3"}));

    auto tools = client.listTools(std::nullopt, stop());
    ASSERT_EQ(tools.tools.size(), 1u);
    EXPECT_EQ(tools.tools[0], echoTool());

    auto answer = client.callTool("echo", std::map<std::string, mcp::Value>{{"text", "a/b \"quoted\""}}, stop());
    EXPECT_EQ(answer.content, std::vector<mcp::Tool::Content>{mcp::Tool::Content::text("a/b \"quoted\"")});
    EXPECT_EQ(answer.isError, std::nullopt);

    EXPECT_EQ(failureText([&] { client.callTool("nope", std::nullopt, stop()); }),
              "Invalid params: Unknown tool: nope");
    try {
        client.listPrompts(std::nullopt, stop());
        FAIL() << "the server has no prompts";
    } catch (const MCPError& e) {
        EXPECT_EQ(e.kind(), MCPError::Kind::MethodNotFound);
    }

    // Strict mode uses what the server announced: no request goes out.
    client.setConfiguration(Client::Configuration::strictConfiguration);
    EXPECT_EQ(failureText([&] { client.listPrompts(std::nullopt, stop()); }),
              "Method not found: Prompts is not supported by the server");
    EXPECT_EQ(client.listTools(std::nullopt, stop()).tools.size(), 1u);
}

TEST_F(ClientEndToEndTest, BatchOfThreeAnsweredOutOfOrder) {
    auto [clientSide, relayFront] = InMemoryTransport::createConnectedPair();
    auto [relayBack, serverSide] = InMemoryTransport::createConnectedPair();
    server->start(serverSide);
    ReversingRelay relay(relayFront, relayBack);
    client.connect(clientSide, stop());

    Client::Pending<mcp::ListTools::Result> tools;
    Client::Pending<mcp::CallTool::Result> echo;
    Client::Pending<mcp::Empty> ping;
    client.withBatch(
        [&](Client::Batch& batch) {
            tools = batch.addRequest(mcp::request<mcp::ListTools>(mcp::ID::random(), {}));
            echo = batch.addRequest(mcp::request<mcp::CallTool>(
                mcp::ID::random(), {"echo", std::map<std::string, mcp::Value>{{"text", "batched"}}}));
            ping = batch.addRequest(mcp::request<mcp::Ping>(mcp::ID::random()));
        },
        stop());

    ping->waitFor(kTimeout, stop());
    EXPECT_EQ(echo->waitFor(kTimeout, stop()).content.at(0), mcp::Tool::Content::text("batched"));
    EXPECT_EQ(tools->waitFor(kTimeout, stop()).tools.at(0).name, "echo");
    EXPECT_EQ(relay.reversed(), 3);
    EXPECT_TRUE(client.pendingRequestIds().empty());
}

TEST_F(ClientEndToEndTest, ServerNotificationsReachTheHandlers) {
    auto [clientSide, serverSide] = InMemoryTransport::createConnectedPair();
    auto received = std::make_shared<rt::OneShot<std::string>>();
    client.registerNotificationHandler<mcp::ToolListChangedNotification>(
        [received](const mcp::Message<mcp::ToolListChangedNotification>& m) { received->resume(m.method); });
    server->start(serverSide);
    client.connect(clientSide, stop());
    server->sendNotification(mcp::message<mcp::ToolListChangedNotification>(), stop());
    EXPECT_EQ(received->waitFor(kTimeout, stop()), "notifications/tools/list_changed");
}

// Either side going away while a request waits: the waiting request fails at
// once, and so does the next one.
TEST_F(ClientEndToEndTest, ADisconnectedSideFailsTheWaitingRequest) {
    struct Case {
        bool clientSide;  // disconnected underneath the client, not through it
        const char* nextPing;
    } cases[] = {
        {false, "Connection closed"},
        {true, "Internal error: Transport not connected"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.clientSide ? "client side" : "server side");
        // A fresh pair of peers per case.
        mcp::Client peer("test-client", "1.0");
        auto host = makeServer();
        auto [clientSide, serverSide] = InMemoryTransport::createConnectedPair();
        auto entered = std::make_shared<rt::OneShot<std::monostate>>();
        auto release = std::make_shared<rt::OneShot<std::monostate>>();
        host->registerMethodHandler<mcp::CallTool>(
            [entered, release](const mcp::CallTool::Parameters&, std::stop_token stop) {
                entered->resume({});
                try {
                    release->waitFor(kTimeout, stop);
                } catch (...) {
                }
                return mcp::CallTool::Result{};
            });
        host->start(serverSide);
        peer.connect(clientSide, stop());

        auto call = std::async(std::launch::async,
                               [&] { return failureText([&] { peer.callTool("slow", std::nullopt, stop()); }); });
        entered->waitFor(kTimeout, stop());
        if (c.clientSide) {
            clientSide->disconnect();
        } else {
            serverSide->disconnect();
        }
        ASSERT_EQ(call.wait_for(kTimeout + 1s), std::future_status::ready);
        EXPECT_EQ(call.get(), "Connection closed");
        release->resume({});
        EXPECT_EQ(failureText([&] { peer.ping(stop()); }), c.nextPing);
        host->stop();
    }
}

}  // namespace
