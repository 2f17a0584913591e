#include "mcp/http_client_transport.hpp"

#include "support/recording_handler.hpp"
#include "mcp/error.hpp"
#include "support/scripted_http_server.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {
using namespace std::chrono_literals;
using logging::testing::RecordSink;
using mcp::HTTPClientTransport;
using mcp::MCPError;
using testsupport::Exchange;
using testsupport::HeaderList;
using testsupport::ScriptedHttpServer;

constexpr auto kBound = 10s;
const HeaderList kJson = {{"Content-Type", "application/json"}};
const HeaderList kEventStream = {{"Content-Type", "text/event-stream"}};

HTTPClientTransport::Configuration quickConfiguration(std::chrono::milliseconds pause = 50ms) {
    HTTPClientTransport::Configuration c;
    c.reconnectionPause = pause;
    return c;
}

std::optional<MCPError> sendFailure(HTTPClientTransport& transport, std::string message = R"({"jsonrpc":"2.0"})") {
    try {
        transport.send(std::move(message));
    } catch (const MCPError& e) {
        return e;
    }
    return std::nullopt;
}

std::vector<std::string> drain(HTTPClientTransport& transport) {
    std::vector<std::string> out;
    auto stream = transport.receive();
    while (auto m = stream->tryNext()) out.push_back(*m);
    return out;
}

std::string nextMessage(HTTPClientTransport& transport) {
    try {
        auto m = transport.receive()->nextFor(kBound);
        return m ? *m : "<end>";
    } catch (const rt::TimedOut&) {
        return "<nothing within the bound>";
    }
}

std::vector<testsupport::RecordedRequest> requestsWithMethod(const ScriptedHttpServer& server,
                                                             const std::string& method) {
    std::vector<testsupport::RecordedRequest> out;
    for (const auto& r : server.requests()) if (r.method == method) out.push_back(r);
    return out;
}

TEST(HTTPClientTransportTest, EveryFailingStatusHasItsOwnText) {
    struct Row {
        int status;
        std::string contentType;
        std::string detail;
    };
    const std::vector<Row> rows = {
        {400, "", "Bad request"},
        {404, "", "Endpoint not found"},
        {405, "", "Method not allowed"},
        {500, "", "Server error: 500"},
        {599, "", "Server error: 599"},
        {418, "text/plain", "Unexpected HTTP response: 418 (text/plain)"},
        {301, "", "Unexpected HTTP response: 301 ()"},
        {600, "", "Unexpected HTTP response: 600 ()"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.status);
        ScriptedHttpServer server([&](Exchange& e) {
            HeaderList headers;
            if (!row.contentType.empty()) headers.emplace_back("Content-Type", row.contentType);
            e.respond(row.status, headers, R"({"jsonrpc":"2.0","id":1,"result":{}})");
        });
        HTTPClientTransport transport(server.url("/mcp"), {}, false);
        transport.connect();
        const auto failure = sendFailure(transport);
        ASSERT_TRUE(failure.has_value());
        EXPECT_EQ(failure->kind(), MCPError::Kind::InternalError);
        EXPECT_EQ(failure->detail().value_or("<none>"), row.detail);
        EXPECT_TRUE(drain(transport).empty()) << "a failed reply's body must not be read";
        EXPECT_FALSE(transport.sessionID().has_value());
    }
}

TEST(HTTPClientTransportTest, JsonReplyBodyIsLimitedAtItsEdge) {
    const std::vector<std::pair<std::vector<std::string>, std::optional<std::string>>> rows = {
        {{"1234", "5678"}, std::nullopt},
        {{"1234", "56789"}, "JSON response body exceeds the limit of 8 bytes"},
        {{"123456789"}, "JSON response body exceeds the limit of 8 bytes"},
    };
    for (const auto& [chunks, detail] : rows) {
        SCOPED_TRACE(chunks.back());
        ScriptedHttpServer server([&](Exchange& e) {
            e.startChunked(200, kJson);
            for (const auto& chunk : chunks) e.sendChunk(chunk);
            e.endChunked();
        });
        HTTPClientTransport::Configuration limited;
        limited.messageSizeLimit = 8;
        HTTPClientTransport transport(server.url("/mcp"), limited, false);
        transport.connect();
        const auto failure = sendFailure(transport);
        EXPECT_EQ(failure ? failure->detail() : std::nullopt, detail);
        EXPECT_EQ(drain(transport), detail ? std::vector<std::string>{} : std::vector<std::string>{"12345678"});
    }
}

TEST(HTTPClientTransportTest, SessionIdIsTakenFromEveryReplySentBackAndDroppedWhenExpired) {
    // Scripted by request index: what the server answers, and the session id
    // each request must carry.
    struct Step {
        int status;
        std::optional<std::string> newId;
        std::optional<std::string> expectedHeader;
        std::optional<std::string> detail;  // of the failure
        std::optional<std::string> idAfter;
    };
    const std::vector<Step> steps = {
        {200, "s1", std::nullopt, std::nullopt, "s1"},
        {400, "s2", "s1", "Bad request", "s2"},  // an error reply's id is taken too
        {200, std::nullopt, "s2", std::nullopt, "s2"},
        {404, std::nullopt, "s2", "Session expired", std::nullopt},
        {404, std::nullopt, std::nullopt, "Endpoint not found", std::nullopt},
        {200, "s3", std::nullopt, std::nullopt, "s3"},
        {200, "s4", "s3", std::nullopt, "s4"},
    };
    ScriptedHttpServer server([&](Exchange& e) {
        const auto& step = steps.at(e.index());
        HeaderList headers = kJson;
        if (step.newId) headers.emplace_back("Mcp-Session-Id", *step.newId);
        e.respond(step.status, headers, "{}");
    });
    HTTPClientTransport transport(server.url("/mcp"), {}, false);
    transport.connect();
    for (std::size_t i = 0; i < steps.size(); ++i) {
        SCOPED_TRACE(i);
        const auto failure = sendFailure(transport);
        EXPECT_EQ(failure ? failure->detail() : std::nullopt, steps[i].detail);
        EXPECT_EQ(transport.sessionID(), steps[i].idAfter);
        EXPECT_EQ(server.waitForRequests(i + 1, kBound)[i].header("Mcp-Session-Id"), steps[i].expectedHeader);
    }
}

TEST(HTTPClientTransportTest, EventStreamReplyYieldsEveryEventWithDataAndEndsWithTheStream) {
    rt::OneShot<std::monostate> release;
    ScriptedHttpServer server([&](Exchange& e) {
        e.startChunked(200, {{"Content-Type", "Text/Event-Stream; charset=utf-8"}});
        e.sendChunk("data: one\n\nevent: ping\ndata: two\n\n");
        e.sendChunk("event: empty\n\n: a comment\n\nid: 9\ndata: th");
        e.sendChunk("ree\n\n");
        try {
            release.waitFor(kBound, e.stopToken());
        } catch (const std::exception&) {
        }
        e.sendChunk("data: four\n\n");
        e.endChunked();
    });
    HTTPClientTransport transport(server.url("/mcp"), {}, false);
    transport.connect();

    auto sending = std::async(std::launch::async, [&] { return sendFailure(transport); });
    EXPECT_EQ(nextMessage(transport), "one");
    EXPECT_EQ(nextMessage(transport), "two");
    EXPECT_EQ(nextMessage(transport), "three");
    // No request in the message: nothing to wait for, the stream is read on.
    ASSERT_EQ(sending.wait_for(kBound), std::future_status::ready);
    EXPECT_FALSE(sending.get());
    release.resume({});
    EXPECT_EQ(nextMessage(transport), "four");
}

TEST(HTTPClientTransportTest, SendReturnsAtItsAnswerWhileTheStreamStaysOpen) {
    struct Case {
        const char* name;
        std::string message;
        std::string beforeHold;           // sent, then the stream is held open
        std::vector<std::string> yielded;  // by the time send returned
    };
    const std::string answer1 = R"({"jsonrpc":"2.0","id":1,"result":{}})";
    const std::string answerA = R"({"jsonrpc":"2.0","id":"a","result":{}})";
    const std::string progress = R"({"jsonrpc":"2.0","method":"notifications/progress"})";
    const Case cases[] = {
        {"answer at once", R"({"jsonrpc":"2.0","id":1,"method":"ping"})", "data: " + answer1 + "\n\n", {answer1}},
        {"a notification first", R"({"jsonrpc":"2.0","id":1,"method":"ping"})",
         "data: " + progress + "\n\ndata: " + answer1 + "\n\n", {progress, answer1}},
        {"a batch waits for every answer", R"([{"jsonrpc":"2.0","id":1,"method":"ping"},{"jsonrpc":"2.0","id":"a","method":"ping"}])",
         "data: " + answerA + "\n\ndata: [" + answer1 + "]\n\n", {answerA, "[" + answer1 + "]"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        rt::OneShot<std::monostate> release;
        ScriptedHttpServer server([&](Exchange& e) {
            e.startChunked(200, kEventStream);
            e.sendChunk(c.beforeHold);
            try {
                release.waitFor(kBound, e.stopToken());
            } catch (const std::exception&) {
            }
            e.endChunked();
        });
        HTTPClientTransport transport(server.url("/mcp"), {}, false);
        transport.connect();
        auto sending = std::async(std::launch::async, [&] { return sendFailure(transport, c.message); });
        const bool returned = sending.wait_for(kBound) == std::future_status::ready;
        release.resume({});
        ASSERT_TRUE(returned) << "send waited for the end of the stream";
        EXPECT_FALSE(sending.get());
        EXPECT_EQ(drain(transport), c.yielded);
        transport.disconnect();
    }
}

TEST(HTTPClientTransportStreamingTest, FirstGetWaitsForTheSessionIdOfAPostReply) {
    ScriptedHttpServer server([](Exchange& e) {
        if (e.request().method == "POST") {
            e.respond(200, {{"Content-Type", "application/json"}, {"Mcp-Session-Id", "s-1"}}, "reply");
            return;
        }
        e.startChunked(200, kEventStream);
        e.sendChunk("data: pushed\n\nevent: custom\ndata: typed\n\nevent: blank\n\n");
        e.waitForClientClose(kBound);
    });
    auto log = std::make_shared<RecordSink>();
    // A long wait for the id: only the signal can end it in time.
    HTTPClientTransport transport(server.url("/mcp"), quickConfiguration(), true, 60, {},
                                  logging::testing::recordingLogger(log));
    transport.connect();
    ASSERT_TRUE(log->waitFor("SSE streaming task waiting for initial sessionID signal..."));
    EXPECT_TRUE(requestsWithMethod(server, "GET").empty());
    ASSERT_FALSE(sendFailure(transport));

    std::vector<std::string> messages;
    for (int i = 0; i < 3; ++i) messages.push_back(nextMessage(transport));
    std::sort(messages.begin(), messages.end());  // the POST reply and the GET stream may interleave
    EXPECT_EQ(messages, (std::vector<std::string>{"pushed", "reply", "typed"}));

    const auto gets = requestsWithMethod(server, "GET");
    ASSERT_EQ(gets.size(), 1u);
    EXPECT_EQ(gets[0].target, "/mcp");
    EXPECT_EQ(gets[0].header("Accept"), "text/event-stream");
    EXPECT_EQ(gets[0].header("Cache-Control"), "no-cache");
    EXPECT_EQ(gets[0].header("Mcp-Session-Id"), "s-1");
    EXPECT_TRUE(gets[0].body.empty());

    transport.disconnect();
    for (const auto& r : log->snapshot()) EXPECT_FALSE(r.message.starts_with("SSE connection error: ")) << r.message;
}

TEST(HTTPClientTransportStreamingTest, AGetAnswered405EndsTheStreamingTask) {
    ScriptedHttpServer server([](Exchange& e) { e.respond(405); });
    // No wait for a session id and no pause: a task that went on would ask again at once.
    HTTPClientTransport transport(server.url("/mcp"), quickConfiguration(0ms), true, 0);
    transport.connect();
    server.waitForRequests(1, kBound);
    EXPECT_THROW(server.waitForRequests(2, 500ms), std::runtime_error);
    transport.disconnect();
}

}  // namespace
