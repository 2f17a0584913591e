// The bridge between the protocol server and the registry, over a scripted transport.
#include "app/hosting/tool_bridge.hpp"
#include "app/platform/defaults_store.hpp"
#include "app/platform/diagnostic_sink.hpp"
#include "app/tools/registry/tool_error.hpp"
#include "mcp/server.hpp"
#include "support/scripted_transport.hpp"
#include "support/memory_defaults_store.hpp"
#include "support/memory_diagnostic_sink.hpp"
#include "support/wait.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <thread>

using namespace std::chrono_literals;

namespace {
using app::tools::Arguments;
using app::tools::MCPTool;
using app::tools::ToolSwitch;

// A family whose one tool answers with its "mode" argument's behaviour.
class ScriptedFamily : public app::tools::ToolFamily {
public:
    explicit ScriptedFamily(ToolSwitch s = ToolSwitch::Notes, std::string tool = "act") : switch_(s), tool_(std::move(tool)) {}
    ToolSwitch toolSwitch() const override { return switch_; }
    std::vector<MCPTool> definitions() const override {
        return {MCPTool::make(tool_, "Acts/reacts.", "动作",
                              app::tools::AnyMap{{"type", "object"},
                                                 {"properties", app::tools::AnyMap{}},
                                                 {"minimum", 300.0}})};
    }
    // Where a call in mode "wait" waits (or its stop request).
    std::shared_ptr<rt::OneShot<std::monostate>> gate = std::make_shared<rt::OneShot<std::monostate>>();
    std::shared_ptr<std::atomic<int>> holding = std::make_shared<std::atomic<int>>(0);  // calls in mode "hold"

    app::tools::ToolResult run(const std::string&, const Arguments& arguments, std::stop_token stop) override {
        auto mode = app::tools::textArgument(arguments, "mode").value_or("");
        if (mode == "tool-error") throw app::tools::ToolError("Notes", 500, "Store unavailable");
        if (mode == "other-error") throw std::runtime_error("disk on fire");
        if (mode == "foreign-error") throw 42;  // what a library outside the standard's hierarchy may throw
        if (mode == "wait") gate->wait(stop);
        if (mode == "hold") {  // deaf to its stop
            ++*holding;
            gate->wait();
        }
        if (auto count = app::tools::intArgument(arguments, "count")) return "count " + std::to_string(*count);
        return "done";
    }

private:
    ToolSwitch switch_;
    std::string tool_;
};

const std::string kListOfOne =
    R"({"id":1,"jsonrpc":"2.0","result":{"tools":[{"description":"Acts/reacts.","inputSchema":{"minimum":300,"properties":{},"type":"object"},"name":"act"}]}})";

class Bridge : public ::testing::Test {
protected:
    void SetUp() override {
        std::vector<std::unique_ptr<app::tools::ToolFamily>> families;
        auto family = std::make_unique<ScriptedFamily>();
        gate_ = family->gate;
        holding_ = family->holding;
        families.push_back(std::move(family));
        auto maps = std::make_unique<ScriptedFamily>(ToolSwitch::Maps, "find");
        mapsGate_ = maps->gate;
        families.push_back(std::move(maps));
        families.push_back(std::make_unique<ScriptedFamily>(ToolSwitch::MacOS, "type"));
        registry_ = std::make_unique<app::tools::LocalToolService>(defaults_, executor_, std::move(families));
        mcp::ServerCapabilities capabilities;
        capabilities.tools = mcp::ServerCapabilities::Tools{true};
        server_ = mcp::Server::make("Kettleward", "1.0.0", std::nullopt, capabilities);
        calls_ = app::hosting::registerApplicationHandlers(*server_, *registry_, inputEnded_.get_token());
        server_->start(transport_);
        transport_->push(
            R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{"protocolVersion":"2025-03-26","capabilities":{},"clientInfo":{"name":"t","version":"1"}}})");
        transport_->nextSentRaw();
    }
    void TearDown() override {
        server_->stop();
        server_->waitUntilFinished();
    }

    std::string ask(const std::string& request) {
        transport_->push(request);
        return transport_->nextSentRaw();
    }

    rt::MainExecutor executor_;
    std::stop_source inputEnded_;
    std::shared_ptr<rt::OneShot<std::monostate>> gate_, mapsGate_;
    std::shared_ptr<std::atomic<int>> holding_;
    std::shared_ptr<app::platform::MemoryDefaultsStore> defaults_ = std::make_shared<app::platform::MemoryDefaultsStore>();
    std::unique_ptr<app::tools::LocalToolService> registry_;
    std::shared_ptr<testsupport::ScriptedTransport> transport_ = std::make_shared<testsupport::ScriptedTransport>();
    std::shared_ptr<mcp::Server> server_;
    std::shared_ptr<app::hosting::CallsAtExit> calls_;
};

TEST_F(Bridge, ToolCallsAnswerWithOneTextItemOrTheTypedReadingsError) {
    registry_->setNotesEnabled(true);
    const auto text = [](const std::string& content, bool error = false) {
        return R"({"id":9,"jsonrpc":"2.0","result":{"content":[{"text":")" + content + R"(","type":"text"}])" +
               (error ? R"(,"isError":true)" : "") + "}}";
    };
    const std::string invalid =
        R"({"error":{"code":-32602,"data":{"detail":"The data couldn’t be read because it isn’t in the correct format."},"message":"Invalid params: The data couldn’t be read because it isn’t in the correct format."},"id":9,"jsonrpc":"2.0"})";
    const std::pair<std::string, std::string> rows[] = {
        {R"({"name":"act","arguments":{}})", text("done")},
        {R"({"name":"act","arguments":{"count":300.0}})", text("count 300")},
        {R"({"name":"act","arguments":{"mode":"tool-error"}})", text("Error: Store unavailable", true)},
        {R"({"name":"act","arguments":{"mode":"other-error"}})", text("Error: disk on fire", true)},
        {R"({"name":5})", invalid},
        {R"({"name":"act","arguments":[1]})", invalid},
        {R"({"name":"act","arguments":"x"})", invalid},
        {R"({"name":"act","arguments":null,"_meta":{}})", text("done")},
    };
    for (const auto& [params, answer] : rows) {
        EXPECT_EQ(ask(R"({"jsonrpc":"2.0","id":9,"method":"tools/call","params":)" + params + "}"), answer) << params;
    }
}

TEST_F(Bridge, BatchItemsTakeTheOnePathAndAnswerInTheirOrder) {
    registry_->setNotesEnabled(true);
    registry_->setMapsEnabled(true);
    const std::string rows[] = {
        R"({"name":"act","arguments":{"count":7}})",
        R"({"name":"find"})",
        R"({"name":"act","arguments":{"mode":"tool-error"}})",
        R"({"name":"act","arguments":{"mode":"other-error"}})",
        R"({"name":"act","arguments":{"mode":"foreign-error"}})",
        R"({"name":"nope"})",
        R"({"name":"type"})",  // its family is off
        R"({"name":5})",
        R"({"name":"act","arguments":"x"})",
    };
    const auto call = [](int id, const std::string& params) {
        return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) + R"(,"method":"tools/call","params":)" + params + "}";
    };
    std::string batch = "[", answers = "[";
    for (int id = 0; id < static_cast<int>(std::size(rows)); ++id) {
        const std::string single = ask(call(id, rows[id]));
        batch += call(id, rows[id]) + R"(,{"jsonrpc":"2.0","method":"notifications/progress"},)";
        answers += single + ",";
    }
    batch += R"({"jsonrpc":"2.0","id":"last","method":"ping"}])";
    answers += R"({"id":"last","jsonrpc":"2.0","result":{}}])";
    EXPECT_EQ(ask(batch), answers);
    // Call objects are reused: what a batch item left in one never reaches a later single call.
    for (int id = 0; id < static_cast<int>(std::size(rows)); ++id) {
        const std::string single = ask(call(id, rows[id]));
        EXPECT_NE(answers.find(single), std::string::npos) << single;
    }
    executor_.drain();
    EXPECT_EQ(registry_->toolCallCount(), 3 * 7) << "refused calls count, unreadable ones do not";
    EXPECT_NE(answers.find(R"({"error":{"code":-32603,"data":{"detail":"Unknown error"},"message":"Internal error: Unknown error"},"id":4,)"),
              std::string::npos)
        << answers;
}

// A batch's call runs on its lane like a single one: what comes before and
// after the batch is answered meanwhile, and the array leaves whole with the
// last answer.
TEST_F(Bridge, ABatchWaitingOnACallHoldsNoOtherMessage) {
    registry_->setNotesEnabled(true);
    registry_->setMapsEnabled(true);
    const auto done = [](const std::string& id) {
        return R"({"id":)" + id + R"(,"jsonrpc":"2.0","result":{"content":[{"text":"done","type":"text"}]}})";
    };
    transport_->push(R"({"jsonrpc":"2.0","id":1,"method":"ping"})");
    transport_->push(R"([{"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":"act","arguments":{"mode":"wait"}}},)"
                     R"({"jsonrpc":"2.0","id":3,"method":"ping"},)"
                     R"({"jsonrpc":"2.0","id":4,"method":"tools/call","params":{"name":"find"}}])");
    transport_->push(R"({"jsonrpc":"2.0","id":5,"method":"tools/call","params":{"name":"find"}})");
    EXPECT_EQ(transport_->nextSentRaw(), R"({"id":1,"jsonrpc":"2.0","result":{}})");
    EXPECT_EQ(transport_->nextSentRaw(), done("5"));
    EXPECT_EQ(ask(R"({"jsonrpc":"2.0","id":6,"method":"ping"})"), R"({"id":6,"jsonrpc":"2.0","result":{}})");
    gate_->resume({});
    EXPECT_EQ(transport_->nextSentRaw(), "[" + done("2") + R"(,{"id":3,"jsonrpc":"2.0","result":{}},)" + done("4") + "]");
}

TEST(ToolAnswerText, IsWhatTheEncoderWritesForEveryShape) {
    const std::string texts[] = {"done", "", "Error: Tool not found: a/b", "quote \" back \\ slash /",
                                 "\x01\n\t\x7f", "暂停 ✓ 😀 \u2028", "data:text/plain;base64,QQ=="};
    const mcp::ID ids[] = {mcp::ID(std::int64_t{9}), mcp::ID(std::string("a/\"é"))};
    for (int shape = 0; shape < 8; ++shape) {
        const json::WriteOptions options{(shape & 1) != 0, (shape & 2) != 0, (shape & 4) != 0};
        for (const auto& text : texts) {
            for (const bool isError : {false, true}) {
                for (const auto& id : ids) {
                    mcp::CallTool::Result result;
                    result.content.push_back(mcp::Tool::Content::text(text));
                    if (isError) result.isError = true;
                    EXPECT_EQ(app::hosting::writeToolAnswer(id, {text, isError}, options),
                              json::write(mcp::encode(mcp::Response<mcp::CallTool>(id, result)), options))
                        << "options " << shape << ", text " << text << ", error " << isError;
                }
            }
        }
    }
}

TEST_F(Bridge, ACallInFlightHoldsNeitherTheLoopNorRefusedCalls) {
    registry_->setNotesEnabled(true);
    registry_->setMapsEnabled(true);
    transport_->push(R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"act","arguments":{"mode":"wait"}}})");
    // Answered while the first call still runs on the main executor.
    EXPECT_EQ(ask(R"({"jsonrpc":"2.0","id":2,"method":"ping"})"), R"({"id":2,"jsonrpc":"2.0","result":{}})");
    EXPECT_EQ(ask(R"({"jsonrpc":"2.0","id":3,"method":"tools/call","params":{"name":"nope"}})"),
              R"({"id":3,"jsonrpc":"2.0","result":{"content":[{"text":"Error: Tool not found: nope","type":"text"}],"isError":true}})");
    // Another family answers while the first call waits; the same family's
    // next call waits its turn.
    transport_->push(R"({"jsonrpc":"2.0","id":4,"method":"tools/call","params":{"name":"act"}})");
    EXPECT_EQ(ask(R"({"jsonrpc":"2.0","id":5,"method":"tools/call","params":{"name":"find"}})"),
              R"({"id":5,"jsonrpc":"2.0","result":{"content":[{"text":"done","type":"text"}]}})");
    gate_->resume({});
    EXPECT_EQ(transport_->nextSentRaw(), R"({"id":1,"jsonrpc":"2.0","result":{"content":[{"text":"done","type":"text"}]}})");
    EXPECT_EQ(transport_->nextSentRaw(), R"({"id":4,"jsonrpc":"2.0","result":{"content":[{"text":"done","type":"text"}]}})");
    executor_.drain();
    EXPECT_EQ(registry_->toolCallCount(), 4);
    EXPECT_EQ(defaults_->integer("toolCallCount"), 4) << "the count is stored too";
}

TEST_F(Bridge, AnAnswerGoesBackTheWayItsCallCameEvenAfterARestart) {
    registry_->setNotesEnabled(true);
    transport_->push(R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"act","arguments":{"mode":"wait"}}})");
    // An escaped id: read the general way, the other entry into the tool path.
    transport_->push(R"({"jsonrpc":"2.0","id":"w\u0031","method":"tools/call","params":{"name":"act"}})");
    transport_->push(R"({"jsonrpc":"2.0","id":2,"method":"ping"})");
    EXPECT_EQ(transport_->nextSentRaw(), R"({"id":2,"jsonrpc":"2.0","result":{}})");  // the calls are taken
    auto next = std::make_shared<testsupport::ScriptedTransport>();
    server_->start(next);
    EXPECT_EQ(next->exchange(R"({"jsonrpc":"2.0","id":3,"method":"ping"})"), R"({"id":3,"jsonrpc":"2.0","result":{}})");
    gate_->resume({});
    EXPECT_EQ(transport_->nextSentRaw(), R"({"id":1,"jsonrpc":"2.0","result":{"content":[{"text":"done","type":"text"}]}})");
    EXPECT_EQ(transport_->nextSentRaw(), R"({"id":"w1","jsonrpc":"2.0","result":{"content":[{"text":"done","type":"text"}]}})");
    EXPECT_EQ(next->sentCount(), 1) << "the new connection's client never asked for it";
    transport_->endStream();
}

// What a stopped call answers.
std::string cancelled(int id) {
    return R"({"error":{"code":-32603,"data":{"detail":"Cancelled"},"message":"Internal error: Cancelled"},"id":)" + std::to_string(id) +
           R"(,"jsonrpc":"2.0"})";
}

TEST_F(Bridge, ACancelledCallStopsAndTheEndOfInputStopsOnlyTheDesktopsCalls) {
    registry_->setNotesEnabled(true);
    registry_->setMacOSEnabled(true);
    transport_->push(R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"act","arguments":{"mode":"wait"}}})");
    transport_->push(R"({"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":"type","arguments":{"mode":"wait"}}})");
    transport_->push(R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":7}})");
    EXPECT_EQ(ask(R"({"jsonrpc":"2.0","id":9,"method":"ping"})"), R"({"id":9,"jsonrpc":"2.0","result":{}})");
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(registry_->pendingCalls(), 2u) << "a cancellation of another id stopped a call";
    transport_->push(R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":1}})");
    EXPECT_EQ(transport_->nextSentRaw(), cancelled(1));
    transport_->push(R"({"jsonrpc":"2.0","id":3,"method":"tools/call","params":{"name":"act","arguments":{"mode":"wait"}}})");
    inputEnded_.request_stop();
    EXPECT_EQ(transport_->nextSentRaw(), cancelled(2));
    gate_->resume({});
    EXPECT_EQ(transport_->nextSentRaw(), R"({"id":3,"jsonrpc":"2.0","result":{"content":[{"text":"done","type":"text"}]}})");
}

// At exit every call is stopped; those left running or queued are answered
// as stopped, a batch waiting on them leaves whole, and each answers once:
// a call that ends afterwards writes nothing.
TEST_F(Bridge, CallsLeftAtExitAreAnsweredAsStoppedOnce) {
    registry_->setNotesEnabled(true);
    registry_->setMapsEnabled(true);
    const std::string found = R"({"id":3,"jsonrpc":"2.0","result":{"content":[{"text":"done","type":"text"}]}})";
    transport_->push(R"([{"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"act","arguments":{"mode":"hold"}}},)"
                     R"({"jsonrpc":"2.0","id":2,"method":"ping"},)"
                     R"({"jsonrpc":"2.0","id":3,"method":"tools/call","params":{"name":"find"}}])");
    transport_->push(R"({"jsonrpc":"2.0","id":4,"method":"tools/call","params":{"name":"act","arguments":{"count":4}}})");
    EXPECT_EQ(ask(R"({"jsonrpc":"2.0","id":9,"method":"ping"})"), R"({"id":9,"jsonrpc":"2.0","result":{}})");
    ASSERT_TRUE(testsupport::waitUntil([&] { return *holding_ == 1 && registry_->pendingCalls() == 2; }));
    calls_->stopAll();
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(registry_->pendingCalls(), 2u) << "the held call ignores its stop";
    const int sent = transport_->sentCount();
    calls_->answerLeftAsStopped();
    std::vector<std::string> out{transport_->nextSentRaw(), transport_->nextSentRaw()};
    std::sort(out.begin(), out.end());
    EXPECT_EQ(out, (std::vector<std::string>{"[" + cancelled(1) + R"(,{"id":2,"jsonrpc":"2.0","result":{}},)" + found + "]",
                                              cancelled(4)}));
    calls_->answerLeftAsStopped();
    gate_->resume({});
    ASSERT_TRUE(testsupport::waitUntil([&] { return registry_->pendingCalls() == 0; }));
    EXPECT_EQ(transport_->sentCount(), sent + 2) << "a call answered at exit answered again";
    // A call begun after the stop is stopped before it starts.
    EXPECT_EQ(ask(R"({"jsonrpc":"2.0","id":5,"method":"tools/call","params":{"name":"act","arguments":{"count":5}}})"),
              cancelled(5));
}

// A loop's stop reaches the calls it read, running or queued, and no call
// another loop read.
// A call cancelled while it waits behind another of its family never starts.
TEST_F(Bridge, ACallCancelledWhileQueuedNeverStarts) {
    registry_->setNotesEnabled(true);
    const std::string pong = R"({"id":9,"jsonrpc":"2.0","result":{}})";
    transport_->push(R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"act","arguments":{"mode":"wait"}}})");
    transport_->push(R"({"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":"act","arguments":{"count":5}}})");
    transport_->push(R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":2}})");
    EXPECT_EQ(ask(R"({"jsonrpc":"2.0","id":9,"method":"ping"})"), pong);
    gate_->resume({});
    EXPECT_EQ(transport_->nextSentRaw(), R"({"id":1,"jsonrpc":"2.0","result":{"content":[{"text":"done","type":"text"}]}})");
    EXPECT_EQ(transport_->nextSentRaw(),
              R"({"error":{"code":-32603,"data":{"detail":"Cancelled"},"message":"Internal error: Cancelled"},"id":2,"jsonrpc":"2.0"})");
}

// Calls queued behind a lane that has fallen behind keep their arguments,
// wherever they are read.
TEST_F(Bridge, CallsQueuedDeepBehindABusyLaneKeepTheirArguments) {
    registry_->setNotesEnabled(true);
    const int queued = static_cast<int>(app::tools::LocalToolService::kMaxPendingCalls / 2);
    transport_->push(R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"act","arguments":{"mode":"wait"}}})");
    for (int id = 2; id < 2 + queued; ++id) {
        transport_->push(R"({"jsonrpc":"2.0","id":)" + std::to_string(id) +
                         R"(,"method":"tools/call","params":{"name":"act","arguments":{"count":)" + std::to_string(id) +
                         "}}}");
    }
    EXPECT_EQ(ask(R"({"jsonrpc":"2.0","id":"p","method":"ping"})"), R"({"id":"p","jsonrpc":"2.0","result":{}})");
    gate_->resume({});
    EXPECT_EQ(transport_->nextSentRaw(), R"({"id":1,"jsonrpc":"2.0","result":{"content":[{"text":"done","type":"text"}]}})");
    for (int id = 2; id < 2 + queued; ++id) {
        EXPECT_EQ(transport_->nextSentRaw(), R"({"id":)" + std::to_string(id) +
                                                 R"(,"jsonrpc":"2.0","result":{"content":[{"text":"count )" +
                                                 std::to_string(id) + R"(","type":"text"}]}})");
    }
}

TEST_F(Bridge, AStoppedLoopStopsTheCallsItReadAndNoOthers) {
    registry_->setNotesEnabled(true);
    registry_->setMapsEnabled(true);
    transport_->push(R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"act","arguments":{"mode":"wait"}}})");
    EXPECT_EQ(ask(R"({"jsonrpc":"2.0","id":2,"method":"ping"})"), R"({"id":2,"jsonrpc":"2.0","result":{}})");
    auto next = std::make_shared<testsupport::ScriptedTransport>();
    server_->start(next);
    next->push(R"({"jsonrpc":"2.0","id":3,"method":"tools/call","params":{"name":"find","arguments":{"mode":"wait"}}})");
    next->push(R"({"jsonrpc":"2.0","id":4,"method":"tools/call","params":{"name":"find"}})");
    EXPECT_EQ(next->exchange(R"({"jsonrpc":"2.0","id":5,"method":"ping"})"), R"({"id":5,"jsonrpc":"2.0","result":{}})");
    ASSERT_EQ(registry_->pendingCalls(), 3u);
    server_->stop();  // the second loop only: the first was replaced, not stopped
    ASSERT_TRUE(testsupport::waitUntil([&] { return registry_->pendingCalls() == 1; }));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(registry_->pendingCalls(), 1u) << "the first loop's call was stopped too";
    gate_->resume({});
    EXPECT_EQ(transport_->nextSentRaw(), R"({"id":1,"jsonrpc":"2.0","result":{"content":[{"text":"done","type":"text"}]}})");
    transport_->endStream();
}

TEST_F(Bridge, TheListFollowsEverySwitchChange) {
    const std::string empty = R"({"id":1,"jsonrpc":"2.0","result":{"tools":[]}})";
    const std::string list = R"({"jsonrpc":"2.0","id":1,"method":"tools/list"})";
    EXPECT_EQ(ask(list), empty);
    EXPECT_EQ(ask(R"({"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":"act"}})"),
              R"({"id":2,"jsonrpc":"2.0","result":{"content":[{"text":"Error: Notes tool is disabled","type":"text"}],"isError":true}})");
    EXPECT_EQ(ask(list), empty);
    registry_->setNotesEnabled(true);
    executor_.drain();  // the change event has run
    EXPECT_EQ(ask(list), kListOfOne);
    EXPECT_EQ(ask(list), kListOfOne);
    registry_->setNotesEnabled(false);
    executor_.drain();
    EXPECT_EQ(ask(list), empty);
}

TEST_F(Bridge, EverySwitchChangeAnnouncesTheToolList) {
    auto diagnostics = std::make_shared<app::platform::MemoryDiagnosticSink>();
    auto subscription = app::hosting::announceToolListChanges(server_, *registry_, diagnostics);
    registry_->setNotesEnabled(true);
    registry_->setNotesEnabled(true);  // unchanged values announce too
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(transport_->nextSentRaw(), R"({"jsonrpc":"2.0","method":"notifications/tools/list_changed"})");
    EXPECT_EQ(ask(R"({"jsonrpc":"2.0","id":1,"method":"tools/list"})"), kListOfOne);

    // Nobody to tell: output gone (the program says so once), or the server stopped.
    transport_->setResponder([](const json::Value&) -> std::vector<std::string> {
        throw mcp::MCPError::transportError(mcp::PlatformError("NSPOSIXErrorDomain", 32, "Broken pipe"));
    });
    registry_->setNotesEnabled(true);
    server_->stop();
    registry_->setNotesEnabled(false);
    EXPECT_EQ(diagnostics->lines(), std::vector<std::string>{});
}

}  // namespace
