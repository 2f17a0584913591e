// Our Client over the streamable HTTP transport against the reference
// "everything" server of the TypeScript SDK, started here on a free loopback
// port and stopped in every path.
#include "mcp/client.hpp"
#include "mcp/http_client_transport.hpp"
#include "mcp/tools.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef BRISOLET_INTEROP_DIR
#error "BRISOLET_INTEROP_DIR must name the folder holding node_modules"
#endif

extern char** environ;

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// The whole conversation must finish well inside this.
constexpr auto kTestBound = 60s;
constexpr auto kStartupBound = 30s;

std::optional<fs::path> findOnPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    if (!path) return std::nullopt;
    std::stringstream dirs(path);
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        if (dir.empty()) continue;
        const fs::path candidate = fs::path(dir) / name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return std::nullopt;
}

// A port nobody listens on right now (the kernel's choice of an ephemeral one).
std::uint16_t freeLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    std::uint16_t port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    ::close(fd);
    return port;
}

bool acceptsConnections(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

// The peer in a process group of its own, its output in a file; killed (the
// whole group) when this object goes, and by the kernel if this process dies.
class PeerProcess {
public:
    PeerProcess(const fs::path& program, std::vector<std::string> arguments, std::vector<std::string> extraEnv)
        : outputPath_(fs::temp_directory_path() / ("brisolet-interop-" + std::to_string(::getpid()) + ".log")) {
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e) {
            if (std::strncmp(*e, "PORT=", 5) != 0) env.emplace_back(*e);
        }
        env.insert(env.end(), extraEnv.begin(), extraEnv.end());
        arguments.insert(arguments.begin(), program.string());
        std::vector<char*> argv, envp;
        for (auto& a : arguments) argv.push_back(a.data());
        argv.push_back(nullptr);
        for (auto& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);

        const int out = ::open(outputPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        const int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        const pid_t parent = ::getpid();
        pid_ = ::fork();
        if (pid_ == 0) {
            // Only async-signal-safe calls until exec.
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() != parent) ::_exit(127);
            ::setpgid(0, 0);
            if (in >= 0) ::dup2(in, 0);
            if (out >= 0) {
                ::dup2(out, 1);
                ::dup2(out, 2);
            }
            ::execve(argv[0], argv.data(), envp.data());
            ::_exit(127);
        }
        if (pid_ > 0) {
            // Also here: a kill before the child got to its own setpgid must still reach it.
            ::setpgid(pid_, pid_);
            group_ = pid_;
        }
        if (out >= 0) ::close(out);
        if (in >= 0) ::close(in);
    }

    ~PeerProcess() {
        stop();
        std::error_code ignored;
        fs::remove(outputPath_, ignored);
    }

    PeerProcess(const PeerProcess&) = delete;
    PeerProcess& operator=(const PeerProcess&) = delete;

    bool started() const { return pid_ > 0; }

    bool hasExited() {
        if (pid_ <= 0) return true;
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return true;
        }
        return false;
    }

    std::string output() const {
        std::ifstream in(outputPath_);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    // SIGTERM to the group, up to 5 s for the leader to go, then SIGKILL.
    void stop() {
        if (group_ <= 0) return;
        ::kill(-group_, SIGTERM);
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (!hasExited() && std::chrono::steady_clock::now() < deadline) ::usleep(10000);
        ::kill(-group_, SIGKILL);  // the leader if it is still there, and any straggler
        if (pid_ > 0) {
            ::waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
        group_ = -1;
    }

private:
    fs::path outputPath_;
    pid_t pid_ = -1;
    pid_t group_ = -1;
};

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
    const fs::path interopDir = BRISOLET_INTEROP_DIR;
    const fs::path server = interopDir / "node_modules" / ".bin" / "mcp-server-everything";
    if (!findOnPath("node")) GTEST_SKIP() << "node is not installed; run scripts/setup";
    if (!fs::exists(server)) {
        GTEST_SKIP() << server.string() << " is missing; run npm ci in " << interopDir.string();
    }

    const std::uint16_t port = freeLoopbackPort();
    ASSERT_NE(port, 0) << "no free loopback port";
    PeerProcess peer(server, {"streamableHttp"}, {"PORT=" + std::to_string(port)});
    ASSERT_TRUE(peer.started()) << "fork failed: " << std::strerror(errno);

    const auto startupDeadline = std::chrono::steady_clock::now() + kStartupBound;
    while (!acceptsConnections(port)) {
        ASSERT_FALSE(peer.hasExited()) << "the server exited:\n" << peer.output();
        ASSERT_LT(std::chrono::steady_clock::now(), startupDeadline) << "the server did not listen:\n"
                                                                      << peer.output();
        rt::sleepFor(50ms);
    }

    // Every call below honours this stop token; the watchdog fires it.
    std::stop_source deadline;
    rt::Task watchdog([&deadline](std::stop_token stop) {
        try {
            rt::sleepFor(kTestBound, stop);
            deadline.request_stop();
        } catch (const rt::Cancelled&) {
        }
    });
    const auto stop = deadline.get_token();

    auto logged = std::make_shared<rt::OneShot<mcp::Value>>();
    mcp::Client client("brisolet-interop", "1.0.0");
    client.registerNotificationHandler<LoggingMessageNotification>(
        [logged](const mcp::Message<LoggingMessageNotification>& message) { logged->resume(message.params); });

    auto transport =
        std::make_shared<mcp::HTTPClientTransport>("http://127.0.0.1:" + std::to_string(port) + "/mcp");
    try {
        const auto initialized = client.connect(transport, stop);
        EXPECT_EQ(initialized.protocolVersion, "2025-03-26");
        EXPECT_FALSE(initialized.serverInfo.name.empty());
        EXPECT_TRUE(initialized.capabilities.tools.has_value());
        EXPECT_TRUE(transport->sessionID().has_value());

        const auto listed = client.listTools(std::nullopt, stop);
        std::vector<std::string> names;
        for (const auto& tool : listed.tools) names.push_back(tool.name);
        EXPECT_NE(std::find(names.begin(), names.end(), "echo"), names.end());
        EXPECT_NE(std::find(names.begin(), names.end(), "get-sum"), names.end());

        const auto echoed = client.callTool("echo", std::map<std::string, mcp::Value>{{"message", "hi from C++"}}, stop);
        EXPECT_EQ(firstText(echoed), "Echo: hi from C++");
        EXPECT_NE(echoed.isError, std::optional<bool>(true));

        const auto summed =
            client.callTool("get-sum", std::map<std::string, mcp::Value>{{"a", 2}, {"b", 3}}, stop);
        EXPECT_NE(firstText(summed).find('5'), std::string::npos) << firstText(summed);

        // The server then logs on its own, through the GET event stream.
        client.callTool("toggle-simulated-logging", std::nullopt, stop);
        const mcp::Value params = logged->wait(stop);
        const auto* object = params.objectValue();
        ASSERT_NE(object, nullptr);
        EXPECT_TRUE(object->contains("level"));
    } catch (const rt::Cancelled&) {
        ADD_FAILURE() << "the conversation did not finish within " << kTestBound.count() << " s\n" << peer.output();
    } catch (const std::exception& e) {
        ADD_FAILURE() << "failed: " << e.what() << "\n" << peer.output();
    }

    client.disconnect();
    watchdog.cancel();
    watchdog.join();
    peer.stop();
}

}  // namespace
