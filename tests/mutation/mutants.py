# Planted faults in the protocol hardening and the tool-call path (same format as the shared list).
# id, module, file, description, text in the file, text that replaces it
M = [
('PR1', 'mcp', 'src/mcp/value.cpp', 'A JSON string that reads as a data URL becomes data again', 'Value fromJsonString(std::string&& text) { return Value(std::move(text)); }', 'Value fromJsonString(std::string&& text) {\n    if (auto url = decodeDataURL(text)) return Value::data(std::move(url->bytes), std::move(url->mimeType));\n    return Value(std::move(text));\n}'),
('PR2', 'mcp', 'src/mcp/server.cpp', 'A request with an unreadable id is dispatched as a notification', '                if (!id->isString() && !id->isInt() && !id->isNull()) {', '                if (false) {'),
('PR3', 'mcp', 'src/mcp/envelope.hpp', 'Undecodable parameters answered as internal errors', '        throw MCPError::invalidParams(std::string(e.what()));', '        throw MCPError::internalError(std::string(e.what()));'),
('PR4', 'mcp', 'src/mcp/line_splitter.hpp', 'Whitespace-only lines delivered as messages', '            } else if (!isBlank(head)) {', '            } else if (!head.empty()) {'),
('PR5', 'mcp', 'src/mcp/line_splitter.hpp', 'Unterminated last line dropped at end of input', '        if (!isBlank(line)) onLine(line);\n    }\n    reset();', '    }\n    reset();'),
('PR6', 'mcp', 'src/mcp/network_framing.cpp', 'A cut frame eats the message bytes after the marker', '    if (plausible) {\n        if (rest.size() < kFrame) return Boundary::undecided;', '    if (true) {\n        if (rest.size() < kFrame) return Boundary::undecided;'),
('PR7', 'mcp', 'src/mcp/network_transport.cpp', 'Connection gone for good but isConnected stays true', '            if (generation == runGeneration) isConnected = false;', '            (void)runGeneration;'),
('PR8', 'eventsource', 'src/eventsource/parser.cpp', 'A cut event is dispatched at the end of the stream', '    discardIncomplete();\n}', '    if (!lineBuffer_.empty()) endLine();\n    if (!currentData_.empty()) processLine({});\n}'),
('PR9', 'mcp', 'src/mcp/http_client_transport.cpp', 'A POST waits for the end of its event stream', '            if (answered) awaited->answered.resume(std::monostate{});', '            (void)answered;'),
('PR10', 'mcp', 'src/mcp/stdio_transport.cpp', 'A failed write leaves the queued messages to be served', '    stream_->cancel(std::make_exception_ptr(MCPError::transportError(PlatformError::fromErrno(error))));', '    stream_->finish();'),
('PR11', 'runtime', 'src/runtime/runtime.hpp', 'Bounded push does not wait for room', '                              [&] { return finished_ || capacity_ == 0 || queue_.size() < capacity_; });', '                              [&] { return true; });'),
('PR12', 'mcp', 'src/mcp/server.cpp', 'The loop never flushes answers held while input waited', '            if (stream->size() == 0) flushQuietly(*transport, stop);\n', ''),
('PR13', 'app/hosting', 'src/app/hosting/tool_bridge.cpp', 'Refused tool calls are not counted', '        tools::ToolFamily* family = registry_.beginCall(typed.params.name, refusal);', '        tools::ToolFamily* family = registry_.mainExecutor().isCurrent() ? nullptr : nullptr;\n        refusal.emplace("LocalTool", 404, "Tool not found: " + typed.params.name);'),
]
