// Our client against the example server of the protocol's reference
// implementation, over the pipes of a child process.
#include "mcp/client.hpp"
#include "mcp/client_test_support.hpp"
#include "mcp/stdio_transport.hpp"
#include "support/child_process.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>

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
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<std::string> updatedUris;
    client.registerNotificationHandler<mcp::ResourceUpdatedNotification>(
        [&](const mcp::Message<mcp::ResourceUpdatedNotification>& m) {
            std::lock_guard lock(mutex);
            updatedUris.push_back(m.params.uri);
            cv.notify_all();
        });

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

    // Resources and templates.
    auto resources = client.listResources(std::nullopt, stop).resources;
    ASSERT_FALSE(resources.empty());
    auto contents = client.readResource(resources.front().uri, stop);
    ASSERT_FALSE(contents.empty());
    EXPECT_EQ(contents.front().uri(), resources.front().uri);
    EXPECT_TRUE(contents.front().text() || contents.front().blob());

    // A notification on a trigger of our own: subscribe, then switch the
    // server's update notices on; the first one follows at once.
    const std::string uri = resources.front().uri;
    client.subscribeResource(uri, stop);
    ASSERT_TRUE(findTool(tools, "toggle-subscriber-updates"));
    client.callTool("toggle-subscriber-updates", std::nullopt, stop);
    {
        std::unique_lock lock(mutex);
        EXPECT_TRUE(cv.wait_for(lock, 20s, [&] { return !updatedUris.empty(); }))
            << "no notifications/resources/updated arrived";
        if (!updatedUris.empty()) {
            EXPECT_EQ(updatedUris.front(), uri);
        }
    }
    // Off again, or its timer keeps the server running after its input ends.
    client.callTool("toggle-subscriber-updates", std::nullopt, stop);

    client.ping(stop);

    client.disconnect();
    child.closeInput();
    EXPECT_EQ(child.wait(10s), 0);
}

}  // namespace
