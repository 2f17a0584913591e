#include "http/curl_http_client.hpp"
#include "runtime/runtime.hpp"
#include "support/scripted_http_server.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>

namespace {
using namespace std::chrono_literals;
using testsupport::Exchange;
using testsupport::ScriptedHttpServer;

constexpr auto kBound = 10s;  // upper bound of every wait in these tests

std::string readAll(http::Response& response) {
    std::string body;
    while (auto chunk = response.readChunk()) {
        EXPECT_FALSE(chunk->empty());
        body += *chunk;
    }
    return body;
}

http::Request get(const ScriptedHttpServer& server, std::string path = "/") {
    http::Request r;
    r.url = server.url(path);
    return r;
}

struct ResponseCase {
    const char* name;
    std::function<void(Exchange&)> script;
    int status;
    std::string body;
    testsupport::HeaderList expectedHeaders;  // looked up with other letter case
};

TEST(CurlHttpClient, DeliversStatusHeadersAndBody) {
    const std::vector<ResponseCase> cases = {
        {"json with length",
         [](Exchange& e) { e.respond(200, {{"Content-Type", "application/json"}}, R"({"a":1})"); },
         200, R"({"a":1})", {{"content-TYPE", "application/json"}}},
        {"not found with body", [](Exchange& e) { e.respond(404, {{"Mcp-Session-Id", "s1"}}, "missing"); }, 404,
         "missing", {{"mcp-session-id", "s1"}}},
        {"chunked",
         [](Exchange& e) {
             e.startChunked(200, {{"Content-Type", "text/event-stream; charset=utf-8"}});
             e.sendChunk("data: a\n\n");
             e.sendChunk("data: b\n\n");
             e.endChunked();
         },
         200, "data: a\n\ndata: b\n\n", {{"CONTENT-type", "text/event-stream; charset=utf-8"}}},
        {"ended by close",
         [](Exchange& e) {
             e.sendRaw("HTTP/1.1 200 OK\r\nConnection: close\r\nX-Folded: one\r\n two\r\n\r\nuntil the end");
             e.closeConnection();
         },
         200, "until the end", {{"x-folded", "one two"}}},
        {"interim head first",
         [](Exchange& e) {
             e.sendRaw("HTTP/1.1 100 Continue\r\nX-Interim: yes\r\n\r\n");
             e.respond(418, {{"X-Final", "yes"}}, "teapot");
         },
         418, "teapot", {{"x-final", "yes"}}},
        {"binary body", [](Exchange& e) { e.respond(200, {}, std::string("\0\xff\r\n\x80", 5)); }, 200,
         std::string("\0\xff\r\n\x80", 5), {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedHttpServer server(c.script);
        http::CurlHttpClient client;
        const auto response = client.start(get(server));
        EXPECT_EQ(response->status(), c.status);
        for (const auto& [name, value] : c.expectedHeaders) EXPECT_EQ(response->headers().get(name), value) << name;
        EXPECT_FALSE(response->headers().contains("X-Interim"));
        EXPECT_EQ(readAll(*response), c.body);
        EXPECT_EQ(response->readChunk(), std::nullopt);  // the end stays the end
    }
}

TEST(CurlHttpClient, SendsMethodHeadersAndBodyExactly) {
    ScriptedHttpServer server([](Exchange& e) { e.respond(200); });
    http::CurlHttpClient client;

    const std::string bigBody(100 * 1024, 'x');  // large enough for curl to want "Expect: 100-continue"
    struct Case {
        const char* name;
        http::Request request;
    };
    const auto request = [&](std::string method, std::string body, std::string path = "/") {
        http::Request r = get(server, path);
        r.method = std::move(method);
        r.body = std::move(body);
        return r;
    };
    std::vector<Case> cases = {{"post with headers", request("POST", std::string("{\"a\":\"\0\xc3\xa9\"}", 11), "/mcp?x=1")},
                               {"large post without content type", request("POST", bigBody)},
                               {"empty post", request("POST", "")},
                               {"delete", request("DELETE", "")}};
    for (const auto& [name, value] : {std::pair{"Accept", "application/json, text/event-stream"},
                                      {"Content-Type", "application/json"}, {"Mcp-Session-Id", "abc"},
                                      {"X-Twice", "1"}, {"X-Twice", "2"}, {"X-Empty", ""}})
        cases[0].request.headers.add(name, value);

    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto& c = cases[i];
        SCOPED_TRACE(c.name);
        const auto response = client.start(c.request);
        EXPECT_EQ(readAll(*response), "");
        const auto seen = server.waitForRequests(i + 1, kBound).back();
        EXPECT_EQ(seen.method, c.request.method);
        EXPECT_EQ(seen.target, c.request.url.substr(c.request.url.find('/', 8)));
        EXPECT_EQ(seen.body, c.request.body);
        EXPECT_FALSE(seen.header("Expect").has_value());
        EXPECT_EQ(seen.header("Content-Type"), c.request.headers.get("Content-Type"));
        for (const auto& f : c.request.headers.fields()) {
            std::vector<std::string> values;
            for (const auto& [n, v] : seen.headers)
                if (http::equalsIgnoringCase(n, f.name)) values.push_back(v);
            EXPECT_EQ(values, c.request.headers.getAll(f.name)) << f.name;
        }
    }
    // Completed responses leave their connection for the next request.
    EXPECT_EQ(server.connectionCount(), 1u);
}

TEST(CurlHttpClient, RefusesRequestsThatCannotBeSentAsGiven) {
    ScriptedHttpServer server([](Exchange& e) { e.respond(200); });
    http::CurlHttpClient client;
    struct Case {
        const char* name;
        std::function<void(http::Request&)> change;
    };
    const std::vector<Case> cases = {
        {"header value with line break", [](http::Request& r) { r.headers.add("X-Evil", "a\r\nX-Injected: 1"); }},
        {"header name with space", [](http::Request& r) { r.headers.add("Bad Name", "v"); }},
        {"method with space", [](http::Request& r) { r.method = "GE T"; }},
        {"empty url", [](http::Request& r) { r.url.clear(); }},
        {"file url", [](http::Request& r) { r.url = "file:///etc/passwd"; }},
        {"zero time-out", [](http::Request& r) { r.timeout = 0ms; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        http::Request r = get(server);
        c.change(r);
        try {
            client.start(r);
            ADD_FAILURE() << "no error";
        } catch (const http::Error& e) {
            EXPECT_EQ(e.kind(), http::Error::Kind::invalidRequest) << e.what();
            EXPECT_THAT(e.what(), ::testing::StartsWith("HTTP "));
        }
    }
    EXPECT_TRUE(server.requests().empty());
}

TEST(CurlHttpClient, TimesOutOnASilentServerNeverOnASlowReader) {
    const std::string big(256 * 1024, 'b');
    struct Case {
        const char* name;
        std::function<void(Exchange&)> script;  // a silent server waits for the client to give up
        std::chrono::milliseconds readerPause;
        std::string body;
        bool timesOut;
    };
    const Case cases[] = {
        {"no head", [](Exchange& e) { e.waitForClientClose(kBound); }, 0ms, "", true},
        {"head then nothing", [](Exchange& e) { e.startChunked(200), e.sendChunk("a"), e.waitForClientClose(kBound); },
         0ms, "a", true},
        // The transfer pauses while the reader is away: that is no idle server.
        {"slow reader", [&](Exchange& e) { e.respond(200, {}, big); }, 600ms, big, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedHttpServer server(c.script);
        http::CurlHttpClient client(http::Configuration{.bodyBufferLimit = 1024});
        http::Request r = get(server);
        r.timeout = 200ms;
        std::string body;
        try {
            const auto response = client.start(r);
            std::this_thread::sleep_for(c.readerPause);
            while (auto chunk = response->readChunk()) body += *chunk;
            EXPECT_FALSE(c.timesOut) << "no time-out";
        } catch (const http::Error& e) {
            EXPECT_TRUE(c.timesOut && e.kind() == http::Error::Kind::timedOut) << e.what();
        }
        EXPECT_EQ(body, c.body);
    }
}

TEST(CurlHttpClient, ReportsARefusedConnectionWithoutUserInformation) {
    std::string url;
    {
        ScriptedHttpServer gone([](Exchange&) {});
        url = gone.url("/mcp");
    }
    const std::string withUser = "http://user:secret@" + url.substr(std::string("http://").size());
    for (const std::string& requested : {url, withUser}) {
        SCOPED_TRACE(requested);
        http::CurlHttpClient client;
        http::Request r;
        r.method = "POST";
        r.url = requested;
        try {
            client.start(r);
            FAIL() << "no error";
        } catch (const http::Error& e) {
            EXPECT_EQ(e.kind(), http::Error::Kind::connectionFailed);
            EXPECT_THAT(e.what(), ::testing::HasSubstr("HTTP POST " + url + " failed: "));
            EXPECT_THAT(e.what(), ::testing::Not(::testing::HasSubstr("secret")));
        }
    }
}

}  // namespace
