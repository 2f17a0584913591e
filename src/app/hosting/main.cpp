// The program: serves the tool registry over standard input and output.
#include "app/hosting/tool_bridge.hpp"
#include "app/hosting/tool_families.hpp"
#include "app/platform/defaults_store.hpp"
#include "app/platform/linux_platform.hpp"
#include "app/tools/registry/local_tool_service.hpp"
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
#include <functional>
#include <mutex>
#include <stop_token>
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

// Termination signals are taken by one thread from the first instruction of
// main on, so that a signal ends the process in every state: before the
// server runs (start-up may wait on a file) it ends it at once; afterwards
// the server stops cleanly (answers written, descriptor modes and defaults
// restored), and a second signal ends it at once.
class TerminationSignals {
public:
    // Blocks the signals in the calling thread (and every thread it starts
    // later) and starts the thread that takes them.
    TerminationSignals() {
        sigemptyset(&set_);
        for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&set_, signal);
        pthread_sigmask(SIG_BLOCK, &set_, nullptr);
        // Never joined: it waits for a signal until the process ends.
        std::thread([this] { take(); }).detach();
    }

    // Until the returned guard goes, a first signal runs `stop` instead of
    // ending the process.
    class Handling {
    public:
        Handling(TerminationSignals& owner, std::function<void(int)> stop) : owner_(owner) {
            std::lock_guard lock(owner_.mutex_);
            owner_.stop_ = std::move(stop);
        }
        ~Handling() {
            std::lock_guard lock(owner_.mutex_);  // waits for a handler running now
            owner_.stop_ = nullptr;
        }
        Handling(const Handling&) = delete;
        Handling& operator=(const Handling&) = delete;

    private:
        TerminationSignals& owner_;
    };

private:
    void take() {
        bool stopping = false;
        for (;;) {
            int signal = 0;
            if (sigwait(&set_, &signal) != 0) continue;
            std::lock_guard lock(mutex_);
            if (!stop_ || stopping) std::_Exit(128 + signal);
            stopping = true;
            stop_(signal);
        }
    }

    sigset_t set_;
    std::mutex mutex_;
    std::function<void(int)> stop_;
};

// How long calls get to end after a stop request before the process ends
// without them: what a termination signal waits for at most.
constexpr auto kStopGrace = std::chrono::milliseconds(500);

// How long the calls still running at the end of input get to answer before
// they are stopped as on a signal: a client that closed our input is leaving,
// and a call stuck in a read it cannot leave must not hold the exit.
constexpr auto kInputEndGrace = std::chrono::seconds(10);

int serve(TerminationSignals& signals) {
    const auto inputEnded = std::make_unique<std::stop_source>();
    rt::MainExecutor executor;
    const app::platform::LinuxPlatform platform = app::platform::makeLinuxPlatform();
    app::tools::LocalToolService registry(platform.defaults, executor, app::hosting::makeToolFamilies(platform));

    mcp::ServerCapabilities capabilities;
    capabilities.tools = mcp::ServerCapabilities::Tools{true};
    auto server = mcp::Server::make("Kettleward", "1.0.0", std::nullopt, capabilities,
                                    mcp::ServerConfiguration::defaultConfiguration);
    const auto calls = app::hosting::registerApplicationHandlers(*server, registry, inputEnded->get_token());
    auto announcements = app::hosting::announceToolListChanges(server, registry, platform.diagnostics);

    auto transport = std::make_shared<mcp::StdioTransport>();
    std::atomic<int> received{0};
    bool overran = false;  // calls outlived the end of input by kInputEndGrace
    std::stop_source shutdown;
    // Ends the process at once, with the counter's last writes kept.
    auto endNow = [&](int status) {
        platform.defaults->flush();
        std::fflush(stderr);
        std::_Exit(status);
    };
    {
        TerminationSignals::Handling handling(signals, [&](int signal) {
            received = signal;
            shutdown.request_stop();
            // The output stays open until the calls in flight have answered.
            calls->stopAll();
        });
        server->start(transport);

        // Ends at the end of standard input, or at a termination signal (also
        // one that came before there was a loop), or when the answers cannot
        // be written.
        try {
            server->waitUntilFinished(shutdown.get_token());
        } catch (const rt::Cancelled&) {
        }
        if (transport->outputError() == 0 && received.load() == 0) {
            // Input ended: the calls still running answer before the output
            // closes, unless a signal comes first or they overrun.
            inputEnded->request_stop();
            try {
                registry.waitForHandlers(shutdown.get_token(), rt::Clock::now() + kInputEndGrace);
                executor.drain();
            } catch (const rt::Cancelled&) {
            } catch (const rt::TimedOut&) {
                overran = true;
                std::fprintf(stderr, "brisolet: calls still running %lld s after the end of input; stopping them\n",
                             static_cast<long long>(kInputEndGrace.count()));
            }
        }
    }
    int status = 0;
    if (const int error = transport->outputError()) {
        std::fprintf(stderr, "brisolet: cannot write to standard output: %s; stopping\n", std::strerror(error));
        status = 1;
    } else if (received.load() != 0) {
        status = 128 + received.load();
    }
    bool left = false;  // calls still running half a second after their stop
    if (status != 0 || overran) {
        calls->stopAll();
        try {
            registry.waitForHandlers({}, rt::Clock::now() + kStopGrace);
        } catch (const rt::TimedOut&) {
            left = true;
        }
        {
            // Answers the client no longer reads do not hold the exit either:
            // the output closes after the grace, written or not.
            rt::Task closer([&](std::stop_token stop) {
                try {
                    rt::sleepFor(kStopGrace, stop);
                    server->stop();
                } catch (const rt::Cancelled&) {
                }
            });
            // Every request is answered before the output closes: a batch
            // waiting on a call left running leaves whole.
            calls->answerLeftAsStopped();
            try {
                transport->flush();
            } catch (...) {
                // The output is gone, or closed after the grace: nothing more leaves.
            }
        }
    }
    server->stop();  // the loop, and the descriptors' modes put back
    // The loop uses the registry and what it holds, which go with this frame:
    // it ends first. A call that ignores its stop request, or a loop that
    // does not end, does not hold the process.
    if (!left && !server->waitUntilStopped(rt::Clock::now() + kStopGrace)) left = true;
    if (left) endNow(status);
    platform.defaults->flush();
    return status;
}

}  // namespace

int main() {
    // Never destroyed: its thread may take a signal while the process exits.
    auto& signals = *new TerminationSignals;
    reserveStandardDescriptors();
    std::signal(SIGPIPE, SIG_IGN);
    try {
        return serve(signals);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "brisolet: %s\n", e.what());
        return 1;
    }
}
