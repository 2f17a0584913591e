// The messages family: "send_message" asks the Messages application to send
// a text, "read_messages" and "get_unread_messages" read the Messages
// database ($HOME/Library/Messages/chat.db) read-only and answer with its
// rows as JSON.
#pragma once

#include "app/platform/environment.hpp"
#include "app/platform/script_host.hpp"
#include "app/tools/registry/tool_family.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

namespace app::tools {

std::vector<MCPTool> messagesToolDefinitions();

// Keeps the numeric characters (by their Unicode numeric type) and "+";
// ten characters without a leading "+" get "+1" in front.
std::string normalizePhoneNumber(std::string_view text);

// The send script; both values are quoted for their string literals.
std::string messagesSendScript(std::string_view recipient, std::string_view body);

// The two statements, with their LIMIT.
std::string messagesHistoryStatement(std::int64_t limit);
std::string messagesUnreadStatement(std::int64_t limit);

// How long a read waits while the Messages application holds a lock.
inline constexpr std::chrono::milliseconds messagesBusyTimeout{1000};
// How long one query may run: a database can be made to compute forever.
inline constexpr std::chrono::milliseconds messagesQueryBudget{10000};
// What one value read (a message's text) and one answer may hold: a small
// database can describe values far larger than itself.
inline constexpr std::size_t messagesValueLimit = std::size_t{1} << 20;
inline constexpr std::size_t messagesAnswerLimit = std::size_t{8} << 20;

// Runs one statement on the database at `databasePath`, opened read-only,
// with `parameters` bound as text at 1, 2, ...; returns the rows as a
// pretty-printed JSON array of {"content", "date", "sender", "isFromMe",
// "hasAttachments"}. Throws ToolError "MessagesTool" 500 "Failed to open
// messages DB: <cause>. Please enable Full Disk Access.", "Query prepare
// failed: <cause>" or "Query failed: <cause>" (a step failing part-way: no
// partial answer). Only a regular file is opened, and only one whose
// "message" and "handle" are plain tables ("Query prepare failed: <name> is
// not a table") without generated columns ("Query prepare failed:
// <table>.<column> is a generated column"); the query is stopped when `stop`
// is requested or `budget` has passed ("Query failed: stopped" / "Query
// failed: took too long"), and fails when one value would pass
// messagesValueLimit ("Query failed: a message is larger than 1 MiB") or the
// answer messagesAnswerLimit ("Query failed: the answer is larger than 8
// MiB; ask for fewer messages").
std::string queryMessages(const std::string& databasePath, std::string_view sql,
                          const std::vector<std::string>& parameters, std::stop_token stop = {},
                          std::chrono::milliseconds budget = messagesQueryBudget);

class MessagesToolFamily : public ToolFamily {
public:
    // Throws std::invalid_argument for a null environment or script host.
    MessagesToolFamily(std::shared_ptr<platform::Environment> environment,
                       std::shared_ptr<platform::ScriptHost> scriptHost);

    ToolSwitch toolSwitch() const override { return ToolSwitch::Messages; }
    std::vector<MCPTool> definitions() const override { return messagesToolDefinitions(); }
    ToolResult run(const std::string& name, const Arguments& arguments, std::stop_token stop) override;

    // The home directory followed by "/Library/Messages/chat.db".
    std::string messagesDatabasePath() const;

    // "✅ Message sent to <recipient>" when the script gave a result; "❌
    // Unknown error" when it could not be made or failed without information;
    // otherwise throws ToolError "MessagesTool" 500 "Failed to send: <message>".
    std::string runAppleScript(std::string_view source, const std::string& recipient);

    // The tools, as their rows run them.
    std::string sendMessage(const Arguments& arguments, std::stop_token stop);
    std::string readMessages(const Arguments& arguments, std::stop_token stop);
    std::string unreadMessages(const Arguments& arguments, std::stop_token stop);

private:
    std::shared_ptr<platform::Environment> environment_;
    std::shared_ptr<platform::ScriptHost> scriptHost_;
};

}  // namespace app::tools
