// The program: serves the tool registry over standard input and output.
#include "app/hosting/linux_platform.hpp"
#include "app/hosting/tool_bridge.hpp"
#include "app/platform/defaults_store.hpp"
#include "app/tools/local_tool_service.hpp"
#include "app/tools/tool_families.hpp"
#include "mcp/server.hpp"
#include "mcp/stdio_transport.hpp"
#include "runtime/runtime.hpp"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <exception>
#include <memory>
#include <pthread.h>
#include <thread>

namespace {

int serve() {
    // Termination signals are taken by one thread (below) so that the server
    // can stop cleanly: answers written, descriptor modes and defaults restored.
    sigset_t termination;
    sigemptyset(&termination);
    sigaddset(&termination, SIGINT);
    sigaddset(&termination, SIGTERM);
    sigaddset(&termination, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &termination, nullptr);

    rt::MainExecutor executor;
    app::platform::Platform platform = app::hosting::makeLinuxPlatform();
    app::tools::LocalToolService registry(platform.defaults, executor, app::tools::makeToolFamilies(platform));

    mcp::ServerCapabilities capabilities;
    capabilities.tools = mcp::ServerCapabilities::Tools{true};
    auto server = mcp::Server::make("Kettleward", "1.0.0", std::nullopt, capabilities,
                                    mcp::ServerConfiguration::defaultConfiguration);
    app::hosting::registerApplicationHandlers(*server, registry);
    auto announcements = app::hosting::announceToolListChanges(server, registry, platform.diagnostics);

    server->start(std::make_shared<mcp::StdioTransport>());

    std::atomic<bool> ending{false};
    std::atomic<int> received{0};
    std::thread signals([&] {
        int signal = 0;
        sigwait(&termination, &signal);
        if (ending.load()) return;  // woken by ourselves at the end
        received = signal;
        server->stop();
    });

    // Ends at the end of standard input, once every message read is answered.
    server->waitUntilFinished();
    ending = true;
    if (received.load() == 0) pthread_kill(signals.native_handle(), SIGTERM);
    signals.join();

    server->stop();
    executor.drain();
    platform.defaults->flush();
    return received.load() == 0 ? 0 : 128 + received.load();
}

}  // namespace

int main() {
    std::signal(SIGPIPE, SIG_IGN);
    try {
        return serve();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "brisolet: %s\n", e.what());
        return 1;
    }
}
