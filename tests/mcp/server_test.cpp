#include "mcp/server.hpp"

#include "logging/log_handlers.hpp"
#include "logging/recording_handler.hpp"
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

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using mcp::MCPError;
using mcp::Server;
using logging::testing::RecordSink;

constexpr auto kTimeout = 10s;

// ---- An in-memory transport ---------------------------------------------------

class TestTransport final : public mcp::Transport {
public:
    explicit TestTransport(std::shared_ptr<RecordSink> sink = nullptr)
        : logger_("test.transport", logging::Logger::OneArgFactory([sink](const std::string&) {
                      if (!sink) return logging::AnyLogHandler(logging::NoOpLogHandler());
                      return logging::AnyLogHandler(
                          logging::testing::RecordingHandler(sink, "h", logging::Logger::Level::trace));
                  })) {}

    const logging::Logger& logger() const override { return logger_; }
    void connect(std::stop_token) override {
        ++connects;
        if (connectFailure) throw *connectFailure;
    }
    void disconnect() override {
        ++disconnects;
        inbound->finish();
    }
    void send(std::string message, std::stop_token) override {
        if (failingSends > 0) {
            --failingSends;
            throw MCPError::transportError(mcp::PlatformError::fromErrno(EPIPE));
        }
        sent->yield(std::move(message));
    }
    mcp::MessageStream receive() override { return inbound; }

    void deliver(std::string text) { inbound->yield(std::move(text)); }
    // The next message the server sent; empty text on time-out.
    std::string nextSent() {
        auto m = sent->nextFor(kTimeout);
        EXPECT_TRUE(m.has_value()) << "nothing sent within the time-out";
        return m.value_or("");
    }
    std::string exchange(std::string text) {
        deliver(std::move(text));
        return nextSent();
    }
    // The server handles messages in order: once the ping is answered, what
    // came before it has been handled, and anything it sent is ahead of the pong.
    void expectNothingMoreSent() {
        deliver(R"({"jsonrpc":"2.0","id":"sync","method":"ping"})");
        EXPECT_EQ(nextSent(), R"({"id":"sync","jsonrpc":"2.0","result":{}})");
    }

    mcp::MessageStream inbound = rt::AsyncStream<std::string>::make();
    mcp::MessageStream sent = rt::AsyncStream<std::string>::make();
    std::atomic<int> connects{0};
    std::atomic<int> disconnects{0};
    std::atomic<int> failingSends{0};
    std::optional<MCPError> connectFailure;

private:
    logging::Logger logger_;
};

// A notification with free-form parameters.
struct TestNotification {
    static constexpr std::string_view name = "notifications/test";
    using Parameters = mcp::Value;
};

// A method with required parameters.
struct Echo {
    static constexpr std::string_view name = "test/echo";
    struct Parameters {
        std::string text;
        friend bool operator==(const Parameters&, const Parameters&) = default;
    };
    using Result = mcp::Value;
};
json::Value toJson(const Echo::Parameters& p) {
    mcp::ObjectEncoder out;
    out.set("text", p.text);
    return std::move(out).finish();
}
Echo::Parameters fromJson(const json::Value& v, json::CodingPath& path, std::type_identity<Echo::Parameters>) {
    mcp::ObjectDecoder in(v, path);
    return Echo::Parameters{in.required<std::string>("text")};
}

mcp::ServerCapabilities toolsCapabilities() {
    mcp::ServerCapabilities c;
    c.tools = mcp::ServerCapabilities::Tools{true};
    return c;
}

std::shared_ptr<Server> makeServer(mcp::ServerConfiguration configuration = mcp::ServerConfiguration::defaultConfiguration,
                                   std::optional<std::string> instructions = std::nullopt) {
    return Server::make("Kettleward", "1.0.0", std::move(instructions), toolsCapabilities(), configuration);
}

struct Running {
    std::shared_ptr<RecordSink> sink = std::make_shared<RecordSink>();
    std::shared_ptr<TestTransport> transport = std::make_shared<TestTransport>(sink);
    std::shared_ptr<Server> server;

    explicit Running(std::shared_ptr<Server> s, Server::InitializeHook hook = {}) : server(std::move(s)) {
        server->start(transport, std::move(hook));
    }
    ~Running() { server->stop(); }

    std::vector<std::string> logMessages(logging::Logger::Level atLeast = logging::Logger::Level::trace) const {
        std::vector<std::string> out;
        for (const auto& r : sink->snapshot()) {
            if (r.level >= atLeast) out.push_back(r.message);
        }
        return out;
    }
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

// ---- Initialize and ping ------------------------------------------------------

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

TEST(ServerInitialize, RecordsTheClientAndRefusesASecondHandshake) {
    Running run(makeServer());
    run.transport->exchange(initializeRequest("1", clientParams("2024-11-05")));
    EXPECT_EQ(run.server->clientInfo(), (mcp::ClientInfo{"c", "1"}));
    ASSERT_TRUE(run.server->clientCapabilities().has_value());
    EXPECT_TRUE(run.server->clientCapabilities()->roots.has_value());

    const std::string second =
        initializeRequest("\"again\"", R"({"protocolVersion":"2025-03-26","clientInfo":{"name":"d","version":"2"}})");
    EXPECT_EQ(run.transport->exchange(second),
              errorAnswer("\"again\"", -32600, "Invalid Request", "Server is already initialized"));
    EXPECT_EQ(run.server->clientInfo(), (mcp::ClientInfo{"c", "1"}));
    EXPECT_EQ(run.server->protocolVersion(), "2024-11-05");
}

TEST(ServerInitialize, ReportsInstructionsAndCurrentCapabilities) {
    Running run(makeServer(mcp::ServerConfiguration::defaultConfiguration, "Use a/b"));
    mcp::ServerCapabilities changed;
    changed.logging = mcp::ServerCapabilities::Logging{};
    run.server->setCapabilities(changed);
    EXPECT_EQ(run.transport->exchange(initializeRequest("1", "{}")),
              R"({"id":1,"jsonrpc":"2.0","result":{"capabilities":{"logging":{}},"instructions":"Use a/b",)"
              R"("protocolVersion":"2025-03-26","serverInfo":{"name":"Kettleward","version":"1.0.0"}}})");
    EXPECT_EQ(run.server->clientInfo(), (mcp::ClientInfo{"unknown", "0.0.0"}));
}

TEST(ServerInitialize, HookRunsFirstAndItsFailureRecordsNothing) {
    int calls = 0;
    std::weak_ptr<Server> weak;
    Running run(makeServer(), [&](const mcp::ClientInfo& info, const mcp::ClientCapabilities&, std::stop_token) {
        ++calls;
        auto server = weak.lock();
        EXPECT_FALSE(server->isInitialized());
        EXPECT_FALSE(server->clientInfo().has_value());
        if (info.name == "bad") throw MCPError::invalidParams(std::string("no bad clients"));
        if (info.name == "odd") throw std::runtime_error("odd client");
    });
    weak = run.server;
    const auto request = [](const std::string& name) {
        return initializeRequest("1", R"({"clientInfo":{"name":")" + name + R"(","version":"1"}})");
    };
    EXPECT_EQ(run.transport->exchange(request("bad")),
              errorAnswer("1", -32602, "Invalid params", "no bad clients"));
    EXPECT_EQ(run.transport->exchange(request("odd")), errorAnswer("1", -32603, "Internal error", "odd client"));
    EXPECT_FALSE(run.server->isInitialized());
    EXPECT_EQ(run.transport->exchange(request("good")), initializeAnswer("1", "2025-03-26"));
    EXPECT_EQ(calls, 3);
    EXPECT_TRUE(run.server->isInitialized());
}

TEST(ServerInitialize, PingIsAnsweredBeforeAndAfterTheHandshake) {
    Running run(makeServer(mcp::ServerConfiguration::strictConfiguration));
    EXPECT_EQ(run.transport->exchange(R"({"jsonrpc":"2.0","id":"p","method":"ping"})"),
              R"({"id":"p","jsonrpc":"2.0","result":{}})");
    run.transport->exchange(initializeRequest("1", "{}"));
    EXPECT_EQ(run.transport->exchange(R"({"jsonrpc":"2.0","id":-4,"method":"ping","params":[1]})"),
              R"({"id":-4,"jsonrpc":"2.0","result":{}})");
}

TEST(ServerInitialize, DefaultHandlersReplaceEarlierOnesAndCanBeReplacedAfterStart) {
    auto server = makeServer();
    server->registerMethodHandler<mcp::Ping>([](const mcp::Empty&) -> mcp::Empty {
        throw std::runtime_error("early ping handler");
    });
    Running run(server);
    EXPECT_EQ(run.transport->exchange(R"({"jsonrpc":"2.0","id":1,"method":"ping"})"),
              R"({"id":1,"jsonrpc":"2.0","result":{}})");
    server->registerMethodHandler<mcp::Ping>([](const mcp::Empty&) -> mcp::Empty {
        throw MCPError::internalError(std::string("late ping handler"));
    });
    EXPECT_EQ(run.transport->exchange(R"({"jsonrpc":"2.0","id":2,"method":"ping"})"),
              errorAnswer("2", -32603, "Internal error", "late ping handler"));
}

// ---- Requests -----------------------------------------------------------------

TEST(ServerDispatch, AnswersRequestsAndTheirFailuresUnderTheRequestId) {
    Running run(makeServer());
    run.server->registerMethodHandler<Echo>([](const Echo::Parameters& p) -> mcp::Value {
        if (p.text == "mcp") throw MCPError::invalidParams(std::string("bad/path"));
        if (p.text == "server") throw MCPError::serverError(42, "busy");
        if (p.text == "other") throw std::runtime_error("disk on fire");
        return mcp::Value::object({{"echo", p.text}, {"url", "http://x/y"}});
    });
    struct Case {
        std::string request;
        std::string answer;
    };
    const auto echo = [](const std::string& id, const std::string& params) {
        return R"({"jsonrpc":"2.0","id":)" + id + R"(,"method":"test/echo")" + params + "}";
    };
    const Case cases[] = {
        {echo("1", R"(,"params":{"text":"hi"})"), R"({"id":1,"jsonrpc":"2.0","result":{"echo":"hi","url":"http://x/y"}})"},
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
    };
    run.server->registerMethodHandler<mcp::CallTool>(
        [](const mcp::CallTool::Parameters&) -> mcp::CallTool::Result { return {}; });
    for (const auto& c : cases) EXPECT_EQ(run.transport->exchange(c.request), c.answer) << c.request;
}

TEST(ServerDispatch, ASecondRegistrationReplacesTheFirst) {
    Running run(makeServer());
    run.server->registerMethodHandler<Echo>([](const Echo::Parameters&) { return mcp::Value("first"); })
        .registerMethodHandler<Echo>([](const Echo::Parameters&) { return mcp::Value("second"); });
    EXPECT_EQ(run.transport->exchange(R"({"jsonrpc":"2.0","id":1,"method":"test/echo","params":{"text":""}})"),
              R"({"id":1,"jsonrpc":"2.0","result":"second"})");
}

TEST(ServerDispatch, AnswersWhatItCannotReadWithAParseError) {
    Running run(makeServer());
    struct Case {
        std::string text;
        std::string id;  // empty: a random one
    };
    const Case cases[] = {
        {R"({"jsonrpc":"2.0","id":7,"result":{}})", "7"},
        {R"({"jsonrpc":"1.0","id":"a","method":"ping"})", "\"a\""},
        {R"({"jsonrpc":"2.0","id":"data:text/plain;base64,QQ==","result":1})", R"("data:text/plain;base64,QQ==")"},
        {R"({"jsonrpc":"2.0","id":null,"result":1})", "null"},
        {"not json", ""},
        {"[1,", ""},
        {"42", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const std::string answer = run.transport->exchange(c.text);
        const std::string expected = errorAnswer(c.id.empty() ? "RANDOM" : c.id, -32700, "Parse error: Invalid JSON",
                                                 "Invalid message format");
        EXPECT_EQ(c.id.empty() ? withRandomId(answer) : answer, expected);
    }
    EXPECT_EQ(run.logMessages(logging::Logger::Level::error),
              std::vector<std::string>(std::size(cases), "Error processing message"));
}

TEST(ServerDispatch, AResultTextThatLooksLikeADataURLLeavesUnchanged) {
    Running run(makeServer());
    run.server->registerMethodHandler<mcp::CallTool>([](const mcp::CallTool::Parameters&) {
        mcp::CallTool::Result result;
        result.content.push_back(mcp::Tool::Content::text("data:,hello"));
        return result;
    });
    EXPECT_EQ(run.transport->exchange(R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"x"}})"),
              R"({"id":1,"jsonrpc":"2.0","result":{"content":[{"text":"data:,hello","type":"text"}]}})");
}

// Answers kept as written text: the id is spliced in, the rest stays as written.
class WrittenListHandler : public mcp::RequestHandlerBox {
public:
    mcp::AnyResponse handle(const mcp::AnyRequest& request, std::stop_token) const override {
        return mcp::AnyResponse(request.id, mcp::Value(mcp::Object{{"tools", mcp::Value(mcp::Array{})}}));
    }
    std::string handleWritten(const mcp::AnyRequest& request, const json::WriteOptions& options,
                              std::stop_token) const override {
        return mcp::writeResponse(request.id, R"({"tools":[]})", options);
    }
};

TEST(ServerDispatch, CustomHandlerBoxesAnswerWithTheirWrittenText) {
    Running run(makeServer());
    run.server->registerMethodHandlerBox("tools/list", std::make_shared<WrittenListHandler>());
    EXPECT_EQ(run.transport->exchange(R"({"jsonrpc":"2.0","id":"a/b","method":"tools/list"})"),
              R"({"id":"a/b","jsonrpc":"2.0","result":{"tools":[]}})");
    EXPECT_EQ(run.transport->exchange(R"([{"jsonrpc":"2.0","id":1,"method":"tools/list"},{"jsonrpc":"2.0","id":2,"method":"ping"}])"),
              R"([{"id":1,"jsonrpc":"2.0","result":{"tools":[]}},{"id":2,"jsonrpc":"2.0","result":{}}])");
}

TEST(ServerDispatch, AFailedSendIsLoggedAndTheLoopGoesOn) {
    Running run(makeServer());
    // The answer fails, then dispatch's error answer; the loop's own answer gets through.
    run.transport->failingSends = 2;
    EXPECT_EQ(run.transport->exchange(R"({"jsonrpc":"2.0","id":1,"method":"ping"})"),
              R"({"error":{"code":-32001,"data":{"error":"Broken pipe"},"message":"Transport error: Broken pipe"},)"
              R"("id":1,"jsonrpc":"2.0"})");
    // Even when that fails too, the next message is served.
    run.transport->failingSends = 3;
    run.transport->deliver(R"({"jsonrpc":"2.0","id":2,"method":"ping"})");
    run.transport->expectNothingMoreSent();
    const auto records = run.sink->snapshot();
    const auto logged = std::find_if(records.begin(), records.end(),
                                     [](const auto& r) { return r.message == "Error processing message"; });
    ASSERT_NE(logged, records.end());
    EXPECT_EQ(logged->metadata->at("error").description().rfind("[-32001] Transport error: ", 0), 0u);
}

// ---- Notifications ------------------------------------------------------------

TEST(ServerDispatch, NotificationHandlersRunInRegistrationOrderAndAreNeverAnswered) {
    Running run(makeServer());
    std::vector<std::string> calls;
    run.server
        ->registerNotificationHandler<TestNotification>([&](const mcp::Message<TestNotification>& m) {
            calls.push_back("first " + m.params.description());
            throw std::runtime_error("first failed");
        })
        .registerNotificationHandler<TestNotification>(
            [&](const mcp::Message<TestNotification>& m) { calls.push_back("second " + m.params.description()); });
    run.transport->deliver(R"({"jsonrpc":"2.0","method":"notifications/test","params":"x"})");
    // Accepted silently: nobody listens.
    run.transport->deliver(R"({"jsonrpc":"2.0","method":"notifications/initialized"})");
    run.transport->deliver(R"({"jsonrpc":"2.0","method":"notifications/unknown","params":{"a":1}})");
    // An unreadable id makes no notification of a request: refused, not run.
    EXPECT_EQ(run.transport->exchange(R"({"jsonrpc":"2.0","id":1.5,"method":"notifications/test","params":"y"})"),
              errorAnswer("null", -32600, "Invalid Request", kBadId));
    run.transport->deliver(R"({"jsonrpc":"2.0","method":"notifications/test","params":"y"})");
    run.transport->expectNothingMoreSent();
    EXPECT_EQ(calls, (std::vector<std::string>{"first x", "second x", "first y", "second y"}));

    std::vector<logging::testing::Record> failures;
    for (const auto& r : run.sink->snapshot()) {
        if (r.message == "Error handling notification") failures.push_back(r);
    }
    ASSERT_EQ(failures.size(), 2u);
    EXPECT_EQ(failures[0].level, logging::Logger::Level::error);
    EXPECT_EQ(failures[0].metadata->at("method").description(), "notifications/test");
    EXPECT_EQ(failures[0].metadata->at("error").description(), "first failed");
}

// ---- Strict mode --------------------------------------------------------------

TEST(ServerDispatch, StrictModeRefusesTrafficUntilInitialized) {
    Running run(makeServer(mcp::ServerConfiguration::strictConfiguration));
    int notified = 0;
    run.server->registerNotificationHandler<TestNotification>([&](const auto&) { ++notified; });
    run.server->registerMethodHandler<mcp::ListTools>(
        [](const mcp::ListTools::Parameters&) { return mcp::ListTools::Result{}; });
    const std::string list = R"({"jsonrpc":"2.0","id":3,"method":"tools/list"})";
    const std::string refused = errorAnswer("3", -32600, "Invalid Request", "Server is not initialized");

    EXPECT_EQ(run.transport->exchange(list), refused);
    run.transport->deliver(R"({"jsonrpc":"2.0","method":"notifications/test"})");
    run.transport->deliver(R"({"jsonrpc":"2.0","method":"notifications/initialized"})");
    run.transport->expectNothingMoreSent();
    EXPECT_EQ(notified, 0);
    // The refused request and the refused notification; not the initialized notification.
    EXPECT_EQ(run.logMessages(logging::Logger::Level::error),
              std::vector<std::string>(2, "Error processing message"));

    // Inside a batch: the request gets its own error, the notification is dropped.
    EXPECT_EQ(run.transport->exchange(R"([{"jsonrpc":"2.0","method":"notifications/test"},)"
                                      R"({"jsonrpc":"2.0","id":3,"method":"tools/list"},)"
                                      R"({"jsonrpc":"2.0","id":4,"method":"ping"}])"),
              "[" + refused + R"(,{"id":4,"jsonrpc":"2.0","result":{}}])");
    EXPECT_EQ(notified, 0);

    run.transport->exchange(initializeRequest("1", "{}"));
    EXPECT_EQ(run.transport->exchange(list), R"({"id":3,"jsonrpc":"2.0","result":{"tools":[]}})");
    run.transport->deliver(R"({"jsonrpc":"2.0","method":"notifications/test"})");
    run.transport->expectNothingMoreSent();
    EXPECT_EQ(notified, 1);
}

TEST(ServerDispatch, DefaultConfigurationAcceptsEverythingBeforeTheHandshake) {
    Running run(makeServer());
    run.server->registerMethodHandler<mcp::ListTools>(
        [](const mcp::ListTools::Parameters&) { return mcp::ListTools::Result{}; });
    EXPECT_EQ(run.transport->exchange(R"({"jsonrpc":"2.0","id":3,"method":"tools/list"})"),
              R"({"id":3,"jsonrpc":"2.0","result":{"tools":[]}})");
}

// ---- Batches ------------------------------------------------------------------

TEST(ServerDispatch, BatchRules) {
    Running run(makeServer());
    std::vector<std::string> order;
    run.server->registerMethodHandler<Echo>([&](const Echo::Parameters& p) {
        order.push_back(p.text);
        return mcp::Value(p.text);
    });
    run.server->registerNotificationHandler<TestNotification>(
        [&](const mcp::Message<TestNotification>& m) { order.push_back("note " + m.params.description()); });
    const auto echo = [](const std::string& id, const std::string& text) {
        return R"({"jsonrpc":"2.0","id":)" + id + R"(,"method":"test/echo","params":{"text":")" + text + R"("}})";
    };
    const std::string note = R"({"jsonrpc":"2.0","method":"notifications/test","params":"n"})";

    // Two requests and a notification: two answers, in the requests' order, in one message.
    EXPECT_EQ(run.transport->exchange("[" + echo("2", "b") + "," + note + "," + echo("1", "a") + "]"),
              R"([{"id":2,"jsonrpc":"2.0","result":"b"},{"id":1,"jsonrpc":"2.0","result":"a"}])");
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

    // Notifications only: no output at all.
    run.transport->deliver("[" + note + "," + note + "]");
    run.transport->expectNothingMoreSent();
    EXPECT_EQ(order, (std::vector<std::string>{"note n", "note n"}));
}

TEST(ServerDispatch, WithoutAConnectionABatchRunsItsHandlersAndThenFails) {
    auto server = makeServer();
    int calls = 0;
    server->registerMethodHandler<Echo>([&](const Echo::Parameters&) {
        ++calls;
        return mcp::Value();
    });
    const auto batch = mcp::decodeText<Server::Batch>(
        R"([{"jsonrpc":"2.0","id":1,"method":"test/echo","params":{"text":"a"}},)"
        R"({"jsonrpc":"2.0","id":2,"method":"test/echo","params":{"text":"b"}}])");
    try {
        server->handleBatch(batch);
        FAIL() << "expected a failure";
    } catch (const MCPError& e) {
        EXPECT_EQ(std::string(e.what()), "Internal error: Server connection not initialized");
    }
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(mcp::encodeText(batch),
              R"([{"jsonrpc":"2.0","id":1,"method":"test/echo","params":{"text":"a"}},)"
              R"({"jsonrpc":"2.0","id":2,"method":"test/echo","params":{"text":"b"}}])");
}

// ---- Outgoing messages, sampling ----------------------------------------------

TEST(ServerSending, NeedsAConnection) {
    auto server = makeServer();
    auto transport = std::make_shared<TestTransport>();
    const auto expectNoConnection = [](const std::function<void()>& call) {
        try {
            call();
            ADD_FAILURE() << "expected a failure";
        } catch (const MCPError& e) {
            EXPECT_EQ(e.kind(), MCPError::Kind::InternalError);
            EXPECT_EQ(e.detail(), "Server connection not initialized");
        }
    };
    const auto notify = [&] { server->sendNotification(mcp::message<mcp::ToolListChangedNotification>()); };
    const auto sample = [&] {
        server->sendSamplingRequest({mcp::Sampling::Message::user("hi")}, std::nullopt, std::nullopt, std::nullopt,
                                    std::nullopt, 10);
    };
    expectNoConnection(notify);
    expectNoConnection(sample);

    server->start(transport);
    notify();
    EXPECT_EQ(transport->nextSent(), R"({"jsonrpc":"2.0","method":"notifications/tools/list_changed"})");
    server->sendResponse(mcp::response<Echo>(mcp::ID("a/b"), mcp::Value("c/d")));
    EXPECT_EQ(transport->nextSent(), R"({"id":"a/b","jsonrpc":"2.0","result":"c/d"})");
    try {
        sample();
        ADD_FAILURE() << "expected a failure";
    } catch (const MCPError& e) {
        EXPECT_EQ(e.detail(), "Bidirectional sampling requests not yet implemented in transport layer");
    }
    EXPECT_EQ(transport->sent->tryNext(), std::nullopt);

    server->stop();
    expectNoConnection(notify);
    expectNoConnection(sample);
}

// ---- Start, stop, waiting -------------------------------------------------------

// Runs body(stop) with a stop requested after `limit`.
template <class F>
void withDeadline(std::chrono::milliseconds limit, F body) {
    std::stop_source deadline;
    std::jthread watchdog([&](std::stop_token own) {
        try {
            rt::sleepFor(limit, own);
            deadline.request_stop();
        } catch (const rt::Cancelled&) {
        }
    });
    body(deadline.get_token());
}

TEST(ServerLifecycle, LoopEndsWithTheStreamAndLogsItsEnd) {
    for (const bool fails : {false, true}) {
        SCOPED_TRACE(fails ? "stream fails" : "stream finishes");
        Running run(makeServer());
        if (fails) {
            run.transport->inbound->finish(std::make_exception_ptr(std::runtime_error("link down")));
        } else {
            run.transport->inbound->finish();
        }
        withDeadline(kTimeout, [&](std::stop_token stop) { run.server->waitUntilFinished(stop); });
        const std::vector<std::string> expected =
            fails ? std::vector<std::string>{"Server started", "Fatal error in message handling loop", "Server finished"}
                  : std::vector<std::string>{"Server started", "Server finished"};
        EXPECT_EQ(run.logMessages(), expected);
        for (const auto& r : run.sink->snapshot()) EXPECT_EQ(r.file, "MCP/Server");
    }
}

TEST(ServerLifecycle, StopCancelsTheLoopAndDisconnects) {
    auto server = makeServer();
    auto transport = std::make_shared<TestTransport>();
    server->waitUntilFinished();  // never started: returns at once
    server->stop();               // harmless before start

    rt::OneShot<std::monostate> entered, cancelled;
    server->registerMethodHandler<Echo>([&](const Echo::Parameters&, std::stop_token stop) -> mcp::Value {
        entered.resume({});
        try {
            rt::OneShot<std::monostate>().waitFor(kTimeout, stop);
        } catch (const rt::Cancelled&) {
            cancelled.resume({});
            throw;
        }
        return {};
    });
    server->start(transport);
    EXPECT_EQ(transport->connects, 1);
    transport->deliver(R"({"jsonrpc":"2.0","id":1,"method":"test/echo","params":{"text":""}})");
    entered.waitFor(kTimeout);
    server->stop();
    EXPECT_EQ(transport->disconnects, 1);
    cancelled.waitFor(kTimeout);
    server->waitUntilFinished();  // after stop: at once
    server->stop();
    EXPECT_EQ(transport->disconnects, 1);
}

TEST(ServerLifecycle, AFailedConnectFailsStartWithoutALoop) {
    auto server = makeServer();
    auto transport = std::make_shared<TestTransport>();
    transport->connectFailure = MCPError::connectionClosed();
    EXPECT_THROW(server->start(transport), MCPError);
    server->waitUntilFinished();
    transport->deliver(R"({"jsonrpc":"2.0","id":1,"method":"ping"})");
    EXPECT_TRUE(transport->inbound->tryNext().has_value()) << "no loop reads the transport";
    server->stop();
    EXPECT_EQ(transport->disconnects, 1);
}

TEST(ServerLifecycle, ALoopKeepsItsServerAlive) {
    auto transport = std::make_shared<TestTransport>();
    std::weak_ptr<Server> weak;
    {
        auto server = makeServer();
        weak = server;
        server->start(transport);
    }
    EXPECT_EQ(transport->exchange(R"({"jsonrpc":"2.0","id":1,"method":"ping"})"),
              R"({"id":1,"jsonrpc":"2.0","result":{}})");
    EXPECT_FALSE(weak.expired());
    transport->inbound->finish();
    // The loop lets go of the server as it ends, on its own thread.
    const auto deadline = std::chrono::steady_clock::now() + kTimeout;
    while (!weak.expired() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
    EXPECT_TRUE(weak.expired());
}

// ---- Over real pipes ----------------------------------------------------------

TEST(ServerOverPipes, ServesAConversationByteForByte) {
    int toServer[2], fromServer[2];
    ASSERT_EQ(::pipe2(toServer, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(fromServer, O_CLOEXEC), 0);

    auto server = makeServer();
    server->registerMethodHandler<mcp::ListTools>([](const mcp::ListTools::Parameters&) {
        mcp::ListTools::Result result;
        mcp::Tool tool;
        tool.name = "a/b";
        tool.inputSchema = mcp::Value::object({{"type", "object"}});
        result.tools.push_back(tool);
        return result;
    });
    server->start(std::make_shared<mcp::StdioTransport>(toServer[0], fromServer[1]));

    // Input left open after two requests in one write: the first answer, held
    // while the second waited, leaves once the input has run dry.
    const std::string opening = initializeRequest("1", clientParams("2024-11-05")) + "\r\n" +  // CR kept, still JSON
                                "\n" +                                                        // blank line skipped
                                R"({"jsonrpc":"2.0","method":"notifications/initialized"})" + "\n";  // no answer
    const std::string openingAnswer = initializeAnswer("1", "2024-11-05") + "\n";
    ASSERT_EQ(::write(toServer[1], opening.data(), opening.size()), static_cast<ssize_t>(opening.size()));
    std::string early(openingAnswer.size(), '\0');
    pollfd ready{fromServer[0], POLLIN, 0};
    ASSERT_EQ(::poll(&ready, 1, static_cast<int>(std::chrono::milliseconds(kTimeout).count())), 1);
    early.resize(static_cast<std::size_t>(std::max<ssize_t>(0, ::read(fromServer[0], early.data(), early.size()))));
    EXPECT_EQ(early, openingAnswer);

    const std::string input =
        std::string(R"({"jsonrpc":"2.0","id":2,"method":"tools/list"})") + "\n" +                     //
        R"({"jsonrpc":"2.0","id":3,"method":"nope"})" + "\n" +                           //
        R"([{"jsonrpc":"2.0","id":4,"method":"ping"},{"jsonrpc":"2.0","id":5,"method":"ping"}])" + "\n" +
        R"({"jsonrpc":"2.0","id":6,"method":"ping"})";  // unterminated: still answered at end of input
    ASSERT_EQ(::write(toServer[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
    ::close(toServer[1]);

    const std::string expected =
        std::string(R"({"id":2,"jsonrpc":"2.0","result":{"tools":[{"description":null,"inputSchema":{"type":"object"},"name":"a/b"}]}})") +
        "\n" + errorAnswer("3", -32601, "Method not found", "Unknown method: nope") + "\n" +
        R"([{"id":4,"jsonrpc":"2.0","result":{}},{"id":5,"jsonrpc":"2.0","result":{}}])" + "\n" +
        R"({"id":6,"jsonrpc":"2.0","result":{}})" + "\n";

    withDeadline(kTimeout, [&](std::stop_token stop) { server->waitUntilFinished(stop); });
    std::string output(expected.size() + 100, '\0');
    pollfd p{fromServer[0], POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 0), 1);
    const ssize_t n = ::read(fromServer[0], output.data(), output.size());
    ASSERT_GE(n, 0);
    output.resize(static_cast<std::size_t>(n));
    EXPECT_EQ(output, expected);
    server->stop();
    for (int fd : {toServer[0], fromServer[0], fromServer[1]}) ::close(fd);
}

}  // namespace
