// Our Client over the HTTP transport against a scripted server that speaks
// just enough of the protocol: JSON and event-stream replies to POSTs, and a
// notification pushed on the GET event stream.
#include "mcp/client.hpp"
#include "mcp/http_client_transport.hpp"
#include "mcp/resources.hpp"
#include "mcp/tools.hpp"

#include "json/json.hpp"
#include "support/scripted_http_server.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

namespace {

using namespace std::chrono_literals;
using testsupport::Exchange;
using testsupport::ScriptedHttpServer;

constexpr auto kBound = 10s;
constexpr const char* kSession = "session-7";

std::string answer(const json::Value& id, const std::string& result) {
    return R"({"jsonrpc":"2.0","id":)" + json::write(id) + R"(,"result":)" + result + "}";
}

std::string event(const std::string& data) { return "event: message\ndata: " + data + "\n\n"; }

void serveProtocol(Exchange& e) {
    if (e.request().method == "GET") {
        if (e.request().header("Mcp-Session-Id") != kSession) {
            e.respond(400, {}, "");
            return;
        }
        e.startChunked(200, {{"Content-Type", "text/event-stream"}});
        e.sendChunk(": keep-alive\n\n");
        e.sendChunk(event(R"({"jsonrpc":"2.0","method":"notifications/tools/list_changed"})"));
        e.waitForClientClose(kBound);
        return;
    }
    const json::Value body = json::parse(e.request().body);
    const std::string method = body.find("method")->asString();
    const json::Value* id = body.find("id");
    if (method == "initialize") {
        e.respond(200, {{"Content-Type", "application/json"}, {"Mcp-Session-Id", kSession}},
                  answer(*id, R"({"protocolVersion":"2025-03-26","capabilities":{"tools":{"listChanged":true}},)"
                              R"("serverInfo":{"name":"scripted","version":"1.2"}})"));
    } else if (e.request().header("Mcp-Session-Id") != kSession) {
        e.respond(400, {}, "");
    } else if (method == "notifications/initialized") {
        e.respond(202);
    } else if (method == "tools/list") {
        // A notification first, then the answer, on the reply's own stream.
        e.startChunked(200, {{"Content-Type", "text/event-stream"}});
        e.sendChunk(event(R"({"jsonrpc":"2.0","method":"notifications/resources/list_changed"})"));
        e.sendChunk(event(answer(*id, R"({"tools":[{"name":"echo","description":"Echoes",)"
                                      R"("inputSchema":{"type":"object"}}]})")));
        e.endChunked();
    } else if (method == "tools/call") {
        const std::string text = body.find("params")->find("arguments")->find("message")->asString();
        e.respond(200, {{"Content-Type", "application/json"}},
                  answer(*id, R"({"content":[{"type":"text","text":"Echo: )" + text + R"("}]})"));
    } else {
        e.respond(404, {}, "");
    }
}

TEST(HTTPClientTransportClientTest, ClientRunsTheProtocolOverPostsAndTheEventStream) {
    ScriptedHttpServer server(serveProtocol);
    auto transport = std::make_shared<mcp::HTTPClientTransport>(server.url("/mcp"));
    mcp::Client client("Kettleward", "1.0.0");

    auto toolsChanged = std::make_shared<rt::OneShot<std::monostate>>();
    auto resourcesChanged = std::make_shared<rt::OneShot<std::monostate>>();
    client.registerNotificationHandler<mcp::ToolListChangedNotification>(
        [toolsChanged](const mcp::Message<mcp::ToolListChangedNotification>&) { toolsChanged->resume({}); });
    client.registerNotificationHandler<mcp::ResourceListChangedNotification>(
        [resourcesChanged](const mcp::Message<mcp::ResourceListChangedNotification>&) {
            resourcesChanged->resume({});
        });

    const auto initialized = client.connect(transport);
    EXPECT_EQ(initialized.serverInfo.name, "scripted");
    EXPECT_EQ(initialized.serverInfo.version, "1.2");
    EXPECT_EQ(transport->sessionID(), kSession);

    const auto tools = client.listTools();
    ASSERT_EQ(tools.tools.size(), 1u);
    EXPECT_EQ(tools.tools[0].name, "echo");
    EXPECT_NO_THROW(resourcesChanged->waitFor(kBound));

    const auto called = client.callTool("echo", std::map<std::string, mcp::Value>{{"message", "hi"}});
    EXPECT_EQ(called.content, std::vector<mcp::Tool::Content>{mcp::Tool::Content::text("Echo: hi")});

    EXPECT_NO_THROW(toolsChanged->waitFor(kBound)) << "no notification from the GET event stream";

    client.disconnect();
    EXPECT_FALSE(transport->isConnected());
    for (const auto& request : server.requests()) {
        if (request.body.find("\"initialize\"") != std::string::npos) continue;
        EXPECT_EQ(request.header("Mcp-Session-Id"), kSession) << request.method << " " << request.body;
    }
}

}  // namespace
