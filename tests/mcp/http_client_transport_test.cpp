#include "mcp/http_client_transport.hpp"

#include "logging/recording_handler.hpp"
#include "mcp/error.hpp"
#include "support/scripted_http_server.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using logging::Logger;
using logging::testing::Record;
using logging::testing::RecordingHandler;
using logging::testing::RecordSink;
using mcp::HTTPClientTransport;
using mcp::MCPError;
using testsupport::Exchange;
using testsupport::HeaderList;
using testsupport::ScriptedHttpServer;

constexpr auto kBound = 10s;
const HeaderList kJson = {{"Content-Type", "application/json"}};
const HeaderList kEventStream = {{"Content-Type", "text/event-stream"}};

struct Log {
    std::shared_ptr<RecordSink> sink = std::make_shared<RecordSink>();

    Logger logger() const {
        return Logger("test", Logger::OneArgFactory([sink = sink](const std::string& label) {
                          return logging::AnyLogHandler(RecordingHandler(sink, label, Logger::Level::trace));
                      }));
    }

    std::vector<Record> with(const std::string& message) const {
        std::vector<Record> out;
        for (const auto& r : sink->snapshot()) {
            if (r.message == message) out.push_back(r);
        }
        return out;
    }
    bool containsPrefix(const std::string& prefix) const {
        for (const auto& r : sink->snapshot()) {
            if (r.message.starts_with(prefix)) return true;
        }
        return false;
    }
    std::optional<Record> waitForPrefix(const std::string& prefix) const {
        const auto deadline = rt::Clock::now() + kBound;
        while (rt::Clock::now() < deadline) {
            for (const auto& r : sink->snapshot()) {
                if (r.message.starts_with(prefix)) return r;
            }
            rt::sleepFor(5ms);
        }
        return std::nullopt;
    }
};

std::string metadata(const Record& record, const std::string& key) {
    if (!record.metadata) return "<no metadata>";
    auto it = record.metadata->find(key);
    return it == record.metadata->end() ? "<missing>" : it->second.description();
}

HTTPClientTransport::Configuration quickConfiguration(std::chrono::milliseconds pause = 50ms) {
    HTTPClientTransport::Configuration c;
    c.reconnectionPause = pause;
    return c;
}

// The error a send ends with; nullopt when it succeeded.
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

// Arrival times of requests, for the pauses between GETs.
struct Arrivals {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<rt::Clock::time_point> times;

    void mark() {
        {
            std::lock_guard lock(mutex);
            times.push_back(rt::Clock::now());
        }
        changed.notify_all();
    }
    // Waits until `count` requests arrived; false past the bound.
    bool waitFor(std::size_t count) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, kBound, [&] { return times.size() >= count; });
    }
    rt::Clock::time_point at(std::size_t i) {
        std::lock_guard lock(mutex);
        return times.at(i);
    }
    rt::Clock::duration gap(std::size_t i) {
        std::lock_guard lock(mutex);
        return times.at(i + 1) - times.at(i);
    }
};

void holdStreamOpen(Exchange& e) {
    e.startChunked(200, kEventStream);
    e.waitForClientClose(kBound);
}

std::vector<testsupport::RecordedRequest> requestsWithMethod(const ScriptedHttpServer& server,
                                                             const std::string& method) {
    std::vector<testsupport::RecordedRequest> out;
    for (const auto& r : server.requests()) {
        if (r.method == method) out.push_back(r);
    }
    return out;
}

// ---- POST replies -------------------------------------------------------------

TEST(HTTPClientTransportTest, EveryFailingStatusHasItsOwnText) {
    struct Row {
        int status;
        std::string contentType;
        std::string detail;
    };
    const std::vector<Row> rows = {
        {400, "", "Bad request"},
        {401, "", "Authentication required"},
        {403, "", "Access forbidden"},
        {404, "", "Endpoint not found"},
        {405, "", "Method not allowed"},
        {408, "", "Request timeout"},
        {429, "", "Too many requests"},
        {500, "", "Server error: 500"},
        {503, "application/json", "Server error: 503"},
        {599, "", "Server error: 599"},
        {418, "text/plain", "Unexpected HTTP response: 418 (text/plain)"},
        {402, "", "Unexpected HTTP response: 402 ()"},
        {409, "application/json", "Unexpected HTTP response: 409 (application/json)"},
        {499, "", "Unexpected HTTP response: 499 ()"},
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

TEST(HTTPClientTransportTest, SuccessfulRepliesYieldByContentType) {
    struct Row {
        int status;
        std::optional<std::string> contentType;
        std::string body;
        std::vector<std::string> messages;
        std::optional<std::string> warning;
    };
    const std::vector<Row> rows = {
        {200, "application/json", "", {""}, std::nullopt},
        {200, "application/json", R"({"a":1})", {R"({"a":1})"}, std::nullopt},
        {201, "Application/JSON; charset=utf-8", "[1]", {"[1]"}, std::nullopt},
        {299, "application/json", "{}", {"{}"}, std::nullopt},
        {202, std::nullopt, "", {}, "Unexpected content type: "},
        {204, std::nullopt, "", {}, "Unexpected content type: "},
        {200, "text/plain", "hello", {}, "Unexpected content type: text/plain"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.status);
        ScriptedHttpServer server([&](Exchange& e) {
            HeaderList headers;
            if (row.contentType) headers.emplace_back("Content-Type", *row.contentType);
            e.respond(row.status, headers, row.body);
        });
        Log log;
        HTTPClientTransport transport(server.url("/mcp"), {}, false, 10, {}, log.logger());
        transport.connect();
        const auto failure = sendFailure(transport);
        EXPECT_FALSE(failure.has_value()) << failure->errorDescription();
        EXPECT_EQ(drain(transport), row.messages);
        if (row.warning) {
            const auto lines = log.with(*row.warning);
            ASSERT_EQ(lines.size(), 1u);
            EXPECT_EQ(lines[0].level, Logger::Level::warning);
            EXPECT_EQ(lines[0].source, "MCP");
        } else {
            const auto lines = log.with("Received JSON response");
            ASSERT_EQ(lines.size(), 1u);
            EXPECT_EQ(metadata(lines[0], "size"), std::to_string(row.body.size()));
        }
    }
}

TEST(HTTPClientTransportTest, PostCarriesTheProtocolHeadersAndTheModifierHasTheLastWord) {
    ScriptedHttpServer server([](Exchange& e) { e.respond(200, kJson, "{}"); });
    auto seen = std::make_shared<std::vector<http::Request>>();
    HTTPClientTransport plain(server.url("/mcp"), {}, false);
    HTTPClientTransport modified(server.url("/mcp"), {}, false, 10, [seen, &server](http::Request r) {
        seen->push_back(r);
        r.headers.add("Authorization", "Bearer token");
        r.url = server.url("/elsewhere");
        return r;
    });
    plain.connect();
    modified.connect();
    ASSERT_FALSE(sendFailure(plain, R"({"jsonrpc":"2.0","method":"x"})"));
    ASSERT_FALSE(sendFailure(modified, "unchanged bytes"));

    const auto requests = server.waitForRequests(2, kBound);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].target, "/mcp");
    EXPECT_EQ(requests[0].header("Accept"), "application/json, text/event-stream");
    EXPECT_EQ(requests[0].header("Content-Type"), "application/json");
    EXPECT_EQ(requests[0].body, R"({"jsonrpc":"2.0","method":"x"})");
    EXPECT_FALSE(requests[0].header("Mcp-Session-Id").has_value());

    ASSERT_EQ(seen->size(), 1u);
    EXPECT_EQ((*seen)[0].method, "POST");
    EXPECT_EQ((*seen)[0].body, "unchanged bytes");
    EXPECT_EQ(requests[1].target, "/elsewhere");
    EXPECT_EQ(requests[1].header("Authorization"), "Bearer token");
    EXPECT_EQ(requests[1].body, "unchanged bytes");
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
    Log log;
    HTTPClientTransport transport(server.url("/mcp"), {}, false, 10, {}, log.logger());
    transport.connect();
    for (std::size_t i = 0; i < steps.size(); ++i) {
        SCOPED_TRACE(i);
        const auto failure = sendFailure(transport);
        EXPECT_EQ(failure ? failure->detail() : std::nullopt, steps[i].detail);
        EXPECT_EQ(transport.sessionID(), steps[i].idAfter);
        EXPECT_EQ(server.waitForRequests(i + 1, kBound)[i].header("Mcp-Session-Id"), steps[i].expectedHeader);
    }
    const auto expired = log.with("Session has expired");
    ASSERT_EQ(expired.size(), 1u);
    EXPECT_EQ(expired[0].level, Logger::Level::warning);
    const auto received = log.with("Session ID received");
    ASSERT_EQ(received.size(), 4u);
    EXPECT_EQ(metadata(received[0], "sessionID"), "s1");
    EXPECT_EQ(received[0].level, Logger::Level::debug);
}

TEST(HTTPClientTransportTest, JsonReplyBeyondTheLimitFailsAndYieldsNothing) {
    ScriptedHttpServer server([](Exchange& e) {
        e.startChunked(200, kJson);
        e.sendChunk("0123456789");
        e.sendChunk(e.index() == 0 ? "abcdef" : "abcdefg");
        e.endChunked();
    });
    HTTPClientTransport::Configuration configuration;
    configuration.messageSizeLimit = 16;
    HTTPClientTransport transport(server.url("/mcp"), configuration, false);
    transport.connect();

    EXPECT_FALSE(sendFailure(transport));  // exactly at the limit
    EXPECT_EQ(drain(transport), std::vector<std::string>{"0123456789abcdef"});

    const auto failure = sendFailure(transport);
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(failure->errorDescription(), "Internal error: JSON response body exceeds the limit of 16 bytes");
    EXPECT_TRUE(drain(transport).empty());
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
    Log log;
    HTTPClientTransport transport(server.url("/mcp"), {}, false, 10, {}, log.logger());
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

    const auto events = log.with("SSE event received");
    ASSERT_EQ(events.size(), 5u);  // the empty one is read, not yielded
    EXPECT_EQ(metadata(events[1], "type"), "ping");
    EXPECT_EQ(metadata(events[1], "id"), "none");
    EXPECT_EQ(metadata(events[2], "type"), "empty");
    EXPECT_EQ(metadata(events[3], "type"), "message");
    EXPECT_EQ(metadata(events[3], "id"), "9");
    EXPECT_EQ(log.with("Received SSE response, processing in streaming task").size(), 1u);
}

TEST(HTTPClientTransportTest, EventStreamReplyBeyondTheLimitFailsTheSend) {
    ScriptedHttpServer server([](Exchange& e) {
        e.startChunked(200, kEventStream);
        e.sendChunk("data: ok\n\ndata: 0123456789abcdef\n\n");
        e.endChunked();
    });
    Log log;
    HTTPClientTransport::Configuration configuration;
    configuration.messageSizeLimit = 12;
    HTTPClientTransport transport(server.url("/mcp"), configuration, false, 10, {}, log.logger());
    transport.connect();
    const auto failure = sendFailure(transport, R"({"jsonrpc":"2.0","id":1,"method":"m"})");
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(failure->kind(), MCPError::Kind::InternalError);
    EXPECT_NE(failure->errorDescription().find("exceeds the limit of 12"), std::string::npos)
        << failure->errorDescription();
    EXPECT_EQ(drain(transport), std::vector<std::string>{"ok"});
    const auto line = log.waitForPrefix("Error processing SSE events: ");
    ASSERT_TRUE(line.has_value());
    EXPECT_EQ(line->level, Logger::Level::error);
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

// ---- Lifecycle ----------------------------------------------------------------

TEST(HTTPClientTransportTest, SendOutsideTheConnectionMakesNoRequest) {
    ScriptedHttpServer server([](Exchange& e) { e.respond(200, kJson, "{}"); });
    Log log;
    HTTPClientTransport transport(server.url("/mcp"), {}, false, 10, {}, log.logger());
    auto before = sendFailure(transport);
    ASSERT_TRUE(before.has_value());
    EXPECT_EQ(before->errorDescription(), "Internal error: Transport not connected");

    transport.connect();
    transport.connect();  // nothing happens the second time
    EXPECT_EQ(log.with("HTTP transport connected").size(), 1u);
    EXPECT_FALSE(sendFailure(transport));

    transport.disconnect();
    transport.disconnect();
    EXPECT_EQ(log.with("HTTP clienttransport disconnected").size(), 1u);
    auto after = sendFailure(transport);
    ASSERT_TRUE(after.has_value());
    EXPECT_EQ(after->errorDescription(), "Internal error: Transport not connected");
    EXPECT_EQ(server.requests().size(), 1u);

    try {
        transport.connect();
        FAIL() << "a spent transport connected again";
    } catch (const MCPError& e) {
        EXPECT_EQ(e.kind(), MCPError::Kind::InternalError);
    }
}

TEST(HTTPClientTransportTest, DisconnectEndsTheStreamAfterBufferedMessagesAndCancelsSendsInFlight) {
    ScriptedHttpServer server([](Exchange& e) {
        if (e.index() == 0) {
            e.respond(200, kJson, "first");
            return;
        }
        e.startChunked(200, kJson);
        e.sendChunk("partial");
        e.waitForClientClose(kBound);
    });
    HTTPClientTransport transport(server.url("/mcp"), {}, false);
    transport.connect();
    ASSERT_FALSE(sendFailure(transport));

    auto stalled = std::async(std::launch::async, [&] { return sendFailure(transport); });
    server.waitForRequests(2, kBound);
    transport.disconnect();
    ASSERT_EQ(stalled.wait_for(kBound), std::future_status::ready);
    const auto failure = stalled.get();
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(failure->kind(), MCPError::Kind::TransportError);
    EXPECT_NE(failure->errorDescription().find("cancelled"), std::string::npos) << failure->errorDescription();

    auto stream = transport.receive();
    EXPECT_EQ(stream->nextFor(kBound), std::optional<std::string>("first"));
    EXPECT_EQ(stream->nextFor(kBound), std::nullopt);
}

TEST(HTTPClientTransportTest, SendersOwnStopIsACancellation) {
    ScriptedHttpServer server([](Exchange& e) {
        e.startChunked(200, kJson);
        e.waitForClientClose(kBound);
    });
    HTTPClientTransport transport(server.url("/mcp"), {}, false);
    transport.connect();
    std::stop_source stop;
    auto sending = std::async(std::launch::async, [&] { transport.send("{}", stop.get_token()); });
    server.waitForRequests(1, kBound);
    stop.request_stop();
    ASSERT_EQ(sending.wait_for(kBound), std::future_status::ready);
    EXPECT_THROW(sending.get(), rt::Cancelled);
}

TEST(HTTPClientTransportTest, IdleServerTimesOutThroughTheSessionConfiguration) {
    ScriptedHttpServer server([](Exchange& e) {
        e.startChunked(200, kJson);
        e.waitForClientClose(kBound);
    });
    HTTPClientTransport::Configuration configuration;
    configuration.session.idleTimeout = 200ms;
    HTTPClientTransport transport(server.url("/mcp"), configuration, false);
    transport.connect();
    const auto started = rt::Clock::now();
    const auto failure = sendFailure(transport);
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(failure->kind(), MCPError::Kind::TransportError);
    EXPECT_NE(failure->errorDescription().find("timed out"), std::string::npos) << failure->errorDescription();
    EXPECT_LT(rt::Clock::now() - started, 5s);
}

// ---- The event-stream task ----------------------------------------------------

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
    Log log;
    // A long wait for the id: only the signal can end it in time.
    HTTPClientTransport transport(server.url("/mcp"), quickConfiguration(), true, 60, {}, log.logger());
    transport.connect();
    ASSERT_TRUE(log.waitForPrefix("SSE streaming task waiting for initial sessionID signal..."));
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
    EXPECT_EQ(log.with("Initial session ID signal triggered for SSE task.").size(), 1u);
    EXPECT_EQ(log.with("SSE streaming task proceeding after initial sessionID signal.").size(), 1u);
    EXPECT_EQ(log.with("Starting SSE connection").size(), 1u);

    transport.disconnect();
    EXPECT_FALSE(log.containsPrefix("SSE connection error: "));
}

TEST(HTTPClientTransportStreamingTest, WithoutASessionIdTheFirstGetGoesAfterTheTimeout) {
    Arrivals arrivals;
    ScriptedHttpServer server([&](Exchange& e) {
        arrivals.mark();
        holdStreamOpen(e);
    });
    Log log;
    HTTPClientTransport transport(server.url("/mcp"), quickConfiguration(), true, 0.3, {}, log.logger());
    const auto connected = rt::Clock::now();
    transport.connect();
    const auto get = server.waitForRequests(1, kBound)[0];
    ASSERT_TRUE(arrivals.waitFor(1));
    EXPECT_GE(arrivals.at(0) - connected, 300ms);
    EXPECT_EQ(get.method, "GET");
    EXPECT_FALSE(get.header("Mcp-Session-Id").has_value());
    const auto warning =
        log.with("Timeout waiting for initial sessionID signal. SSE stream will proceed (sessionID might be nil).");
    ASSERT_EQ(warning.size(), 1u);
    EXPECT_EQ(warning[0].level, Logger::Level::warning);
}

TEST(HTTPClientTransportStreamingTest, FailedGetIsLoggedAndRetriedAfterThePause) {
    for (const int status : {404, 500}) {
        SCOPED_TRACE(status);
        Arrivals arrivals;
        ScriptedHttpServer server([&](Exchange& e) {
            arrivals.mark();
            if (e.index() < 2) {
                e.respond(status, kJson, "{}");
            } else {
                holdStreamOpen(e);
            }
        });
        Log log;
        HTTPClientTransport transport(server.url("/mcp"), quickConfiguration(300ms), true, 0, {}, log.logger());
        transport.connect();
        ASSERT_TRUE(arrivals.waitFor(3));
        EXPECT_GE(arrivals.gap(0), 300ms);
        EXPECT_GE(arrivals.gap(1), 300ms);
        const auto errors = log.with("SSE connection error: Internal error: HTTP error: " + std::to_string(status));
        ASSERT_EQ(errors.size(), 2u);
        EXPECT_EQ(errors[0].level, Logger::Level::error);
    }
}

TEST(HTTPClientTransportStreamingTest, StreamClosedAfterEventsIsReopenedAtOnce) {
    ScriptedHttpServer server([](Exchange& e) {
        if (e.index() == 0) {
            e.startChunked(200, kEventStream);
            e.sendChunk("data: before close\n\n");
            e.endChunked();
        } else {
            holdStreamOpen(e);
        }
    });
    Log log;
    // A pause far beyond the bound below: only an immediate reopen passes.
    HTTPClientTransport transport(server.url("/mcp"), quickConfiguration(60s), true, 0, {}, log.logger());
    transport.connect();
    EXPECT_EQ(nextMessage(transport), "before close");
    EXPECT_NO_THROW(server.waitForRequests(2, 5s));
    EXPECT_FALSE(log.containsPrefix("SSE connection error: "));
}

TEST(HTTPClientTransportStreamingTest, StreamClosedEmptyAtOnceIsReopenedOnlyAfterThePause) {
    Arrivals arrivals;
    ScriptedHttpServer server([&](Exchange& e) {
        arrivals.mark();
        if (e.index() < 2) {
            e.startChunked(200, kEventStream);
            e.sendChunk(": only a comment\n\n");
            e.endChunked();
        } else {
            holdStreamOpen(e);
        }
    });
    Log log;
    HTTPClientTransport transport(server.url("/mcp"), quickConfiguration(400ms), true, 0, {}, log.logger());
    transport.connect();
    ASSERT_TRUE(arrivals.waitFor(3));
    EXPECT_GE(arrivals.gap(0), 400ms);
    EXPECT_GE(arrivals.gap(1), 400ms);
    EXPECT_FALSE(log.containsPrefix("SSE connection error: "));
}

TEST(HTTPClientTransportStreamingTest, SilentStreamTimesOutAndIsReopened) {
    ScriptedHttpServer server([](Exchange& e) { holdStreamOpen(e); });
    Log log;
    auto configuration = quickConfiguration();
    configuration.session.idleTimeout = 200ms;
    HTTPClientTransport transport(server.url("/mcp"), configuration, true, 0, {}, log.logger());
    transport.connect();
    server.waitForRequests(2, kBound);
    const auto reading = log.waitForPrefix("Error processing SSE events: ");
    const auto loop = log.waitForPrefix("SSE connection error: ");
    ASSERT_TRUE(reading && loop);
    EXPECT_NE(loop->message.find("timed out"), std::string::npos) << loop->message;
    EXPECT_EQ(loop->level, Logger::Level::error);
}

TEST(HTTPClientTransportStreamingTest, GetAnswered405EndsTheTaskButPostsGoOn) {
    ScriptedHttpServer server([](Exchange& e) {
        if (e.request().method == "GET") {
            e.respond(405, {}, "");
        } else {
            e.respond(200, kJson, "{}");
        }
    });
    Log log;
    HTTPClientTransport transport(server.url("/mcp"), quickConfiguration(20ms), true, 0, {}, log.logger());
    transport.connect();
    server.waitForRequests(1, kBound);
    EXPECT_FALSE(sendFailure(transport));
    // Many pauses' worth of time: a running loop would have asked again.
    rt::sleepFor(300ms);
    EXPECT_EQ(requestsWithMethod(server, "GET").size(), 1u);
    EXPECT_FALSE(log.containsPrefix("SSE connection error: "));
}

TEST(HTTPClientTransportStreamingTest, PostAnswered405CancelsTheOpenEventStream) {
    std::atomic<bool> streamClosed{false};
    ScriptedHttpServer server([&](Exchange& e) {
        if (e.request().method == "GET") {
            e.startChunked(200, kEventStream);
            streamClosed = e.waitForClientClose(kBound);
        } else {
            e.respond(405, {}, "");
        }
    });
    Log log;
    HTTPClientTransport transport(server.url("/mcp"), quickConfiguration(20ms), true, 0, {}, log.logger());
    transport.connect();
    server.waitForRequests(1, kBound);
    const auto failure = sendFailure(transport);
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(failure->detail(), "Server does not support streaming");
    const auto deadline = rt::Clock::now() + kBound;
    while (!streamClosed && rt::Clock::now() < deadline) rt::sleepFor(5ms);
    EXPECT_TRUE(streamClosed);
    rt::sleepFor(300ms);
    EXPECT_EQ(requestsWithMethod(server, "GET").size(), 1u);
    EXPECT_FALSE(log.containsPrefix("SSE connection error: "));
}

TEST(HTTPClientTransportStreamingTest, DisconnectEndsTheWaitForTheSessionId) {
    ScriptedHttpServer server([](Exchange& e) { holdStreamOpen(e); });
    Log log;
    HTTPClientTransport transport(server.url("/mcp"), quickConfiguration(), true, 60, {}, log.logger());
    transport.connect();
    ASSERT_TRUE(log.waitForPrefix("SSE streaming task waiting for initial sessionID signal..."));
    const auto started = rt::Clock::now();
    transport.disconnect();  // joins the task
    EXPECT_LT(rt::Clock::now() - started, 5s);
    EXPECT_EQ(log.with("SSE streaming task proceeding after initial sessionID signal.").size(), 1u);
    EXPECT_TRUE(server.requests().empty());
}

TEST(HTTPClientTransportStreamingTest, DisconnectCancelsTheOpenGetWithoutALoopError) {
    std::atomic<bool> streamClosed{false};
    ScriptedHttpServer server([&](Exchange& e) {
        e.startChunked(200, kEventStream);
        e.sendChunk("data: hello\n\n");
        streamClosed = e.waitForClientClose(kBound);
    });
    Log log;
    HTTPClientTransport transport(server.url("/mcp"), quickConfiguration(), true, 0, {}, log.logger());
    transport.connect();
    EXPECT_EQ(nextMessage(transport), "hello");
    const auto started = rt::Clock::now();
    transport.disconnect();
    EXPECT_LT(rt::Clock::now() - started, 5s);
    EXPECT_FALSE(log.containsPrefix("SSE connection error: "));
    EXPECT_EQ(nextMessage(transport), "<end>");
    const auto deadline = rt::Clock::now() + kBound;
    while (!streamClosed && rt::Clock::now() < deadline) rt::sleepFor(5ms);
    EXPECT_TRUE(streamClosed);
    EXPECT_EQ(server.requests().size(), 1u);
}

TEST(HTTPClientTransportStreamingTest, OutlandishPauseIsClampedAndStillEndsAtDisconnect) {
    ScriptedHttpServer server([](Exchange& e) { e.respond(500, {}, ""); });
    Log log;
    HTTPClientTransport transport(server.url("/mcp"), quickConfiguration(std::chrono::milliseconds::max()), true, 1e300,
                                  {}, log.logger());
    transport.connect();
    ASSERT_TRUE(log.waitForPrefix("SSE streaming task waiting for initial sessionID signal..."));
    transport.disconnect();
    ASSERT_TRUE(log.waitForPrefix("HTTP clienttransport disconnected"));

    HTTPClientTransport failing(server.url("/mcp"), quickConfiguration(std::chrono::milliseconds::max()), true, -1,
                                {}, log.logger());
    failing.connect();
    ASSERT_TRUE(log.waitForPrefix("SSE connection error: Internal error: HTTP error: 500"));
    const auto started = rt::Clock::now();
    failing.disconnect();  // wakes the pause
    EXPECT_LT(rt::Clock::now() - started, 5s);
}

TEST(HTTPClientTransportStreamingTest, GetReplyBringsTheSessionId) {
    ScriptedHttpServer server([](Exchange& e) {
        if (e.request().method == "POST") {
            e.respond(200, kJson, "{}");
            return;
        }
        e.startChunked(200, {{"Content-Type", "text/event-stream"}, {"Mcp-Session-Id", "from-get"}});
        e.waitForClientClose(kBound);
    });
    Log log;
    HTTPClientTransport transport(server.url("/mcp"), quickConfiguration(), true, 0, {}, log.logger());
    transport.connect();
    ASSERT_TRUE(log.waitForPrefix("Session ID received"));
    EXPECT_EQ(transport.sessionID(), "from-get");
    ASSERT_FALSE(sendFailure(transport));
    const auto posts = requestsWithMethod(server, "POST");
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_EQ(posts[0].header("Mcp-Session-Id"), "from-get");
}

}  // namespace
