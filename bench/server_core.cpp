// The protocol library alone, serving over standard input and output: what
// `brisolet` costs without its tool registry. It answers "tools/list" from a
// result decoded once (the tools array of a file, as the program lists them)
// and "tools/call" with an error text, like the TypeScript comparison server.
//
//   bench_server_core [--tools FILE]
#include "json/json.hpp"
#include "mcp/server.hpp"
#include "mcp/stdio_transport.hpp"
#include "mcp/tools.hpp"

#include <signal.h>

#include <cstdio>
#include <exception>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace {

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
    for (int i = 1; i < argc; ++i) {
        std::string_view a = argv[i];
        if (a == "--tools" && i + 1 < argc) toolsPath = argv[++i];
        else {
            std::fprintf(stderr, "usage: bench_server_core [--tools FILE]\n");
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
        auto transport = std::make_shared<mcp::StdioTransport>();
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
