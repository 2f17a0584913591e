// Our client against the example server of the protocol's reference
// implementation, over the pipes of a child process.
#include "mcp/client.hpp"
#include "mcp/client_test_support.hpp"
#include "mcp/stdio_transport.hpp"
#include "support/child_process.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

namespace fs = std::filesystem;

namespace {
using namespace std::chrono_literals;
using clienttest::Deadline;
using mcp::Client;

// The whole test, peer start-up included.
constexpr auto kBudget = 60s;

const mcp::Tool* findTool(const std::vector<mcp::Tool>& tools, std::string_view name) {
    auto it = std::find_if(tools.begin(), tools.end(), [&](const mcp::Tool& t) { return t.name == name; });
    return it == tools.end() ? nullptr : &*it;
}

std::string textOf(const mcp::CallTool::Result& result) {
    std::string out;
    for (const auto& item : result.content) {
        if (const auto* text = item.get<mcp::Tool::Content::Text>()) out += text->text;
    }
    return out;
}

TEST(InteropClientStdio, TalksToTheExampleServer) {
    const fs::path interop = BRISOLET_INTEROP_DIR;
    const fs::path server = interop / "node_modules" / ".bin" / "mcp-server-everything";
    ASSERT_TRUE(testsupport::onPath("node")) << "node is not installed: run scripts/setup";
    ASSERT_TRUE(fs::exists(server)) << "the example server is not installed: run scripts/setup";

    Deadline deadline(kBudget);
    const std::stop_token stop = deadline.token();

    testsupport::ChildProcess child({"node", server.string(), "stdio"}, testsupport::environmentWith({}),
                                    /*discardStderr=*/true);
    auto transport = std::make_shared<mcp::StdioTransport>(child.outputFd(), child.inputFd());

    Client client("brisolet-interop", "1.0.0");

    // Handshake: the newest revision we speak is the one agreed on.
    auto init = client.connect(transport, stop);
    EXPECT_EQ(init.protocolVersion, "2025-03-26");
    EXPECT_EQ(client.serverVersion(), "2025-03-26");
    EXPECT_FALSE(init.serverInfo.name.empty());
    ASSERT_TRUE(client.serverCapabilities());
    EXPECT_TRUE(client.serverCapabilities()->tools);
    EXPECT_TRUE(client.serverCapabilities()->prompts);
    ASSERT_TRUE(client.serverCapabilities()->resources);
    client.ping(stop);

    // From here on only what the server announced may be asked for.
    client.setConfiguration(Client::Configuration::strictConfiguration);

    // Tools: the text-only ones.
    auto tools = client.listTools(std::nullopt, stop).tools;
    ASSERT_TRUE(findTool(tools, "echo")) << "tools listed: " << tools.size();
    auto echo = client.callTool("echo", std::map<std::string, mcp::Value>{{"message", "hello/interop \u00e9"}}, stop);
    EXPECT_EQ(textOf(echo), "Echo: hello/interop \u00e9");
    EXPECT_NE(echo.isError, true);
    EXPECT_FALSE(client.listPrompts(std::nullopt, stop).prompts.empty());
    auto resources = client.listResources(std::nullopt, stop).resources;
    ASSERT_FALSE(resources.empty());
    EXPECT_FALSE(client.readResource(resources.front().uri, stop).empty());

    client.disconnect();
    child.closeInput();
    EXPECT_EQ(child.wait(10s), 0);
}

}  // namespace
