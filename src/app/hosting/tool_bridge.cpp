#include "app/hosting/tool_bridge.hpp"

#include "app/tools/any_from_value.hpp"
#include "app/tools/tool_error.hpp"
#include "mcp/prompts.hpp"
#include "mcp/resources.hpp"
#include "mcp/tools.hpp"
#include "runtime/runtime.hpp"

#include <exception>
#include <string>
#include <utility>

namespace app::hosting {

mcp::Tool protocolTool(const tools::MCPTool& tool) {
    mcp::Tool out;
    out.name = tool.name;
    out.description = tool.description;
    out.inputSchema = tools::valueFromAny(tools::AnyValue(tool.inputSchema));
    return out;
}

namespace {

mcp::CallTool::Result callTool(tools::LocalToolService& registry, const mcp::CallTool::Parameters& params,
                               std::stop_token stop) {
    tools::Arguments arguments;
    if (params.arguments) {
        for (const auto& [key, value] : *params.arguments) arguments.emplace(key, tools::anyFromValue(value));
    }
    mcp::CallTool::Result result;
    try {
        result.content.push_back(mcp::Tool::Content::text(registry.callTool(params.name, std::move(arguments), stop)));
    } catch (const rt::Cancelled&) {
        throw;  // the request itself was cancelled: no tool result to give
    } catch (const tools::ToolError& e) {
        result.content.push_back(mcp::Tool::Content::text("Error: " + e.message()));
        result.isError = true;
    } catch (const std::exception& e) {
        result.content.push_back(mcp::Tool::Content::text(std::string("Error: ") + e.what()));
        result.isError = true;
    }
    return result;
}

}  // namespace

void registerApplicationHandlers(mcp::Server& server, tools::LocalToolService& registry) {
    server.registerMethodHandler<mcp::ListTools>([&registry](const mcp::ListTools::Parameters&) {
        mcp::ListTools::Result result;
        for (const tools::MCPTool& tool : registry.enabledTools()) result.tools.push_back(protocolTool(tool));
        return result;
    });
    server.registerMethodHandler<mcp::CallTool>(
        [&registry](const mcp::CallTool::Parameters& params, std::stop_token stop) {
            return callTool(registry, params, stop);
        });
    server.registerMethodHandler<mcp::ListResources>(
        [](const mcp::ListResources::Parameters&) { return mcp::ListResources::Result{}; });
    server.registerMethodHandler<mcp::ReadResource>(
        [](const mcp::ReadResource::Parameters&) { return mcp::ReadResource::Result{}; });
    server.registerMethodHandler<mcp::ListPrompts>(
        [](const mcp::ListPrompts::Parameters&) { return mcp::ListPrompts::Result{}; });
    server.registerMethodHandler<mcp::GetPrompt>([](const mcp::GetPrompt::Parameters&) {
        mcp::GetPrompt::Result result;
        result.description = "Prompt not found";
        return result;
    });
}

tools::ChangeSignal::Subscription announceToolListChanges(const std::shared_ptr<mcp::Server>& server,
                                                          tools::LocalToolService& registry,
                                                          std::shared_ptr<platform::DiagnosticSink> diagnostics) {
    std::weak_ptr<mcp::Server> weak = server;
    return registry.toolsChanged().subscribe([weak, diagnostics = std::move(diagnostics)] {
        auto server = weak.lock();
        if (!server) return;
        try {
            server->sendNotification(mcp::message<mcp::ToolListChangedNotification>());
        } catch (const std::exception& e) {
            if (diagnostics) diagnostics->write(std::string("Tool list change not sent: ") + e.what());
        }
    });
}

}  // namespace app::hosting
