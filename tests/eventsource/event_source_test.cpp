#include "eventsource/event_sequence.hpp"
#include "eventsource/event_source.hpp"
#include "http/curl_http_client.hpp"
#include "support/scripted_http_server.hpp"

#include <gmock/gmock.h>
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

// Every handler call, in order, as text.
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

// One piece of a chunked body, framed by hand.
std::string chunk(const std::string& bytes) {
    char size[32];
    std::snprintf(size, sizeof size, "%zx\r\n", bytes.size());
    return size + bytes + "\r\n";
}

void waitForState(const EventSource& source, ReadyState state) {
    const auto deadline = rt::Clock::now() + kBound;
    while (source.readyState() != state && rt::Clock::now() < deadline) rt::sleepFor(1ms);
    EXPECT_EQ(source.readyState(), state);
}

TEST(EventSequence, ReadsAResponseBodyAndHonoursStop) {
    rt::OneShot<std::monostate> more;
    ScriptedHttpServer server([&](Exchange& e) {
        openStream(e);
        e.sendChunk("event: a\ndata: 1\n\ndata: 2\n");
        e.sendChunk("\n");
        if (e.index() == 1) {
            e.waitForClientClose(kBound);  // the second stream stays open
            return;
        }
        more.wait(e.stopToken());
        e.sendChunk("data: 3");
        e.endChunked();
    });
    http::CurlHttpClient client;
    {
        const auto response = client.start(streamRequest(server));
        auto events = eventsource::events(*response);
        EXPECT_EQ(events.next(), (eventsource::Event{std::nullopt, "a", "1", std::nullopt}));
        EXPECT_EQ(events.next()->data, "2");
        more.resume({});
        EXPECT_EQ(events.next(), std::nullopt) << "an event cut by the end of the stream is dropped";
    }
    const auto response = client.start(streamRequest(server));
    auto events = eventsource::events(*response);
    EXPECT_EQ(events.next()->data, "1");
    EXPECT_EQ(events.next()->data, "2");
    std::stop_source stop;
    stop.request_stop();
    EXPECT_THROW(events.next(stop.get_token()), rt::Cancelled);
}

TEST(EventSource, OpensDeliversAndSendsItsHeaders) {
    ScriptedHttpServer server([](Exchange& e) {
        openStream(e, "Text/Event-Stream; charset=utf-8");
        e.sendChunk("id: 1\ndata: first\n\ndata: sec");
        e.sendChunk("ond\n\n");
        e.waitForClientClose(kBound);
    });
    Journal journal;
    EventSource source(streamRequest(server), http::Configuration{}, journal.options());
    EXPECT_EQ(journal.next(), "open");
    EXPECT_EQ(source.readyState(), ReadyState::open);
    EXPECT_EQ(journal.next(), "message 1 first");
    EXPECT_EQ(journal.next(), "message - second");
    const auto first = server.waitForRequests(1, kBound)[0];
    EXPECT_EQ(first.method, "GET");
    EXPECT_EQ(first.header("Accept"), "text/event-stream");
    EXPECT_FALSE(first.header("Last-Event-ID").has_value());
    EXPECT_EQ(source.url(), server.url("/events"));
    source.close();
    EXPECT_EQ(source.readyState(), ReadyState::closed);
}

TEST(EventSource, UrlConstructorAsksForAnUncachedEventStream) {
    ScriptedHttpServer server([](Exchange& e) {
        openStream(e);
        e.waitForClientClose(kBound);
    });
    EventSource source(server.url("/events"));
    const auto request = server.waitForRequests(1, kBound)[0];
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(request.header("Accept"), "text/event-stream");
    EXPECT_EQ(request.header("Cache-Control"), "no-cache");
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

TEST(EventSource, FailedStreamsAreReportedAndRetried) {
    struct Case {
        const char* name;
        std::string firstBytes;  // raw chunked body bytes before the connection drops
        bool closeFirst;         // drop the connection after them
        std::string error;
    };
    const std::vector<Case> cases = {
        // The cut-off block and line must not run into the next stream.
        {"broken transfer", chunk("retry: 50\nid: 9\ndata: one\n\ndata: half\n") + "5\r\nda", true, "http error"},
        {"oversized line", chunk("retry: 50\nid: 9\ndata: one\n\n") + chunk(std::string(80, 'x')), false,
         "size error: Server-sent event line exceeds the limit of 64 bytes"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedHttpServer server([&](Exchange& e) {
            openStream(e);
            if (e.index() == 0) {
                e.sendRaw(c.firstBytes);
                if (c.closeFirst) {
                    e.closeConnection();
                } else {
                    e.waitForClientClose(kBound);
                }
                return;
            }
            e.sendChunk("data: again\n\n");
            e.waitForClientClose(kBound);
        });
        Journal journal;
        auto options = journal.options();
        options.sizeLimit = 64;
        EventSource source(streamRequest(server), http::Configuration{}, options);
        EXPECT_EQ(journal.next(), "open");
        EXPECT_EQ(journal.next(), "message 9 one");
        EXPECT_EQ(journal.next(), c.error);
        EXPECT_EQ(journal.next(), "open");
        EXPECT_EQ(journal.next(), "message - again");
        EXPECT_EQ(server.waitForRequests(2, kBound)[1].header("Last-Event-ID"), "9");
    }
}

TEST(EventSource, LastUnterminatedBlockDependsOnTheFinalizationCount) {
    for (const std::int64_t count : {100, 0, -1}) {
        SCOPED_TRACE(count);
        ScriptedHttpServer server([](Exchange& e) {
            openStream(e);
            // The largest retry the stream can send: the client must wait, not fail.
            e.sendChunk("retry: 9223372036854775807\n\ndata: last");
            e.endChunked();
        });
        Journal journal;
        rt::OneShot<std::monostate> configured;
        auto options = journal.options();
        options.onOpen = [&, calls = journal.calls] {
            configured.wait();  // the count is set before the stream is read
            calls->yield("open");
        };
        EventSource source(streamRequest(server), http::Configuration{}, options);
        source.setMaximumFinalizationEventCount(count);
        EXPECT_EQ(source.maximumFinalizationEventCount(), count);
        configured.resume({});
        EXPECT_EQ(journal.next(), "open");
        // Cut before its blank line: never an event, whatever the count.
        EXPECT_EQ(journal.next(), "end");
        // Now waiting for ever to reconnect; closing ends that at once.
        const auto closing = rt::Clock::now();
        source.close();
        EXPECT_EQ(source.readyState(), ReadyState::closed);
        EXPECT_LT(rt::Clock::now() - closing, 5s);
        EXPECT_EQ(server.requests().size(), 1u);
    }
}

TEST(EventSource, HandlersSetAfterConstructionApplyFromTheNextEventAndEmptyOnesAreIgnored) {
    rt::OneShot<std::monostate> handlersSet;
    ScriptedHttpServer server([&](Exchange& e) {
        handlersSet.wait(e.stopToken());
        openStream(e);
        e.sendChunk("data: 1\n\n");
        e.waitForClientClose(kBound);
    });
    auto calls = rt::AsyncStream<std::string>::make();
    EventSource source(streamRequest(server), http::Configuration{});
    source.onOpen([calls] { calls->yield("open"); });
    source.onMessage([calls](const eventsource::Event& e) { calls->yield("message " + e.data); });
    source.onMessage(nullptr);  // keeps the handler above
    source.onError({});
    handlersSet.resume({});
    EXPECT_EQ(calls->nextFor(kBound), "open");
    EXPECT_EQ(calls->nextFor(kBound), "message 1");
}

TEST(EventSource, NothingIsDeliveredOnceCloseReturned) {
    struct Case {
        const char* name;
        bool fromHandler;
    };
    for (const auto& c : {Case{"from another thread", false}, Case{"from a handler", true}}) {
        SCOPED_TRACE(c.name);
        auto clientLeft = std::make_shared<rt::OneShot<bool>>();
        ScriptedHttpServer server([clientLeft](Exchange& e) {
            openStream(e);
            // Events as fast as the client takes them, until it leaves.
            for (int i = 0; i < 100000 && e.sendChunk("data: " + std::to_string(i) + "\n\n"); ++i) {
            }
            clientLeft->resume(e.waitForClientClose(kBound));
        });
        std::atomic<int> delivered{0};
        std::atomic<bool> closed{false};
        std::atomic<int> afterClose{0};
        rt::OneShot<std::monostate> third;
        // Set once the constructor returned; the handler may run before that.
        rt::OneShot<EventSource*> self;
        EventSource::Options options;
        options.onMessage = [&](const eventsource::Event&) {
            if (closed) ++afterClose;
            if (++delivered == 3) {
                if (c.fromHandler) {
                    self.waitFor(kBound)->close();
                    closed = true;
                }
                third.resume({});
            }
        };
        auto source = std::make_unique<EventSource>(streamRequest(server), http::Configuration{}, options);
        self.resume(source.get());
        third.waitFor(kBound);
        if (!c.fromHandler) {
            source->close();
            closed = true;
        }
        EXPECT_EQ(source->readyState(), ReadyState::closed);
        EXPECT_TRUE(clientLeft->waitFor(kBound));
        source.reset();  // joins the loop
        EXPECT_EQ(afterClose, 0);
        EXPECT_EQ(server.requests().size(), 1u);
    }
}

}  // namespace
