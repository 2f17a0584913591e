// The protocol methods the application serves, bridged to the tool registry.
#pragma once

#include "app/platform/diagnostic_sink.hpp"
#include "app/tools/registry/local_tool_service.hpp"
#include "mcp/server.hpp"
#include "mcp/tools.hpp"

namespace app::hosting {

// The tool calls in flight, as the program's exit sees them.
class CallsAtExit {
public:
    virtual ~CallsAtExit() = default;
    // Stops every call in flight, and every call begun from now on.
    virtual void stopAll() = 0;
    // Answers each call in flight that has not answered as a stopped call
    // does; such a call writes nothing when it ends later. A batch waiting
    // on them leaves now, whole.
    virtual void answerLeftAsStopped() = 0;
};

// Registers, in this order, tools/list, tools/call, resources/list,
// resources/read, prompts/list and prompts/get. Only the tool methods do work;
// the others answer with empty lists, empty contents and "Prompt not found".
// "notifications/cancelled" stops the call it names; `inputEnded` stops the
// desktop family's calls (typing for a client that has gone acts for nobody).
std::shared_ptr<CallsAtExit> registerApplicationHandlers(mcp::Server& server, tools::LocalToolService& registry,
                                                         std::stop_token inputEnded = {});

// Sends "notifications/tools/list_changed" through the server after every
// switch change of the registry, for as long as the subscription lives. A
// notification that cannot be sent is reported to the diagnostics.
tools::ChangeSignal::Subscription announceToolListChanges(const std::shared_ptr<mcp::Server>& server,
                                                          tools::LocalToolService& registry,
                                                          std::shared_ptr<platform::DiagnosticSink> diagnostics);

// What a tool call answers: one text item, flagged when it is an error.
struct ToolAnswer {
    std::string text;
    bool isError = false;
};
// Its response, written with `options` as the general writer writes the typed result.
std::string writeToolAnswer(const mcp::ID& id, const ToolAnswer& answer, const json::WriteOptions& options);

// The protocol form of one tool definition.
mcp::Tool protocolTool(const tools::MCPTool& tool);

}  // namespace app::hosting
