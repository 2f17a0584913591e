#include "eventsource/event_sequence.hpp"
#include "eventsource/event_source.hpp"
#include "http/curl_http_client.hpp"
#include "support/scripted_http_server.hpp"
#include "support/wait.hpp"

#include <gtest/gtest.h>

namespace {
using namespace std::chrono_literals;
using eventsource::EventSource;
using eventsource::ReadyState;
using testsupport::Exchange;
using testsupport::ScriptedHttpServer;

constexpr auto kBound = 10s;

std::string describe(std::exception_ptr error) {
    if (!error) return "end";
    try {
        std::rethrow_exception(error);
    } catch (const eventsource::EventSourceError& e) {
        return std::string("source error: ") + e.what();
    } catch (const eventsource::SizeLimitError& e) {
        return std::string("size error: ") + e.what();
    } catch (const http::Error& e) {
        return "http error";
    } catch (const std::exception& e) {
        return std::string("other: ") + e.what();
    }
}

struct Journal {
    rt::StreamHandle<std::string> calls = rt::AsyncStream<std::string>::make();

    EventSource::Options options() {
        EventSource::Options o;
        o.onOpen = [c = calls] { c->yield("open"); };
        o.onMessage = [c = calls](const eventsource::Event& e) {
            c->yield("message " + e.id.value_or("-") + " " + e.data);
        };
        o.onError = [c = calls](std::exception_ptr error) { c->yield(describe(error)); };
        return o;
    }

    std::string next() {
        try {
            auto call = calls->nextFor(kBound);
            return call ? *call : "finished";
        } catch (const rt::TimedOut&) {
            return "nothing within the bound";
        }
    }
};

http::Request streamRequest(const ScriptedHttpServer& server) {
    http::Request request;
    request.url = server.url("/events");
    request.headers.set("Accept", "text/event-stream");
    return request;
}

void openStream(Exchange& e, std::string contentType = "text/event-stream") {
    e.startChunked(200, {{"Content-Type", contentType}});
}

void waitForState(const EventSource& source, ReadyState state) {
    EXPECT_TRUE(testsupport::waitUntil([&] { return source.readyState() == state; }, kBound));
}

TEST(EventSource, RefusedAnswersCloseWithoutRetry) {
    struct Case {
        const char* name;
        std::function<void(Exchange&)> answer;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"404", [](Exchange& e) { e.respond(404, {{"Content-Type", "text/event-stream"}}); },
         "source error: Invalid HTTP response status code: 404"},
        {"204", [](Exchange& e) { e.respond(204); }, "source error: Invalid HTTP response status code: 204"},
        {"other type", [](Exchange& e) { e.respond(200, {{"Content-Type", "Application/JSON"}}, "{}"); },
         "source error: Invalid Content-Type for SSE: Application/JSON"},
        {"no type", [](Exchange& e) { e.respond(200, {}, "data: x\n\n"); },
         "source error: Missing Content-Type header in SSE response"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedHttpServer server(c.answer);
        Journal journal;
        EventSource source(streamRequest(server), http::Configuration{}, journal.options());
        EXPECT_EQ(journal.next(), c.error);
        waitForState(source, ReadyState::closed);
        EXPECT_EQ(server.requests().size(), 1u);
        EXPECT_FALSE(journal.calls->tryNext().has_value());
    }
}

TEST(EventSource, ReconnectsAfterTheServersRetryWithTheLastEventId) {
    rt::OneShot<rt::Clock::time_point> secondArrived;
    ScriptedHttpServer server([&](Exchange& e) {
        if (e.index() == 0) {
            openStream(e);
            e.sendChunk("retry: 300\nid: 42\ndata: first\n\n");
            e.endChunked();
            return;
        }
        secondArrived.resume(rt::Clock::now());
        openStream(e);
        e.sendChunk("data: second\n\n");
        e.waitForClientClose(kBound);
    });
    Journal journal;
    EventSource source(streamRequest(server), http::Configuration{}, journal.options());
    EXPECT_EQ(journal.next(), "open");
    EXPECT_EQ(journal.next(), "message 42 first");
    EXPECT_EQ(journal.next(), "end");
    const auto ended = rt::Clock::now();
    EXPECT_EQ(journal.next(), "open");
    EXPECT_EQ(journal.next(), "message - second");
    const auto gap = secondArrived.waitFor(kBound) - ended;
    EXPECT_GE(gap, 250ms);
    EXPECT_LT(gap, 2500ms);  // not the default 3 s
    const auto requests = server.waitForRequests(2, kBound);
    EXPECT_FALSE(requests[0].header("Last-Event-ID").has_value());
    EXPECT_EQ(requests[1].header("Last-Event-ID"), "42");
}

}  // namespace
