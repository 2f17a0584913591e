// Our protocol client driving a server it spawns, over the child's pipes:
//
//   bench_client [--method ping|tools/list] [--count N] [--warmup N] -- command [args...]
//
// Connects (spawn, initialize handshake), makes --warmup untimed calls, then
// --count timed sequential calls, each waiting for its answer. Prints one JSON
// object: the time to a connected client, the call rate, and the peak memory
// of this process (the client side) and of the server.
#include "mcp/client.hpp"
#include "mcp/stdio_transport.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

pid_t gServer = -1;  // killed on failure, never left behind

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "bench_client: %s\n", what.c_str());
    if (gServer > 0) {
        ::kill(gServer, SIGKILL);
        ::waitpid(gServer, nullptr, 0);
    }
    std::_Exit(2);
}

struct Spawned {
    pid_t pid = -1;
    int toChild = -1;
    int fromChild = -1;
};

Spawned spawn(const std::vector<std::string>& command) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) fail(std::string("pipe2: ") + std::strerror(errno));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv;
    for (const auto& a : command) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    Spawned s;
    int rc = posix_spawnp(&s.pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    if (rc != 0) fail("spawning " + command[0] + ": " + std::strerror(rc));
    gServer = s.pid;
    s.toChild = in[1];
    s.fromChild = out[0];
    return s;
}

// Waits up to ten seconds for the exit, then kills; the server's peak memory in KiB.
long reap(pid_t pid) {
    int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (pidfd >= 0) {
        pollfd p{pidfd, POLLIN, 0};
        while (::poll(&p, 1, 10000) < 0 && errno == EINTR) {
        }
        ::close(pidfd);
    }
    int status = 0;
    rusage usage{};
    if (::wait4(pid, &status, WNOHANG, &usage) == 0) {
        std::fprintf(stderr, "bench_client: the server did not exit at end of input; killed\n");
        ::kill(pid, SIGKILL);
        ::wait4(pid, &status, 0, &usage);
    }
    gServer = -1;
    return usage.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
    std::string method = "ping";
    long count = 2000;
    long warmup = -1;
    std::vector<std::string> command;
    int i = 1;
    for (; i < argc; ++i) {
        std::string_view a = argv[i];
        if (a == "--") {
            ++i;
            break;
        }
        if (i + 1 >= argc) fail("missing value for " + std::string(a));
        if (a == "--method") method = argv[++i];
        else if (a == "--count") count = std::stol(argv[++i]);
        else if (a == "--warmup") warmup = std::stol(argv[++i]);
        else fail("unknown option " + std::string(a));
    }
    for (; i < argc; ++i) command.emplace_back(argv[i]);
    if (command.empty()) fail("no server command given after --");
    if (method != "ping" && method != "tools/list") fail("--method is ping or tools/list");
    if (warmup < 0) warmup = count / 10;

    ::signal(SIGPIPE, SIG_IGN);
    double connectMs = 0, elapsed = 0;
    long toolCount = -1;
    Spawned child;
    try {
        auto t0 = Clock::now();
        child = spawn(command);
        auto transport = std::make_shared<mcp::StdioTransport>(child.fromChild, child.toChild);
        mcp::Client client("bench-client", "1.0.0");
        client.connect(transport);
        connectMs = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();

        auto call = [&] {
            if (method == "ping") {
                client.ping();
            } else {
                toolCount = static_cast<long>(client.listTools().tools.size());
            }
        };
        for (long n = 0; n < warmup; ++n) call();
        auto t1 = Clock::now();
        for (long n = 0; n < count; ++n) call();
        elapsed = std::chrono::duration<double>(Clock::now() - t1).count();
        client.disconnect();
    } catch (const std::exception& e) {
        fail(std::string("client failed: ") + e.what());
    }
    ::close(child.toChild);
    ::close(child.fromChild);
    long serverRss = reap(child.pid);
    rusage self{};
    ::getrusage(RUSAGE_SELF, &self);
    std::printf(
        "{\"side\":\"brisolet-client\",\"method\":\"%s\",\"count\":%ld,\"warmup\":%ld,\"connect_ms\":%.3f,"
        "\"seconds\":%.6f,\"calls_per_second\":%.1f,\"tools\":%ld,\"client_peak_rss_kb\":%ld,"
        "\"server_peak_rss_kb\":%ld}\n",
        method.c_str(), count, warmup, connectMs, elapsed, static_cast<double>(count) / elapsed, toolCount,
        self.ru_maxrss, serverRss);
    return 0;
}
