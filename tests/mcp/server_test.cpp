#include "mcp/server.hpp"

#include "support/pipe.hpp"
#include "support/scripted_transport.hpp"
#include "support/test_methods.hpp"
#include "support/wait.hpp"
#include "mcp/stdio_transport.hpp"
#include "mcp/tools.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {
using namespace std::chrono_literals;
using mcp::MCPError;
using mcp::Server;
using logging::testing::RecordSink;

constexpr auto kTimeout = 10s;

using testsupport::Echo;
using testsupport::Note;
using testsupport::ScriptedTransport;

std::shared_ptr<Server> makeServer(mcp::ServerConfiguration configuration = mcp::ServerConfiguration::defaultConfiguration,
                                   std::optional<std::string> instructions = std::nullopt) {
    mcp::ServerCapabilities tools;
    tools.tools = mcp::ServerCapabilities::Tools{true};
    return Server::make("Kettleward", "1.0.0", std::move(instructions), tools, configuration);
}

struct Running {
    std::shared_ptr<RecordSink> sink = std::make_shared<RecordSink>();
    std::shared_ptr<ScriptedTransport> transport = std::make_shared<ScriptedTransport>(sink);
    std::shared_ptr<Server> server;

    explicit Running(std::shared_ptr<Server> s, Server::InitializeHook hook = {}) : server(std::move(s)) {
        server->start(transport, std::move(hook));
    }
    ~Running() { server->stop(); }
};

std::string initializeRequest(const std::string& id, const std::string& params) {
    return R"({"jsonrpc":"2.0","id":)" + id + R"(,"method":"initialize","params":)" + params + "}";
}

std::string clientParams(const std::string& version) {
    return R"({"protocolVersion":")" + version + R"(","capabilities":{"roots":{}},"clientInfo":{"name":"c","version":"1"}})";
}

std::string initializeAnswer(const std::string& id, const std::string& version) {
    return R"({"id":)" + id +
           R"(,"jsonrpc":"2.0","result":{"capabilities":{"tools":{"listChanged":true}},"protocolVersion":")" +
           version + R"(","serverInfo":{"name":"Kettleward","version":"1.0.0"}}})";
}

std::string errorAnswer(const std::string& id, int code, const std::string& message, const std::string& detail) {
    return R"({"error":{"code":)" + std::to_string(code) + R"(,"data":{"detail":")" + detail + R"("},"message":")" +
           message + ": " + detail + R"("},"id":)" + id + R"(,"jsonrpc":"2.0"})";
}

// The answer with its random id replaced by RANDOM, after checking its form.
std::string withRandomId(const std::string& answer) {
    static const std::regex uuid(R"("id":"[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}")");
    std::smatch match;
    EXPECT_TRUE(std::regex_search(answer, match, uuid)) << answer;
    return std::regex_replace(answer, uuid, R"("id":RANDOM)");
}

constexpr const char* kNotCorrectFormat = "The data couldn\u2019t be read because it isn\u2019t in the correct format.";
constexpr const char* kBadId = "ID must be string or number";

TEST(ServerInitialize, ChoosesTheRequestedRevisionWhenSupportedElseTheLatest) {
    struct Case {
        std::string params;
        std::string chosen;
    };
    const Case cases[] = {
        {clientParams("2024-11-05"), "2024-11-05"},
        {clientParams("2025-03-26"), "2025-03-26"},
        {clientParams("2024-11-06"), "2025-03-26"},
        {clientParams(""), "2025-03-26"},
        {"{}", "2025-03-26"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.params);
        Running run(makeServer());
        EXPECT_FALSE(run.server->isInitialized());
        EXPECT_EQ(run.transport->exchange(initializeRequest("1", c.params)), initializeAnswer("1", c.chosen));
        EXPECT_TRUE(run.server->isInitialized());
        EXPECT_EQ(run.server->protocolVersion(), c.chosen);
    }
}

TEST(ServerInitialize, StrictServerAnswersOnlyPingAndTheHandshakeBeforeInitialize) {
    Running run(makeServer(mcp::ServerConfiguration::strictConfiguration));
    run.server->registerMethodHandler<Echo>([](const Echo::Parameters& p) { return p; });
    const std::string echo = R"({"jsonrpc":"2.0","id":2,"method":"test/echo","params":{"text":"a"}})";
    const std::pair<std::string, std::string> cases[] = {
        {R"({"jsonrpc":"2.0","id":1,"method":"ping"})", R"({"id":1,"jsonrpc":"2.0","result":{}})"},
        {echo, errorAnswer("2", -32600, "Invalid Request", "Server is not initialized")},
        {R"({"jsonrpc":"2.0","id":3,"method":"nope"})",
         errorAnswer("3", -32600, "Invalid Request", "Server is not initialized")},
        {initializeRequest("4", clientParams("2025-03-26")), initializeAnswer("4", "2025-03-26")},
        {echo, R"({"id":2,"jsonrpc":"2.0","result":{"text":"a"}})"},
    };
    // A refused notification is never answered either.
    run.transport->push(R"({"jsonrpc":"2.0","method":"test/note","params":{"text":"n"}})");
    for (const auto& [request, answer] : cases) EXPECT_EQ(run.transport->exchange(request), answer) << request;
}

TEST(ServerDispatch, AnswersRequestsAndTheirFailuresUnderTheRequestId) {
    Running run(makeServer());
    run.server->registerMethodHandler<Echo>([](const Echo::Parameters& p) {
        if (p.text == "mcp") throw MCPError::invalidParams(std::string("bad/path"));
        if (p.text == "server") throw MCPError::serverError(42, "busy");
        if (p.text == "other") throw std::runtime_error("disk on fire");
        return Echo::Result{p.text + " http://x/y"};
    });
    struct Case {
        std::string request;
        std::string answer;
    };
    std::string manyZeros = "0";
    for (int i = 0; i < 1'000'000; ++i) manyZeros += ",0";
    const auto echo = [](const std::string& id, const std::string& params) {
        return R"({"jsonrpc":"2.0","id":)" + id + R"(,"method":"test/echo")" + params + "}";
    };
    const Case cases[] = {
        {echo("1", R"(,"params":{"text":"hi"})"), R"({"id":1,"jsonrpc":"2.0","result":{"text":"hi http://x/y"}})"},
        {echo("\"s/1\"", R"(,"params":{"text":"mcp"})"),
         errorAnswer("\"s/1\"", -32602, "Invalid params", "bad/path")},
        {echo("3", R"(,"params":{"text":"server"})"), R"({"error":{"code":42,"message":"Server error: busy"},"id":3,"jsonrpc":"2.0"})"},
        {echo("4", R"(,"params":{"text":"other"})"), errorAnswer("4", -32603, "Internal error", "disk on fire")},
        // Typed parameters that do not decode are the caller's fault, with the decoder's text.
        {echo("5", ""), errorAnswer("5", -32602, "Invalid params", kNotCorrectFormat)},
        {echo("6", R"(,"params":null)"), errorAnswer("6", -32602, "Invalid params", kNotCorrectFormat)},
        {echo("7", R"(,"params":5)"), errorAnswer("7", -32602, "Invalid params", kNotCorrectFormat)},
        {R"({"jsonrpc":"2.0","id":8,"method":"tools/call","params":{"arguments":{}}})",
         errorAnswer("8", -32602, "Invalid params", kNotCorrectFormat)},
        {R"({"jsonrpc":"2.0","id":12,"method":"initialize","params":{"protocolVersion":7}})",
         errorAnswer("12", -32602, "Invalid params", kNotCorrectFormat)},
        // Unknown methods, matched exactly.
        {R"({"jsonrpc":"2.0","id":9,"method":"nope/x"})",
         errorAnswer("9", -32601, "Method not found", "Unknown method: nope/x")},
        {R"({"jsonrpc":"2.0","id":10,"method":"PING"})",
         errorAnswer("10", -32601, "Method not found", "Unknown method: PING")},
        {R"({"jsonrpc":"2.0","id":11,"method":""})", errorAnswer("11", -32601, "Method not found", "Unknown method: ")},
        {R"({"jsonrpc":"2.0","id":null,"method":"ping"})", R"({"id":null,"jsonrpc":"2.0","result":{}})"},
        // An id no reading accepts is answered, never dispatched as a notification.
        {R"({"jsonrpc":"2.0","id":1.5,"method":"ping"})", errorAnswer("null", -32600, "Invalid Request", kBadId)},
        {R"({"jsonrpc":"2.0","id":18446744073709551616,"method":"ping"})",
         errorAnswer("null", -32600, "Invalid Request", kBadId)},
        {R"({"jsonrpc":"2.0","id":true,"method":"ping"})", errorAnswer("null", -32600, "Invalid Request", kBadId)},
        {R"({"jsonrpc":"2.0","id":{},"method":"test/echo"})", errorAnswer("null", -32600, "Invalid Request", kBadId)},
        {R"({"jsonrpc":"2.0","id":[1],"method":"ping"})", errorAnswer("null", -32600, "Invalid Request", kBadId)},
        // More values than a message may hold, in the plain form or not:
        // answered under the id its members hold, wherever it stands, or
        // under null when none can be read without reading the values.
        {echo("13", R"(,"params":{"x":[)" + manyZeros + "]}"), errorAnswer("13", -32600, "Invalid Request", "Message too large")},
        {echo("14", R"(,"params":{"x":[)" + manyZeros + "]},\"jsonrpc\":\"2.0\""),
         errorAnswer("14", -32600, "Invalid Request", "Message too large")},
        {R"({"jsonrpc":"2.0","method":"test/echo","params":{"x":[)" + manyZeros + R"(]},"id":"late/1"})",
         errorAnswer("\"late/1\"", -32600, "Invalid Request", "Message too large")},
        {R"({"jsonrpc":"2.0","method":"test/echo","params":{"x":[)" + manyZeros + R"(]}})",
         errorAnswer("null", -32600, "Invalid Request", "Message too large")},
        {R"({"jsonrpc":"2.0","id":"\u0031","method":"test/echo","params":{"x":[)" + manyZeros + R"(]}})",
         errorAnswer("null", -32600, "Invalid Request", "Message too large")},
        // Not JSON (a lone surrogate, a message cut short): answered under
        // the id its members hold where that reads without their values,
        // else under a random id.
        {R"({"jsonrpc":"2.0","id":"s1","method":"tools/call","params":{"name":"send_email","arguments":{"to":"a\ud800b"}}})",
         errorAnswer("\"s1\"", -32700, "Parse error: Invalid JSON", "Invalid message format")},
        {R"({"jsonrpc":"2.0","id":15,"method":"test/echo","params":{"text":"\udc00"}})",
         errorAnswer("15", -32700, "Parse error: Invalid JSON", "Invalid message format")},
        {R"({"jsonrpc":"2.0","method":"test/echo","params":{"text":"\ud800"},"id":16})",
         errorAnswer("16", -32700, "Parse error: Invalid JSON", "Invalid message format")},
        {R"({"jsonrpc":"2.0","id":17,"method":"ping")", errorAnswer("17", -32700, "Parse error: Invalid JSON", "Invalid message format")},
        {R"({"jsonrpc":"2.0","id":"\u0031","method":"test/echo","params":{"text":"\ud800"}})",
         errorAnswer("RANDOM", -32700, "Parse error: Invalid JSON", "Invalid message format")},
        {"not JSON", errorAnswer("RANDOM", -32700, "Parse error: Invalid JSON", "Invalid message format")},
    };
    run.server->registerMethodHandler<mcp::CallTool>(
        [](const mcp::CallTool::Parameters&) -> mcp::CallTool::Result { return {}; });
    for (const auto& c : cases) {
        const std::string answer = run.transport->exchange(c.request);
        EXPECT_EQ(c.answer.find("RANDOM") != std::string::npos ? withRandomId(answer) : answer, c.answer) << c.request;
    }
}

TEST(ServerDispatch, BatchRules) {
    Running run(makeServer());
    std::vector<std::string> order;
    run.server->registerMethodHandler<Echo>([&](const Echo::Parameters& p) {
        order.push_back(p.text);
        return p;
    });
    // A second handler for a method runs after the first, even when the first fails; no failure is answered.
    run.server->registerNotificationHandler<Note>([&](const mcp::Message<Note>& m) {
        if (m.params.text != "fails") return;
        order.push_back("failing");
        throw MCPError::invalidParams(std::string("no"));
    });
    run.server->registerNotificationHandler<Note>(
        [&](const mcp::Message<Note>& m) { order.push_back("note " + m.params.text); });
    const auto echo = [](const std::string& id, const std::string& text) {
        return R"({"jsonrpc":"2.0","id":)" + id + R"(,"method":"test/echo","params":{"text":")" + text + R"("}})";
    };
    const std::string note = R"({"jsonrpc":"2.0","method":"test/note","params":{"text":"n"}})";

    // Two requests and a notification: two answers, in the requests' order, in one message.
    EXPECT_EQ(run.transport->exchange("[" + echo("2", "b") + "," + note + "," + echo("1", "a") + "]"),
              R"([{"id":2,"jsonrpc":"2.0","result":{"text":"b"}},{"id":1,"jsonrpc":"2.0","result":{"text":"a"}}])");
    EXPECT_EQ(order, (std::vector<std::string>{"b", "note n", "a"}));

    // Item rules: a null id is a request; an empty method is refused in place; unknown methods answered.
    EXPECT_EQ(run.transport->exchange(R"([{"jsonrpc":"2.0","id":null,"method":"ping"},)"
                                      R"({"jsonrpc":"2.0","id":5,"method":""},)"
                                      R"({"jsonrpc":"2.0","id":6,"method":"no/such"}])"),
              R"([{"id":null,"jsonrpc":"2.0","result":{}},)" +
                  errorAnswer("5", -32600, "Invalid Request", "Invalid batch item format") + "," +
                  errorAnswer("6", -32601, "Method not found", "Unknown method: no/such") + "]");

    // The empty batch: one error object, not an array, under a random id.
    EXPECT_EQ(withRandomId(run.transport->exchange("[]")),
              errorAnswer("RANDOM", -32600, "Invalid Request", "Batch array must not be empty"));

    // An undecodable item fails the whole batch: nothing in it runs.
    order.clear();
    for (const std::string& bad : {"[" + echo("1", "x") + R"(,{"jsonrpc":"2.0"}])", "[" + echo("1", "x") + ",1]",
                                  "[" + echo("1", "x") + R"(,{"jsonrpc":"2.0","id":[],"method":"ping"}])"}) {
        EXPECT_EQ(withRandomId(run.transport->exchange(bad)),
                  errorAnswer("RANDOM", -32700, "Parse error: Invalid JSON", "Invalid message format"))
            << bad;
    }
    EXPECT_TRUE(order.empty());

    // Notifications only: no output at all. Messages are handled in order: once the ping is answered, the
    // notifications before it were handled, and anything they sent would be ahead of the pong.
    const std::string failing = R"({"jsonrpc":"2.0","method":"test/note","params":{"text":"fails"}})";
    run.transport->push("[" + note + "," + failing + "]");
    run.transport->push(failing);
    EXPECT_EQ(run.transport->exchange(R"({"jsonrpc":"2.0","id":"sync","method":"ping"})"),
              R"({"id":"sync","jsonrpc":"2.0","result":{}})");
    EXPECT_EQ(order, (std::vector<std::string>{"note n", "failing", "note fails", "failing", "note fails"}));
}

// Sampling is refused, sending nothing: without a connection, and with one
// that cannot carry requests to the client.
std::string samplingRefusal(Server& server) {
    try {
        server.sendSamplingRequest({mcp::Sampling::Message::user("hi")}, std::nullopt, std::nullopt, std::nullopt,
                                   std::nullopt, 10);
    } catch (const MCPError& e) {
        if (e.kind() == MCPError::Kind::InternalError) return e.detail().value_or("");
    }
    return "not refused as an internal error";
}

TEST(ServerLifecycle, StopCancelsTheLoopAndDisconnects) {
    auto server = makeServer();
    auto transport = std::make_shared<ScriptedTransport>();
    server->waitUntilFinished();  // never started: returns at once
    server->stop();               // harmless before start
    EXPECT_EQ(samplingRefusal(*server), "Server connection not initialized");

    rt::OneShot<std::monostate> entered, cancelled;
    std::atomic<int> begun = 0, ended = 0;
    server->registerMethodHandler<Echo>([&](const Echo::Parameters&, std::stop_token stop) -> Echo::Result {
        ++begun;
        entered.resume({});
        try {
            rt::OneShot<std::monostate>().waitFor(kTimeout, stop);
        } catch (const rt::Cancelled&) {
            cancelled.resume({});
            // A handler slow to leave: the wait for the loop waits for it.
            std::this_thread::sleep_for(20ms);
            ++ended;
            throw;
        }
        return {};
    });
    server->start(transport);
    EXPECT_EQ(transport->connects(), 1);
    EXPECT_EQ(samplingRefusal(*server), "Bidirectional sampling requests not yet implemented in transport layer");
    EXPECT_EQ(transport->sentCount(), 0);
    transport->push(R"({"jsonrpc":"2.0","id":1,"method":"test/echo","params":{"text":""}})");
    entered.waitFor(kTimeout);
    server->stop();
    EXPECT_EQ(transport->disconnects(), 1);
    EXPECT_EQ(samplingRefusal(*server), "Server connection not initialized");
    cancelled.waitFor(kTimeout);
    server->waitUntilFinished();  // after stop: at once
    server->stop();
    EXPECT_EQ(transport->disconnects(), 1);

    // Stopped within a batch: the items after the one running are not begun,
    // and the loop's thread is gone once the wait says so.
    auto batch = std::make_shared<ScriptedTransport>();
    server->start(batch);
    const std::string echo = R"({"jsonrpc":"2.0","id":1,"method":"test/echo","params":{"text":""}})";
    batch->push("[" + echo + "," + echo + "," + echo + "]");
    ASSERT_TRUE(testsupport::waitUntil([&] { return begun == 2; }));
    server->stop();
    EXPECT_TRUE(server->waitUntilStopped(rt::Clock::now() + kTimeout));
    EXPECT_EQ(ended, 2) << "the wait returned with the loop still in the batch";
    EXPECT_EQ(begun, 2);
}

TEST(ServerOverPipes, ServesAConversationByteForByte) {
    testsupport::Pipe toServer, fromServer;

    auto server = makeServer();
    server->registerMethodHandler<mcp::ListTools>([](const mcp::ListTools::Parameters&) {
        mcp::ListTools::Result result;
        mcp::Tool tool;
        tool.name = "a/b";
        tool.inputSchema = mcp::Value::object({{"type", "object"}});
        result.tools.push_back(tool);
        return result;
    });
    server->start(std::make_shared<mcp::StdioTransport>(toServer.readEnd, fromServer.writeEnd));

    const std::string input =
        initializeRequest("1", clientParams("2024-11-05")) + "\r\n" +                      // CR kept, still JSON
        "\n" +                                                                            // blank line skipped
        R"({"jsonrpc":"2.0","method":"notifications/initialized"})" + "\n" +              // no answer
        R"({"jsonrpc":"2.0","id":2,"method":"tools/list"})" + "\n" +                     //
        R"({"jsonrpc":"2.0","id":3,"method":"nope"})" + "\n" +                           //
        R"([{"jsonrpc":"2.0","id":4,"method":"ping"},{"jsonrpc":"2.0","id":5,"method":"ping"}])" + "\n" +
        R"({"jsonrpc":"2.0","id":6,"method":"ping"})";  // unterminated: still answered at end of input
    ASSERT_TRUE(testsupport::writeAll(toServer.writeEnd, input));
    toServer.closeWrite();

    const std::string expected =
        initializeAnswer("1", "2024-11-05") + "\n" +
        R"({"id":2,"jsonrpc":"2.0","result":{"tools":[{"description":null,"inputSchema":{"type":"object"},"name":"a/b"}]}})" +
        "\n" + errorAnswer("3", -32601, "Method not found", "Unknown method: nope") + "\n" +
        R"([{"id":4,"jsonrpc":"2.0","result":{}},{"id":5,"jsonrpc":"2.0","result":{}}])" + "\n" +
        R"({"id":6,"jsonrpc":"2.0","result":{}})" + "\n";

    server->waitUntilFinished(testsupport::Deadline(kTimeout).token());
    EXPECT_EQ(testsupport::readAvailable(fromServer.readEnd), expected);
    server->stop();
}

}  // namespace
