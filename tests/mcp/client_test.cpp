#include "mcp/client.hpp"

#include "mcp/client_test_support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <future>
#include <set>
#include <system_error>

namespace {

using namespace clienttest;
using mcp::Client;
using mcp::MCPError;

struct SyncNotification {
    static constexpr std::string_view name = "test/sync";
    using Parameters = mcp::Empty;
};

struct NoteNotification {
    static constexpr std::string_view name = "test/note";
    struct Parameters {
        std::string text;
        friend bool operator==(const Parameters&, const Parameters&) = default;
    };
};
json::Value toJson(const NoteNotification::Parameters& p) { return json::Value(json::Object{{"text", p.text}}); }
NoteNotification::Parameters fromJson(const json::Value& v, json::CodingPath& path,
                                      std::type_identity<NoteNotification::Parameters>) {
    mcp::ObjectDecoder in(v, path);
    return {in.required<std::string>("text")};
}

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
        client->registerNotificationHandler<SyncNotification>([this](const mcp::Message<SyncNotification>&) {
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

    // Log records from `mark` on, without those of the sync notifications.
    std::vector<Record> recordsSince(std::size_t mark) {
        auto all = log->snapshot();
        std::vector<Record> out;
        for (std::size_t i = mark; i < all.size(); ++i) {
            if (all[i].metadata && all[i].metadata->contains("method") &&
                metadataText(all[i], "method") == "test/sync") {
                continue;
            }
            out.push_back(all[i]);
        }
        return out;
    }
    std::size_t mark() { return log->snapshot().size(); }

    std::shared_ptr<RecordSink> log = std::make_shared<RecordSink>();
    std::shared_ptr<ScriptedTransport> transport = std::make_shared<ScriptedTransport>(log);
    Deadline deadline{kTimeout};
    std::mutex syncMutex;
    std::condition_variable syncCv;
    int syncs = 0;
    std::unique_ptr<Client> client = std::make_unique<Client>("TestClient", "1.2.3");
};

// ---- Without a transport --------------------------------------------------

TEST_F(ClientTest, EveryOperationNeedsATransport) {
    const std::string noConnection = "Internal error: Client connection not initialized";
    bool bodyRan = false;
    const std::vector<std::pair<std::string, std::function<void()>>> operations = {
        {"send", [&] { client->send(mcp::request<mcp::Ping>(mcp::ID(1))); }},
        {"notify", [&] { client->notify(mcp::message<mcp::InitializedNotification>()); }},
        {"withBatch", [&] { client->withBatch([&](Client::Batch&) { bodyRan = true; }); }},
        {"initialize", [&] { client->initialize(); }},
        {"ping", [&] { client->ping(); }},
        {"getPrompt", [&] { client->getPrompt("p"); }},
        {"listPrompts", [&] { client->listPrompts(); }},
        {"readResource", [&] { client->readResource("file:///a"); }},
        {"listResources", [&] { client->listResources(); }},
        {"subscribeResource", [&] { client->subscribeResource("file:///a"); }},
        {"listResourceTemplates", [&] { client->listResourceTemplates(); }},
        {"listTools", [&] { client->listTools(); }},
        {"callTool", [&] { client->callTool("echo"); }},
    };
    for (const auto& [name, operation] : operations) {
        EXPECT_EQ(failureText(operation), noConnection) << name;
    }
    EXPECT_FALSE(bodyRan);

    // In strict mode the capability check comes first; ping has none.
    client->setConfiguration(Client::Configuration::strictConfiguration);
    const std::string notInitialized = "Method not found: Server capabilities not initialized";
    for (const auto& [name, operation] : operations) {
        const bool bound = name != "send" && name != "notify" && name != "withBatch" && name != "initialize" &&
                           name != "ping";
        EXPECT_EQ(failureText(operation), bound ? notInitialized : noConnection) << name;
    }
    EXPECT_EQ(transport->sentCount(), 0);
}

TEST_F(ClientTest, DisconnectWithoutTransportWritesNothing) {
    client->disconnect();
    client->disconnect();
    EXPECT_TRUE(log->snapshot().empty());
    EXPECT_EQ(client->connection(), nullptr);
    EXPECT_EQ(client->logger(), std::nullopt);
}

// ---- Connection and handshake -----------------------------------------------

TEST_F(ClientTest, FailedTransportConnectStartsNothing) {
    transport->setConnectError(std::make_exception_ptr(MCPError::transportError(mcp::PlatformError::fromErrno(ECONNREFUSED))));
    try {
        client->connect(transport, stop());
        FAIL() << "connect succeeded";
    } catch (const MCPError& e) {
        EXPECT_EQ(e.kind(), MCPError::Kind::TransportError);
        EXPECT_EQ(e.underlying()->code(), ECONNREFUSED);
    }
    EXPECT_EQ(client->connection(), transport);
    EXPECT_EQ(transport->sentCount(), 0);
    EXPECT_EQ(transport->receives(), 0);
    EXPECT_TRUE(log->snapshot().empty());
}

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

    auto records = log->snapshot();
    auto connected = std::find_if(records.begin(), records.end(),
                                  [](const Record& r) { return r.message == "Client connected"; });
    ASSERT_NE(connected, records.end());
    EXPECT_EQ(connected->level, Logger::Level::debug);
    EXPECT_EQ(connected->source, "MCP");
    EXPECT_EQ(metadataText(*connected, "name"), "TestClient");
    EXPECT_EQ(metadataText(*connected, "version"), "1.2.3");

    // A later initialize replaces every stored value, instructions included.
    transport->setResponder(answering({{"initialize", initializeResult(json::parse(R"({"prompts":{}})"))}}));
    client->initialize(stop());
    EXPECT_EQ(client->serverVersion(), "2025-03-26");
    EXPECT_EQ(client->instructions(), std::nullopt);
    EXPECT_FALSE(client->serverCapabilities()->tools);
    EXPECT_TRUE(client->serverCapabilities()->prompts);
}

TEST_F(ClientTest, FailedHandshakeStoresNothingAndKeepsTheLoop) {
    transport->setResponder([](const json::Value& sent) {
        return std::vector<std::string>{errorReply(*sent.find("id"), -32602, "Unsupported protocol version")};
    });
    EXPECT_EQ(failureText([&] { client->connect(transport, stop()); }),
              "Invalid params: Unsupported protocol version");
    EXPECT_EQ(client->serverVersion(), std::nullopt);
    EXPECT_EQ(client->serverCapabilities(), std::nullopt);
    EXPECT_EQ(transport->sentCount(), 1) << "no initialized notification after a failed handshake";
    EXPECT_EQ(client->connection(), transport);

    transport->setResponder(answering({{"ping", json::Value(json::Object())}}));
    client->ping(stop());
}

TEST_F(ClientTest, FailedInitializedNotificationFailsTheHandshakeAfterStoring) {
    std::atomic<int> sends{0};
    transport->setResponder([&](const json::Value& sent) {
        ++sends;
        // From now on the transport refuses: the notification is the next send.
        transport->setSendError(std::make_exception_ptr(MCPError::internalError(std::string("pipe gone"))));
        return std::vector<std::string>{reply(*sent.find("id"), initializeResult(json::Value(json::Object())))};
    });
    EXPECT_EQ(failureText([&] { client->connect(transport, stop()); }), "Internal error: pipe gone");
    EXPECT_EQ(client->serverVersion(), "2025-03-26");
}

// ---- Answers ---------------------------------------------------------------------

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

TEST_F(ClientTest, ErrorAnswersAndResultsOfTheWrongShape) {
    connect();
    struct Case {
        std::string name;
        std::function<void()> call;
        std::function<std::string(const json::Value& id)> answer;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"error object", [&] { client->listTools(std::nullopt, stop()); },
         [](const json::Value& id) { return errorReply(id, -32601, "Unknown method"); },
         "Method not found: Unknown method"},
        {"server-defined code", [&] { client->callTool("echo", std::nullopt, stop()); },
         [](const json::Value& id) { return errorReply(id, -32099, "Busy"); }, "Server error: Busy"},
        {"string for an object", [&] { client->listTools(std::nullopt, stop()); },
         [](const json::Value& id) { return reply(id, "tools"); },
         "The operation couldn\u2019t be completed. (MCP.TypeMismatchError error 1.)"},
        {"missing member", [&] { client->listTools(std::nullopt, stop()); },
         [](const json::Value& id) { return reply(id, json::Value(json::Object())); },
         "The operation couldn\u2019t be completed. (MCP.TypeMismatchError error 1.)"},
        {"unknown content", [&] { client->callTool("echo", std::nullopt, stop()); },
         [](const json::Value& id) { return reply(id, json::parse(R"({"content":[{"type":"resource_link"}]})")); },
         "The operation couldn\u2019t be completed. (MCP.TypeMismatchError error 1.)"},
        {"empty result for an empty type", [&] { client->ping(stop()); },
         [](const json::Value& id) { return reply(id, json::Value(json::Object())); }, "no error"},
    };
    for (const auto& c : cases) {
        auto call = std::async(std::launch::async, [&] { return failureText(c.call); });
        json::Value sent = transport->nextSent();
        transport->push(c.answer(*sent.find("id")));
        ASSERT_TRUE(ready(call)) << c.name;
        EXPECT_EQ(call.get(), c.expected) << c.name;
        EXPECT_TRUE(client->pendingRequestIds().empty()) << c.name;
    }

    // The thrown types themselves.
    auto typed = std::async(std::launch::async, [&] { client->listTools(std::nullopt, stop()); });
    transport->push(reply(*transport->nextSent().find("id"), 42));
    ASSERT_TRUE(ready(typed));
    EXPECT_THROW(typed.get(), mcp::TypeMismatchError);
}

TEST_F(ClientTest, DuplicateAndUnknownResponsesOnlyWarn) {
    connect();
    auto ping = std::async(std::launch::async, [&] { client->ping(stop()); });
    json::Value id = *transport->nextSent().find("id");
    const std::size_t start = mark();
    transport->push(reply(id, json::Value(json::Object())));
    transport->push(reply(id, json::Value(json::Object())));
    transport->push(reply(json::Value(77), json::Value(json::Object())));
    ASSERT_TRUE(ready(ping));
    ping.get();
    sync();

    auto records = recordsSince(start);
    ASSERT_EQ(records.size(), 5u);
    const std::string idText = id.asString();
    const std::vector<std::tuple<std::string, Logger::Level, std::string>> expected = {
        {"Processing response", Logger::Level::trace, idText},
        {"Processing response", Logger::Level::trace, idText},
        {"Attempted to handle response for already removed request", Logger::Level::warning, idText},
        {"Processing response", Logger::Level::trace, "77"},
        {"Attempted to handle response for already removed request", Logger::Level::warning, "77"},
    };
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(records[i].message, std::get<0>(expected[i])) << i;
        EXPECT_EQ(records[i].level, std::get<1>(expected[i])) << i;
        EXPECT_EQ(metadataText(records[i], "id"), std::get<2>(expected[i])) << i;
    }
}

TEST_F(ClientTest, ResponsesInABatchAreMatchedOneByOne) {
    connect();
    auto first = std::async(std::launch::async, [&] { return client->listTools(std::nullopt, stop()); });
    json::Value firstId = *transport->nextSent().find("id");
    auto second = std::async(std::launch::async, [&] { return failureText([&] { client->ping(stop()); }); });
    json::Value secondId = *transport->nextSent().find("id");

    const std::size_t start = mark();
    transport->push("[" + errorReply(secondId, -32603, "Exploded") + "," +
                    reply(json::Value("never-sent"), json::Value(json::Object())) + "," +
                    reply(firstId, toolsResult()) + "]");
    ASSERT_TRUE(ready(first));
    ASSERT_TRUE(ready(second));
    EXPECT_EQ(first.get().tools.size(), 1u);
    EXPECT_EQ(second.get(), "Internal error");
    sync();
    transport->push("[]");
    sync();

    auto records = recordsSince(start);
    std::vector<std::string> lines;
    for (const auto& r : records) lines.push_back(r.message + "|" + metadataText(r, r.message.starts_with("Processing batch") ? "count" : "id"));
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "Processing batch response|3",
                         "Received response in batch for unknown or already handled request ID|never-sent",
                         "Processing batch response|0",
                     }));
}

// ---- Notifications -----------------------------------------------------------------

TEST_F(ClientTest, NotificationHandlersRunInOrderAndSurviveAFailingOne) {
    connect();
    std::vector<std::string> calls;
    client->registerNotificationHandler<NoteNotification>([&](const mcp::Message<NoteNotification>& m) {
        calls.push_back("first:" + m.params.text);
        throw MCPError::internalError(std::string("handler broke"));
    });
    client->registerNotificationHandler<NoteNotification>(
        [&](const mcp::Message<NoteNotification>& m, std::stop_token) { calls.push_back("second:" + m.params.text); });

    const std::size_t start = mark();
    transport->push(R"({"jsonrpc":"2.0","method":"test/note","params":{"text":"hello"}})");
    // A request from the server is read as a notification of its method; nothing is answered.
    transport->push(R"({"jsonrpc":"2.0","id":5,"method":"test/note","params":{"text":"asked"}})");
    transport->push(R"({"jsonrpc":"2.0","method":"test/unheard"})");
    // Parameters the handler cannot read: the typed box fails like a handler.
    transport->push(R"({"jsonrpc":"2.0","method":"test/note","params":{"nope":1}})");
    sync();

    EXPECT_EQ(calls, (std::vector<std::string>{"first:hello", "second:hello", "first:asked", "second:asked"}));
    auto records = recordsSince(start);
    std::vector<std::string> lines;
    for (const auto& r : records) lines.push_back(r.message + "|" + metadataText(r, "method"));
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "Processing notification|test/note",
                         "Error handling notification|test/note",
                         "Processing notification|test/note",
                         "Error handling notification|test/note",
                         "Processing notification|test/unheard",
                         "Processing notification|test/note",
                         "Error handling notification|test/note",
                         "Error handling notification|test/note",
                     }));
    EXPECT_EQ(metadataText(records[1], "error"), "[-32603] Internal error: handler broke");
    EXPECT_EQ(records[1].level, Logger::Level::error);
    EXPECT_EQ(transport->sentCount(), 2) << "the client answers nothing";
}

TEST_F(ClientTest, UnreadableMessagesAreReportedAndSkipped) {
    connect();
    const std::size_t start = mark();
    const std::string wrongVersion = R"({"jsonrpc":"1.0","id":1,"result":{}})";
    transport->push(wrongVersion);
    transport->push("not json at all");
    transport->push(std::string("\xFF\xFE{", 3));
    transport->push(R"([{"jsonrpc":"2.0","method":"a/b"}])");
    sync();
    auto records = recordsSince(start);
    ASSERT_EQ(records.size(), 4u);
    const std::string text = "Unexpected message received by client (not single/batch response or notification)";
    for (const auto& r : records) {
        EXPECT_EQ(r.message, text);
        EXPECT_EQ(r.level, Logger::Level::warning);
    }
    EXPECT_EQ(metadataText(records[0], "message"), wrongVersion);
    EXPECT_EQ(metadataText(records[1], "message"), "not json at all");
    EXPECT_FALSE(records[2].metadata) << "bytes that are not UTF-8 are not quoted";
    EXPECT_EQ(metadataText(records[3], "message"), R"([{"jsonrpc":"2.0","method":"a/b"}])");
}

// ---- Sending and disconnecting ----------------------------------------------------------

TEST_F(ClientTest, DisconnectFailsWaitersAndLogsEachStep) {
    connect();
    auto first = std::async(std::launch::async, [&] { return failureText([&] { client->ping(stop()); }); });
    auto second =
        std::async(std::launch::async, [&] { return failureText([&] { client->listTools(std::nullopt, stop()); }); });
    transport->nextSent();
    transport->nextSent();
    EXPECT_EQ(client->pendingRequestIds().size(), 2u);

    const std::size_t start = mark();
    client->disconnect();
    ASSERT_TRUE(ready(first));
    ASSERT_TRUE(ready(second));
    EXPECT_EQ(first.get(), "Internal error: Client disconnected");
    EXPECT_EQ(second.get(), "Internal error: Client disconnected");
    EXPECT_TRUE(client->pendingRequestIds().empty());
    EXPECT_EQ(client->connection(), nullptr);
    EXPECT_EQ(transport->disconnects(), 1);

    std::vector<std::string> lines;
    for (const auto& r : recordsSince(start)) {
        EXPECT_EQ(r.level, Logger::Level::debug) << r.message;
        lines.push_back(r.message);
    }
    EXPECT_EQ(lines, (std::vector<std::string>{"Initiating client disconnect...", "Pending requests cancelled.",
                                               "Message loop task cancellation requested.", "Transport disconnected.",
                                               "Client message loop task finished.", "Client disconnect complete."}));

    // Nothing more to fail, cancel or close; sending fails at once.
    client->disconnect();
    EXPECT_EQ(transport->disconnects(), 1);
    EXPECT_EQ(failureText([&] { client->ping(stop()); }), "Internal error: Client connection not initialized");

    // Connecting again works like on a new client, with the handlers kept.
    auto other = std::make_shared<ScriptedTransport>(log);
    std::atomic<int> notes{0};
    client->registerNotificationHandler<NoteNotification>([&](const auto&) { ++notes; });
    other->setResponder(answering({{"initialize", initializeResult(json::Value(json::Object()))},
                                   {"ping", json::Value(json::Object())}}));
    client->connect(other, stop());
    other->push(R"({"jsonrpc":"2.0","method":"test/note","params":{"text":"x"}})");
    client->ping(stop());
    transport = other;
    sync();
    EXPECT_EQ(notes.load(), 1);
}

TEST_F(ClientTest, DisconnectFromAHandlerDoesNotWaitForItself) {
    connect();
    auto done = std::make_shared<rt::OneShot<std::monostate>>();
    client->registerNotificationHandler<NoteNotification>([this, done](const auto&) {
        client->disconnect();
        done->resume({});
    });
    transport->push(R"({"jsonrpc":"2.0","method":"test/note","params":{"text":"bye"}})");
    done->waitFor(kTimeout);
    EXPECT_EQ(client->connection(), nullptr);
    EXPECT_EQ(transport->disconnects(), 1);
    client.reset();  // joins the loop that disconnected itself
}

TEST_F(ClientTest, FailedSendGoesToTheCallerAndLeavesNoRecord) {
    connect();
    transport->setSendError(std::make_exception_ptr(MCPError::internalError(std::string("Transport not connected"))));
    EXPECT_EQ(failureText([&] { client->ping(stop()); }), "Internal error: Transport not connected");
    EXPECT_TRUE(client->pendingRequestIds().empty());
    transport->setSendError(std::make_exception_ptr(std::runtime_error("plain failure")));
    EXPECT_EQ(failureText([&] { client->notify(mcp::message<mcp::InitializedNotification>(), stop()); }),
              "plain failure");
}

TEST_F(ClientTest, OutstandingIdIsRefusedBeforeSending) {
    connect();
    auto first = std::async(std::launch::async, [&] { client->send(mcp::request<mcp::Ping>(mcp::ID("dup")), stop()); });
    transport->nextSent();
    EXPECT_EQ(failureText([&] { client->send(mcp::request<mcp::Ping>(mcp::ID("dup")), stop()); }),
              "Internal error: Request ID already pending: dup");
    EXPECT_EQ(transport->sentCount(), 3);
    transport->push(reply("dup", json::Value(json::Object())));
    ASSERT_TRUE(ready(first));
    first.get();
    // Once answered, the id may be used again.
    transport->setResponder(answering({{"ping", json::Value(json::Object())}}));
    client->send(mcp::request<mcp::Ping>(mcp::ID("dup")), stop());
}

TEST_F(ClientTest, CancelledWaitForgetsTheRequest) {
    connect();
    std::stop_source source;
    auto call = std::async(std::launch::async, [&] { client->ping(source.get_token()); });
    transport->nextSent();
    source.request_stop();
    ASSERT_TRUE(ready(call));
    EXPECT_THROW(call.get(), rt::Cancelled);
    EXPECT_TRUE(client->pendingRequestIds().empty());
}

TEST_F(ClientTest, EveryRequestGetsAFreshUuid) {
    transport->setResponder(answering({{"initialize", initializeResult(json::parse(
                                                          R"({"tools":{},"prompts":{},"resources":{"subscribe":true}})"))},
                                       {"ping", json::Value(json::Object())},
                                       {"tools/list", json::parse(R"({"tools":[]})")},
                                       {"tools/call", json::parse(R"({"content":[]})")},
                                       {"prompts/list", json::parse(R"({"prompts":[]})")},
                                       {"prompts/get", json::parse(R"({"messages":[]})")},
                                       {"resources/list", json::parse(R"({"resources":[]})")},
                                       {"resources/read", json::parse(R"({"contents":[]})")},
                                       {"resources/subscribe", json::Value(json::Object())},
                                       {"resources/templates/list", json::parse(R"({"resourceTemplates":[]})")}}));
    client->connect(transport, stop());
    client->ping(stop());
    client->ping(stop());
    client->listTools(std::nullopt, stop());
    client->callTool("echo", std::nullopt, stop());
    client->callTool("echo", std::map<std::string, mcp::Value>{{"text", "hi"}}, stop());
    client->listPrompts("next", stop());
    client->getPrompt("p", std::nullopt, stop());
    client->listResources(std::nullopt, stop());
    client->readResource("file:///a", stop());
    client->subscribeResource("file:///a", stop());
    client->listResourceTemplates(std::nullopt, stop());

    std::set<std::string> ids;
    std::vector<json::Value> sent;
    for (int i = 0; i < transport->sentCount(); ++i) sent.push_back(transport->nextSent());
    for (const auto& m : sent) {
        if (!m.find("id")) continue;
        ASSERT_TRUE(m.find("id")->isString());
        EXPECT_TRUE(isUuidText(m.find("id")->asString())) << m.find("id")->asString();
        ids.insert(m.find("id")->asString());
    }
    EXPECT_EQ(ids.size(), 12u);
    // Parameters as the catalogue writes them: an absent arguments map is left out.
    auto params = [&](std::size_t i) { return *sent[i].find("params"); };
    EXPECT_EQ(params(5), json::parse(R"({"name":"echo"})"));
    EXPECT_EQ(params(6), json::parse(R"({"name":"echo","arguments":{"text":"hi"}})"));
    EXPECT_EQ(params(7), json::parse(R"({"cursor":"next"})"));
    EXPECT_EQ(params(10), json::parse(R"({"uri":"file:///a"})"));
}

TEST_F(ClientTest, StrictModeRefusesWhatTheServerDidNotAnnounce) {
    client->setConfiguration(Client::Configuration::strictConfiguration);
    connect();
    struct Case {
        std::string capabilities;
        std::string operation;
        std::string expected;  // "sent" when the request goes out
    };
    const std::vector<Case> cases = {
        {R"({"tools":{}})", "listTools", "sent"},
        {R"({"tools":{}})", "callTool", "sent"},
        {R"({"tools":{}})", "listPrompts", "Method not found: Prompts is not supported by the server"},
        {R"({"tools":{}})", "getPrompt", "Method not found: Prompts is not supported by the server"},
        {R"({"tools":{}})", "readResource", "Method not found: Resources is not supported by the server"},
        {R"({"tools":{}})", "listResourceTemplates", "Method not found: Resources is not supported by the server"},
        {R"({"tools":{}})", "ping", "sent"},
        {R"({"resources":{}})", "listResources", "sent"},
        {R"({"resources":{}})", "subscribeResource",
         "Method not found: Resource subscription is not supported by the server"},
        {R"({"resources":{"subscribe":false}})", "subscribeResource", "sent"},
        {R"({"resources":{"subscribe":false}})", "listTools", "Method not found: Tools is not supported by the server"},
        {R"({"prompts":{"listChanged":false}})", "listPrompts", "sent"},
    };
    const std::map<std::string, std::function<void()>> operations = {
        {"listTools", [&] { client->listTools(std::nullopt, stop()); }},
        {"callTool", [&] { client->callTool("echo", std::nullopt, stop()); }},
        {"listPrompts", [&] { client->listPrompts(std::nullopt, stop()); }},
        {"getPrompt", [&] { client->getPrompt("p", std::nullopt, stop()); }},
        {"readResource", [&] { client->readResource("file:///a", stop()); }},
        {"listResources", [&] { client->listResources(std::nullopt, stop()); }},
        {"listResourceTemplates", [&] { client->listResourceTemplates(std::nullopt, stop()); }},
        {"subscribeResource", [&] { client->subscribeResource("file:///a", stop()); }},
        {"ping", [&] { client->ping(stop()); }},
    };
    for (const auto& c : cases) {
        transport->setResponder(answering({{"initialize", initializeResult(json::parse(c.capabilities))}}));
        client->initialize(stop());
        transport->nextSent();
        transport->nextSent();
        const int before = transport->sentCount();
        // A request that goes out is failed by the answer-less transport's error reply.
        transport->setResponder([](const json::Value& sent) {
            return std::vector<std::string>{errorReply(*sent.find("id"), -32000, "closed")};
        });
        const std::string outcome = failureText(operations.at(c.operation));
        const bool sent = transport->sentCount() > before;
        if (c.expected == "sent") {
            EXPECT_TRUE(sent) << c.capabilities << " " << c.operation;
            EXPECT_EQ(outcome, "Connection closed") << c.operation;
            transport->nextSent();
        } else {
            EXPECT_FALSE(sent) << c.capabilities << " " << c.operation;
            EXPECT_EQ(outcome, c.expected) << c.capabilities << " " << c.operation;
        }
    }
}

// ---- Batches ------------------------------------------------------------------------------

TEST_F(ClientTest, BatchGoesOutAsOneArrayAndResolvesEachHandle) {
    connect();
    const std::size_t start = mark();
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

    auto lines = recordsSince(start);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].message, "Sending batch request");
    EXPECT_EQ(metadataText(lines[0], "count"), "3");

    transport->push("[" + reply("c", json::parse(R"({"content":[{"type":"text","text":"hi"}]})")) + "," +
                    errorReply(2, -32601, "No ping here") + "," + reply("t", toolsResult()) + "]");
    EXPECT_EQ(tools->waitFor(kTimeout).tools.at(0).name, "echo");
    EXPECT_EQ(call->waitFor(kTimeout).content.at(0), mcp::Tool::Content::text("hi"));
    EXPECT_EQ(failureText([&] { ping->waitFor(kTimeout); }), "Method not found: No ping here");
}

TEST_F(ClientTest, EmptyBatchOnlyLogs) {
    connect();
    const std::size_t start = mark();
    client->withBatch([](Client::Batch&) {}, stop());
    EXPECT_EQ(transport->sentCount(), 2);
    auto lines = recordsSince(start);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].message, "Batch requested but no requests were added.");
    EXPECT_EQ(lines[0].level, Logger::Level::debug);
}

TEST_F(ClientTest, FailingBodyOrSendFailsTheBatchRequests) {
    connect();
    Client::Pending<mcp::Empty> ping;
    EXPECT_EQ(failureText([&] {
                  client->withBatch(
                      [&](Client::Batch& batch) {
                          ping = batch.addRequest(mcp::request<mcp::Ping>(mcp::ID(1)));
                          throw std::runtime_error("body gave up");
                      },
                      stop());
              }),
              "body gave up");
    EXPECT_EQ(transport->sentCount(), 2);
    EXPECT_EQ(failureText([&] { ping->waitFor(kTimeout); }), "body gave up");
    EXPECT_TRUE(client->pendingRequestIds().empty());

    transport->setSendError(std::make_exception_ptr(MCPError::connectionClosed()));
    EXPECT_EQ(failureText([&] {
                  client->withBatch([&](Client::Batch& batch) { ping = batch.addRequest(mcp::request<mcp::Ping>(mcp::ID(1))); },
                                    stop());
              }),
              "Connection closed");
    EXPECT_EQ(failureText([&] { ping->waitFor(kTimeout); }), "Connection closed");
    EXPECT_TRUE(client->pendingRequestIds().empty());
}

TEST_F(ClientTest, BatchRequestsAddedAfterADisconnectFailAtOnce) {
    connect();
    Client::Pending<mcp::Empty> before;
    Client::Pending<mcp::Empty> after;
    client->withBatch(
        [&](Client::Batch& batch) {
            before = batch.addRequest(mcp::request<mcp::Ping>(mcp::ID(1)));
            EXPECT_EQ(failureText([&] { batch.addRequest(mcp::request<mcp::Ping>(mcp::ID(1))); }),
                      "Internal error: Request ID already pending: 1");
            client->disconnect();
            after = batch.addRequest(mcp::request<mcp::Ping>(mcp::ID(2)));
        },
        stop());
    EXPECT_EQ(failureText([&] { before->waitFor(kTimeout); }), "Internal error: Client disconnected");
    EXPECT_EQ(failureText([&] { after->waitFor(kTimeout); }), "Internal error: Client disconnected");
    EXPECT_TRUE(client->pendingRequestIds().empty());
}

TEST_F(ClientTest, BatchHandlesOutlivingTheClientAreFailed) {
    connect();
    Client::Pending<mcp::Empty> ping;
    client->withBatch([&](Client::Batch& batch) { ping = batch.addRequest(mcp::request<mcp::Ping>(mcp::ID(1))); },
                      stop());
    client.reset();
    EXPECT_EQ(failureText([&] { ping->waitFor(kTimeout); }), "Internal error: Client disconnected");
}

// ---- The message loop and the end of the stream ---------------------------------------------

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

TEST_F(ClientTest, ReadErrorEndsTheLoopAndFailsWaitersWithIt) {
    connect();
    auto call = std::async(std::launch::async, [&] { return failureText([&] { client->ping(stop()); }); });
    transport->nextSent();
    const std::size_t start = mark();
    transport->endStream(std::make_exception_ptr(std::runtime_error("wire cut")));
    ASSERT_TRUE(ready(call));
    EXPECT_EQ(call.get(), "Transport error: wire cut");
    auto lines = recordsSince(start);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].message, "Error in message handling loop");
    EXPECT_EQ(lines[0].level, Logger::Level::error);
    EXPECT_EQ(metadataText(lines[0], "error"), "wire cut");
    EXPECT_EQ(lines[1].message, "Client message handling loop task is terminating.");
}

TEST_F(ClientTest, TryAgainPausesAndReadsAFreshStream) {
    connect();
    for (auto error : {std::make_exception_ptr(std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again))),
                       std::make_exception_ptr(MCPError::transportError(mcp::PlatformError::fromErrno(EAGAIN)))}) {
        auto call = std::async(std::launch::async, [&] { client->ping(stop()); });
        json::Value id = *transport->nextSent().find("id");
        const std::size_t start = mark();
        const auto before = std::chrono::steady_clock::now();
        transport->endStream(error, /*replace=*/true);
        transport->push(reply(id, json::Value(json::Object())));
        ASSERT_TRUE(ready(call));
        call.get();
        EXPECT_GE(std::chrono::steady_clock::now() - before, 10ms);
        sync();
        EXPECT_TRUE(recordsSince(start).size() <= 2u) << "only the trace of the answer";
        for (const auto& r : recordsSince(start)) EXPECT_EQ(r.level, Logger::Level::trace) << r.message;
    }
}

TEST_F(ClientTest, FreshStreamsThatEndAtOnceArePolledSlowly) {
    connect();
    transport->setFreshEndedStreams(true);
    transport->endStream();
    const int first = transport->receives();
    rt::sleepFor(200ms);  // the measured interval itself, not a wait for an event
    const int polls = transport->receives() - first;
    EXPECT_LE(polls, 21) << "at least 10 ms between fresh streams";
    client->disconnect();
}

TEST_F(ClientTest, FreshStreamThatEndsAtOnceFailsWaitersButKeepsReading) {
    connect();
    auto call = std::async(std::launch::async, [&] { return failureText([&] { client->ping(stop()); }); });
    transport->nextSent();
    // The transport went down underneath the client: every new stream it hands
    // out has ended, so the answer can no longer come.
    transport->setFreshEndedStreams(true);
    transport->endStream(nullptr, /*replace=*/true);
    ASSERT_TRUE(ready(call));
    EXPECT_EQ(call.get(), "Connection closed");
    EXPECT_TRUE(client->pendingRequestIds().empty());

    // Once it hands out a live stream again, the loop reads it.
    transport->setFreshEndedStreams(false);
    transport->setResponder(answering({{"ping", json::Value(json::Object())}}));
    EXPECT_EQ(failureText([&] { client->ping(stop()); }), "no error");
}

TEST_F(ClientTest, SecondConnectKeepsTheFirstLoopReadingItsTransport) {
    connect();
    std::atomic<int> notes{0};
    std::mutex m;
    std::condition_variable cv;
    client->registerNotificationHandler<NoteNotification>([&](const auto&) {
        std::lock_guard lock(m);
        ++notes;
        cv.notify_all();
    });
    auto first = transport;
    auto second = std::make_shared<ScriptedTransport>(log);
    second->setResponder(answering({{"initialize", initializeResult(json::Value(json::Object()))}}));
    client->connect(second, stop());
    EXPECT_EQ(client->connection(), second);
    first->push(R"({"jsonrpc":"2.0","method":"test/note","params":{"text":"old"}})");
    second->push(R"({"jsonrpc":"2.0","method":"test/note","params":{"text":"new"}})");
    std::unique_lock lock(m);
    EXPECT_TRUE(cv.wait_for(lock, kTimeout, [&] { return notes.load() == 2; }));
}

}  // namespace
