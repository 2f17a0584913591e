// Our Client over the streamable HTTP transport against the reference
// "everything" server of the TypeScript SDK, started here on a free loopback
// port and stopped in every path.
#include "mcp/client.hpp"
#include "mcp/client_test_support.hpp"
#include "mcp/http_client_transport.hpp"
#include "mcp/tools.hpp"
#include "support/child_process.hpp"
#include "support/wait.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
using namespace std::chrono_literals;
namespace fs = std::filesystem;

// Connects to 127.0.0.1:port, or with port 0 binds there; returns the port, 0 on failure.
std::uint16_t loopback(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    socklen_t length = sizeof address;
    const auto* raw = reinterpret_cast<sockaddr*>(&address);
    const bool ok = port ? ::connect(fd, raw, sizeof address) == 0
                         : ::bind(fd, raw, sizeof address) == 0 &&
                               ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    ::close(fd);
    return ok ? ntohs(address.sin_port) : 0;
}

// "notifications/message": a log line the server sends on its own.
struct LoggingMessageNotification {
    static constexpr std::string_view name = "notifications/message";
    using Parameters = mcp::Value;
};

std::string firstText(const mcp::CallTool::Result& result) {
    for (const auto& content : result.content) {
        if (const auto* text = std::get_if<mcp::Tool::Content::Text>(&content.variant())) return text->text;
    }
    return "<no text content>";
}

TEST(InteropClientHttpTest, ClientTalksToTheReferenceServerOverStreamableHttp) {
    const fs::path server = fs::path(BRISOLET_INTEROP_DIR) / "node_modules" / ".bin" / "mcp-server-everything";
    ASSERT_TRUE(testsupport::onPath("node")) << "node is not installed; run scripts/setup";
    ASSERT_TRUE(fs::exists(server)) << server.string() << " is missing; run scripts/setup";

    const std::uint16_t port = loopback(0);
    ASSERT_NE(port, 0) << "no free loopback port";
    testsupport::ChildProcess peer({"node", server.string(), "streamableHttp"},
                                   testsupport::environmentWith({{"PORT", std::to_string(port)}}),
                                   /*discardStderr=*/true);
    ASSERT_TRUE(testsupport::waitUntil([&] { return loopback(port) != 0; }, 30s)) << "the server did not listen";

    clienttest::Deadline deadline(60s);
    const auto stop = deadline.token();
    auto logged = std::make_shared<rt::OneShot<mcp::Value>>();
    mcp::Client client("brisolet-interop", "1.0.0");
    client.registerNotificationHandler<LoggingMessageNotification>(
        [logged](const mcp::Message<LoggingMessageNotification>& message) { logged->resume(message.params); });

    auto transport = std::make_shared<mcp::HTTPClientTransport>("http://127.0.0.1:" + std::to_string(port) + "/mcp");
    try {
        const auto initialized = client.connect(transport, stop);
        EXPECT_EQ(initialized.protocolVersion, "2025-03-26");
        EXPECT_TRUE(initialized.capabilities.tools.has_value());
        EXPECT_TRUE(transport->sessionID().has_value());

        const auto echoed = client.callTool("echo", std::map<std::string, mcp::Value>{{"message", "hi from C++"}}, stop);
        EXPECT_EQ(firstText(echoed), "Echo: hi from C++");
        EXPECT_NE(echoed.isError, std::optional<bool>(true));

        // The server then logs on its own, through the GET event stream.
        client.callTool("toggle-simulated-logging", std::nullopt, stop);
        const auto data = logged->wait(stop);
        const auto* object = data.objectValue();
        ASSERT_NE(object, nullptr);
        EXPECT_TRUE(object->contains("level"));
    } catch (const std::exception& e) {
        ADD_FAILURE() << "failed within the time allowed: " << e.what();
    }
    client.disconnect();
}

}  // namespace
