#include "mcp/client.hpp"

#include "mcp/client_test_support.hpp"
#include "support/test_methods.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <future>

namespace {
using namespace clienttest;
using mcp::Client;
using mcp::MCPError;
using testsupport::Note;
using testsupport::Sync;

json::Value initializeResult(json::Value capabilities, std::optional<std::string> instructions = std::nullopt,
                             std::string version = "2025-03-26") {
    json::Object o{{"protocolVersion", std::move(version)},
                   {"capabilities", std::move(capabilities)},
                   {"serverInfo", json::Value(json::Object{{"name", "Scripted"}, {"version", "9.9"}})}};
    if (instructions) o.set("instructions", *instructions);
    return json::Value(std::move(o));
}

json::Value toolsResult() {
    return json::parse(R"({"tools":[{"name":"echo","description":"Echoes","inputSchema":{"type":"object"}}]})");
}

template <class T>
bool ready(std::future<T>& f) {
    return f.wait_for(kTimeout + 1s) == std::future_status::ready;
}

class ClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        client->registerNotificationHandler<Sync>([this](const mcp::Message<Sync>&) {
            std::lock_guard lock(syncMutex);
            ++syncs;
            syncCv.notify_all();
        });
    }

    std::stop_token stop() const { return deadline.token(); }

    // Connects with a server that announces `capabilities`; later requests get
    // no automatic answer.
    mcp::Initialize::Result connect(json::Value capabilities = json::Value(json::Object()),
                                    std::optional<std::string> instructions = std::nullopt) {
        transport->setResponder(answering({{"initialize", initializeResult(std::move(capabilities), instructions)}}));
        auto result = client->connect(transport, stop());
        EXPECT_EQ(transport->nextSent().find("method")->asString(), "initialize");
        EXPECT_EQ(transport->nextSent().find("method")->asString(), "notifications/initialized");
        transport->setResponder(nullptr);
        return result;
    }

    // Waits until the loop has handled everything pushed before.
    void sync() {
        int target;
        {
            std::lock_guard lock(syncMutex);
            target = syncs + 1;
        }
        transport->push(R"({"jsonrpc":"2.0","method":"test/sync"})");
        std::unique_lock lock(syncMutex);
        ASSERT_TRUE(syncCv.wait_for(lock, kTimeout, [&] { return syncs >= target; }));
    }

    std::shared_ptr<RecordSink> log = std::make_shared<RecordSink>();
    std::shared_ptr<ScriptedTransport> transport = std::make_shared<ScriptedTransport>(log);
    Deadline deadline{kTimeout};
    std::mutex syncMutex;
    std::condition_variable syncCv;
    int syncs = 0;
    std::unique_ptr<Client> client = std::make_unique<Client>("TestClient", "1.2.3");
};

TEST_F(ClientTest, HandshakeSendsInitializeThenInitializedAndStoresTheAnswer) {
    Client::Capabilities capabilities;
    capabilities.roots = Client::Capabilities::Roots{true};
    client->setCapabilities(capabilities);
    transport->setResponder(answering(
        {{"initialize", initializeResult(json::parse(R"({"tools":{"listChanged":true},"logging":{}})"),
                                         "Use the tools kindly", "2024-11-05")}}));

    auto result = client->connect(transport, stop());

    json::Value initialize = transport->nextSent();
    EXPECT_EQ(initialize.find("jsonrpc")->asString(), "2.0");
    EXPECT_EQ(initialize.find("method")->asString(), "initialize");
    ASSERT_TRUE(initialize.find("id")->isString());
    EXPECT_TRUE(isUuidText(initialize.find("id")->asString())) << initialize.find("id")->asString();
    const json::Value& params = *initialize.find("params");
    EXPECT_EQ(params.find("protocolVersion")->asString(), "2025-03-26");
    EXPECT_EQ(*params.find("clientInfo"), json::parse(R"({"name":"TestClient","version":"1.2.3"})"));
    EXPECT_EQ(*params.find("capabilities"), json::parse(R"({"roots":{"listChanged":true}})"));
    // The default encoder escapes slashes; a notification without parameters has no "params".
    EXPECT_EQ(transport->nextSentRaw(), R"({"jsonrpc":"2.0","method":"notifications\/initialized"})");
    EXPECT_EQ(transport->sentCount(), 2);

    EXPECT_EQ(result.protocolVersion, "2024-11-05");
    EXPECT_EQ(result.serverInfo.name, "Scripted");
    EXPECT_EQ(client->serverVersion(), "2024-11-05");
    EXPECT_EQ(client->instructions(), "Use the tools kindly");
    ASSERT_TRUE(client->serverCapabilities());
    EXPECT_TRUE(client->serverCapabilities()->tools);
    EXPECT_EQ(client->serverCapabilities()->tools->listChanged, true);
    EXPECT_TRUE(client->serverCapabilities()->logging);
    EXPECT_FALSE(client->serverCapabilities()->prompts);

    // A later initialize replaces every stored value, instructions included.
    transport->setResponder(answering({{"initialize", initializeResult(json::parse(R"({"prompts":{}})"))}}));
    client->initialize(stop());
    EXPECT_EQ(client->serverVersion(), "2025-03-26");
    EXPECT_EQ(client->instructions(), std::nullopt);
    EXPECT_FALSE(client->serverCapabilities()->tools);
    EXPECT_TRUE(client->serverCapabilities()->prompts);
}

TEST_F(ClientTest, AnswersReachTheirOwnCallersById) {
    connect();
    auto ping = std::async(std::launch::async, [&] { client->ping(stop()); });
    auto tools = std::async(std::launch::async, [&] { return client->listTools(std::nullopt, stop()); });
    json::Value first = transport->nextSent();
    json::Value second = transport->nextSent();
    if (first.find("method")->asString() != "tools/list") std::swap(first, second);
    ASSERT_EQ(first.find("method")->asString(), "tools/list");
    ASSERT_EQ(second.find("method")->asString(), "ping");
    EXPECT_NE(*first.find("id"), *second.find("id"));
    EXPECT_EQ(*first.find("params"), json::Value(json::Object())) << "an absent cursor is left out";

    transport->push(reply(*first.find("id"), toolsResult()));
    transport->push(reply(*second.find("id"), json::Value(json::Object())));
    ASSERT_TRUE(ready(tools));
    ASSERT_TRUE(ready(ping));
    auto result = tools.get();
    ping.get();
    ASSERT_EQ(result.tools.size(), 1u);
    EXPECT_EQ(result.tools[0].name, "echo");
    EXPECT_EQ(result.nextCursor, std::nullopt);
    EXPECT_TRUE(client->pendingRequestIds().empty());
}

TEST_F(ClientTest, DisconnectFailsWaiters) {
    connect();
    auto first = std::async(std::launch::async, [&] { return failureText([&] { client->ping(stop()); }); });
    auto second =
        std::async(std::launch::async, [&] { return failureText([&] { client->listTools(std::nullopt, stop()); }); });
    transport->nextSent();
    transport->nextSent();
    EXPECT_EQ(client->pendingRequestIds().size(), 2u);

    client->disconnect();
    ASSERT_TRUE(ready(first));
    ASSERT_TRUE(ready(second));
    EXPECT_EQ(first.get(), "Internal error: Client disconnected");
    EXPECT_EQ(second.get(), "Internal error: Client disconnected");
    EXPECT_TRUE(client->pendingRequestIds().empty());
    EXPECT_EQ(client->connection(), nullptr);
    EXPECT_EQ(transport->disconnects(), 1);

    // Nothing more to fail, cancel or close; sending fails at once.
    client->disconnect();
    EXPECT_EQ(transport->disconnects(), 1);
    EXPECT_EQ(failureText([&] { client->ping(stop()); }), "Internal error: Client connection not initialized");

    // Connecting again works like on a new client, with the handlers kept.
    auto other = std::make_shared<ScriptedTransport>(log);
    std::atomic<int> notes{0};
    client->registerNotificationHandler<Note>([&](const auto&) { ++notes; });
    other->setResponder(answering({{"initialize", initializeResult(json::Value(json::Object()))},
                                   {"ping", json::Value(json::Object())}}));
    client->connect(other, stop());
    other->push(R"({"jsonrpc":"2.0","method":"test/note","params":{"text":"x"}})");
    client->ping(stop());
    transport = other;
    sync();
    EXPECT_EQ(notes.load(), 1);
}

TEST_F(ClientTest, StrictClientAsksOnlyForWhatTheServerAnnounced) {
    const auto subscribe = [](Client& c, std::stop_token stop) { c.subscribeResource("file:///a", stop); };
    const auto prompts = [](Client& c, std::stop_token stop) { c.listPrompts(std::nullopt, stop); };
    const std::tuple<const char*, std::function<void(Client&, std::stop_token)>, std::string> cases[] = {
        {R"({"resources":{}})", subscribe, "Method not found: Resource subscription is not supported by the server"},
        {R"({"resources":{"subscribe":true}})", subscribe, "no error"},
        {R"({"resources":{"subscribe":true}})", prompts, "Method not found: Prompts is not supported by the server"},
    };
    for (const auto& [capabilities, call, failure] : cases) {
        SCOPED_TRACE(capabilities);
        Client strict("TestClient", "1.2.3", Client::Configuration::strictConfiguration);
        auto peer = std::make_shared<ScriptedTransport>(log);
        peer->setResponder(answering({{"initialize", initializeResult(json::parse(capabilities))},
                                      {"resources/subscribe", json::Value(json::Object())}}));
        strict.connect(peer, stop());
        EXPECT_EQ(failureText([&] { call(strict, stop()); }), failure);
        strict.disconnect();
    }
}

TEST_F(ClientTest, BatchGoesOutAsOneArrayAndResolvesEachHandle) {
    connect();
    Client::Pending<mcp::ListTools::Result> tools;
    Client::Pending<mcp::Empty> ping;
    Client::Pending<mcp::CallTool::Result> call;
    client->withBatch(
        [&](Client::Batch& batch) {
            tools = batch.addRequest(mcp::request<mcp::ListTools>(mcp::ID("t"), {}));
            ping = batch.addRequest(mcp::request<mcp::Ping>(mcp::ID(2)));
            call = batch.addRequest(mcp::request<mcp::CallTool>(mcp::ID("c"), {"echo", std::nullopt}));
            EXPECT_EQ(client->pendingRequestIds().size(), 3u) << "records are in before the batch is sent";
            EXPECT_EQ(transport->sentCount(), 2) << "nothing is sent while the body runs";
        },
        stop());
    EXPECT_EQ(transport->sentCount(), 3);
    json::Value sent = transport->nextSent();
    ASSERT_TRUE(sent.isArray());
    ASSERT_EQ(sent.asArray().size(), 3u);
    EXPECT_EQ(sent.asArray()[0], json::parse(R"({"jsonrpc":"2.0","id":"t","method":"tools/list","params":{}})"));
    EXPECT_EQ(sent.asArray()[1], json::parse(R"({"jsonrpc":"2.0","id":2,"method":"ping","params":{}})"));
    EXPECT_EQ(sent.asArray()[2].find("method")->asString(), "tools/call");

    transport->push("[" + reply("c", json::parse(R"({"content":[{"type":"text","text":"hi"}]})")) + "," +
                    errorReply(2, -32601, "No ping here") + "," + reply("t", toolsResult()) + "]");
    EXPECT_EQ(tools->waitFor(kTimeout).tools.at(0).name, "echo");
    EXPECT_EQ(call->waitFor(kTimeout).content.at(0), mcp::Tool::Content::text("hi"));
    EXPECT_EQ(failureText([&] { ping->waitFor(kTimeout); }), "Method not found: No ping here");
}

TEST_F(ClientTest, EndOfTheStreamFailsWaitersAndLaterRequests) {
    connect();
    auto call = std::async(std::launch::async, [&] { return failureText([&] { client->ping(stop()); }); });
    transport->nextSent();
    transport->endStream();
    ASSERT_TRUE(ready(call));
    EXPECT_EQ(call.get(), "Connection closed");
    EXPECT_EQ(failureText([&] { client->ping(stop()); }), "Connection closed");
    EXPECT_LE(transport->receives(), 2) << "the loop must not spin on an ended stream";
    EXPECT_TRUE(client->pendingRequestIds().empty());
}

}  // namespace
