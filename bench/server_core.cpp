// The protocol library alone, serving over standard input and output: what
// `brisolet` costs without its tool registry. It answers "tools/list" from a
// result decoded once (the tools array of a file, as the program lists them)
// and "tools/call" with an error text, like the TypeScript comparison server.
//
//   bench_server_core [--tools FILE] [--coalesce]
//
// --coalesce swaps the stdio transport's writing for one that gathers the
// answers queued while a write is under way into the next write: an
// experiment to size what fewer write calls would give. Reading stays
// mcp::StdioTransport's own.
#include "json/json.hpp"
#include "mcp/server.hpp"
#include "mcp/stdio_transport.hpp"
#include "mcp/tools.hpp"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>

namespace {

class CoalescingStdioTransport final : public mcp::Transport {
public:
    CoalescingStdioTransport() : sink_(::open("/dev/null", O_WRONLY | O_CLOEXEC)), inner_(0, sink_) {}
    ~CoalescingStdioTransport() override {
        disconnect();
        if (sink_ >= 0) ::close(sink_);
    }

    const logging::Logger& logger() const override { return inner_.logger(); }

    void connect(std::stop_token stop) override {
        inner_.connect(stop);
        std::lock_guard lock(mutex_);
        if (!writer_.joinable()) writer_ = std::thread([this] { writeLoop(); });
    }

    void disconnect() override {
        inner_.disconnect();
        {
            std::lock_guard lock(mutex_);
            closing_ = true;
        }
        cv_.notify_one();
        if (writer_.joinable() && writer_.get_id() != std::this_thread::get_id()) writer_.join();
    }

    void send(std::string message, std::stop_token) override {
        {
            std::lock_guard lock(mutex_);
            pending_.append(message);
            pending_.push_back('\n');
        }
        cv_.notify_one();
    }

    mcp::MessageStream receive() override { return inner_.receive(); }

private:
    void writeLoop() {
        std::string out;
        for (;;) {
            {
                std::unique_lock lock(mutex_);
                cv_.wait(lock, [&] { return closing_ || !pending_.empty(); });
                if (pending_.empty()) return;  // closing and drained
                out.swap(pending_);
            }
            std::string_view rest = out;
            while (!rest.empty()) {
                ssize_t n = ::write(1, rest.data(), rest.size());
                if (n < 0 && errno == EINTR) continue;
                if (n < 0) return;  // the reader is gone
                rest.remove_prefix(static_cast<std::size_t>(n));
            }
            out.clear();
        }
    }

    int sink_;
    mcp::StdioTransport inner_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::string pending_;
    bool closing_ = false;
    std::thread writer_;
};

mcp::ListTools::Result loadTools(const char* path) {
    mcp::ListTools::Result result;
    if (!path) return result;
    std::ifstream in(path);
    if (!in) throw std::runtime_error(std::string("cannot read ") + path);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    result.tools = mcp::decodeText<std::vector<mcp::Tool>>(text);
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    ::signal(SIGPIPE, SIG_IGN);
    const char* toolsPath = nullptr;
    bool coalesce = false;
    for (int i = 1; i < argc; ++i) {
        std::string_view a = argv[i];
        if (a == "--tools" && i + 1 < argc) toolsPath = argv[++i];
        else if (a == "--coalesce") coalesce = true;
        else {
            std::fprintf(stderr, "usage: bench_server_core [--tools FILE] [--coalesce]\n");
            return 2;
        }
    }
    try {
        const mcp::ListTools::Result tools = loadTools(toolsPath);
        mcp::ServerCapabilities capabilities;
        capabilities.tools = mcp::ServerCapabilities::Tools{true};
        auto server = mcp::Server::make("bench-core", "1.0.0", std::nullopt, capabilities);
        server->registerMethodHandler<mcp::ListTools>([&tools](const mcp::ListTools::Parameters&) { return tools; });
        server->registerMethodHandler<mcp::CallTool>([](const mcp::CallTool::Parameters& p) {
            mcp::CallTool::Result r;
            r.content.push_back(mcp::Tool::Content::text("Error: Tool not found: " + p.name));
            r.isError = true;
            return r;
        });
        std::shared_ptr<mcp::Transport> transport;
        if (coalesce) {
            transport = std::make_shared<CoalescingStdioTransport>();
        } else {
            transport = std::make_shared<mcp::StdioTransport>();
        }
        server->start(transport);
        server->waitUntilFinished();
        server->stop();
        transport->disconnect();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_server_core: %s\n", e.what());
        return 1;
    }
    return 0;
}
