// The program: serves the tool registry over standard input and output.
#include "app/hosting/linux_platform.hpp"
#include "app/hosting/tool_bridge.hpp"
#include "app/platform/defaults_store.hpp"
#include "app/tools/registry/local_tool_service.hpp"
#include "app/tools/tool_families.hpp"
#include "app/vision/vision_tools.hpp"
#include "mcp/server.hpp"
#include "mcp/stdio_transport.hpp"
#include "runtime/runtime.hpp"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <thread>

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

namespace {

// A standard descriptor that the parent left closed would be handed to the
// next file the process opens, and the protocol would then be read from or
// written to that file (or wait forever on an internal descriptor). Each
// closed one is held open on /dev/null instead: no input, discarded output.
void reserveStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened < 0 || opened == fd) continue;
        ::dup2(opened, fd);
        ::close(opened);
    }
}

// True when the jobs queued so far ran within `limit`.
bool drainedWithin(rt::MainExecutor& executor, std::chrono::milliseconds limit) {
    auto done = std::make_shared<rt::OneShot<std::monostate>>();
    executor.post([done] { done->resume(std::monostate{}); });
    try {
        done->waitFor(limit);
        return true;
    } catch (const rt::TimedOut&) {
        return false;
    }
}

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
    auto families = app::tools::makeToolFamilies(platform);
    families.push_back(std::make_unique<app::vision::VisionToolFamily>(platform.environment, app::vision::EngineSource{},
                                                                       platform.diagnostics));
    app::tools::LocalToolService registry(platform.defaults, executor, std::move(families));

    mcp::ServerCapabilities capabilities;
    capabilities.tools = mcp::ServerCapabilities::Tools{true};
    auto server = mcp::Server::make("Kettleward", "1.0.0", std::nullopt, capabilities,
                                    mcp::ServerConfiguration::defaultConfiguration);
    app::hosting::registerApplicationHandlers(*server, registry);
    auto announcements = app::hosting::announceToolListChanges(server, registry, platform.diagnostics);

    auto transport = std::make_shared<mcp::StdioTransport>();
    server->start(transport);

    std::atomic<bool> ending{false};
    std::atomic<int> received{0};
    std::thread signals([&] {
        int signal = 0;
        sigwait(&termination, &signal);
        if (ending.load()) return;  // woken by ourselves at the end
        received = signal;
        server->stop();  // also puts the descriptors' modes back
        // A second signal: the user will not wait for a tool call that hangs.
        sigwait(&termination, &signal);
        if (ending.load()) return;
        std::_Exit(128 + signal);
    });

    // Ends at the end of standard input, once every message read is answered;
    // or at a termination signal; or when the answers cannot be written.
    server->waitUntilFinished();
    int status = 0;
    if (const int error = transport->outputError()) {
        std::fprintf(stderr, "brisolet: cannot write to standard output: %s; stopping\n", std::strerror(error));
        status = 1;
    } else if (received.load() != 0) {
        status = 128 + received.load();
    }
    if (status == 0) {
        // The calls still running answer before the output closes.
        executor.drain();
        server->stop();
    } else {
        server->stop();  // requests stop of the calls in flight
        if (!drainedWithin(executor, std::chrono::seconds(1))) {
            // A call that ignores its stop request does not hold the process.
            platform.defaults->flush();
            std::_Exit(status);
        }
    }
    platform.defaults->flush();

    ending = true;
    pthread_kill(signals.native_handle(), SIGTERM);
    signals.join();
    return status;
}

}  // namespace

int main() {
    reserveStandardDescriptors();
    std::signal(SIGPIPE, SIG_IGN);
    try {
        return serve();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "brisolet: %s\n", e.what());
        return 1;
    }
}
