#include "app/tools/messages/messages_tools.hpp"

#include "app/platform/apple_script.hpp"
#include "app/platform/sqlite.hpp"
#include "app/platform/store_database.hpp"
#include "app/tools/registry/tool_error.hpp"
#include "app/tools/registry/tool_row.hpp"
#include "json/json.hpp"
#include "json/utf8.hpp"

#include <sqlite3.h>
#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <stdexcept>

namespace app::tools {

namespace {

constexpr const char* kDomain = "MessagesTool";
constexpr std::int64_t kDefaultLimit = 10;
constexpr std::int64_t kMaxLimit = 50;

// The platform writer's pretty layout with its default slash escaping.
constexpr json::WriteOptions kReplyFormat{.sortedKeys = false, .escapeSlashes = true, .pretty = true};

// The history and unread queries differ only in the fallback sender and the filter.
std::string messagesStatement(std::string_view fallbackSender, std::string_view filter, std::int64_t limit) {
    std::string sql =
        "  SELECT\n"
        "      CASE\n"
        "          WHEN m.text IS NOT NULL AND m.text != '' THEN m.text\n"
        "          WHEN m.attributedBody IS NOT NULL THEN '[Rich text message]'\n"
        "          ELSE '[Attachment]'\n"
        "      END as content,\n"
        "      datetime(m.date/1000000000 + strftime('%s', '2001-01-01'), 'unixepoch', 'localtime') as date,\n"
        "      COALESCE(h.id, '";
    sql += fallbackSender;
    sql +=
        "') as sender,\n"
        "      m.is_from_me,\n"
        "      m.cache_has_attachments\n"
        "  FROM message m\n"
        "  LEFT JOIN handle h ON h.ROWID = m.handle_id\n"
        "  WHERE ";
    sql += filter;
    sql +=
        "\n"
        "      AND (m.text IS NOT NULL OR m.attributedBody IS NOT NULL OR m.cache_has_attachments = 1)\n"
        "      AND m.item_type = 0\n"
        "  ORDER BY m.date DESC\n"
        "  LIMIT ";
    sql += std::to_string(limit);
    return sql;
}

// Calls visit(code point) for each character; ill-formed bytes give a negative value.
template <class Visit>
void forEachCodePoint(std::string_view text, Visit visit) {
    const auto* data = reinterpret_cast<const uint8_t*>(text.data());
    auto length = static_cast<int32_t>(std::min<std::size_t>(text.size(), INT32_MAX));
    int32_t i = 0;
    while (i < length) {
        int32_t start = i;
        UChar32 c;
        U8_NEXT(data, i, length, c);
        visit(c, text.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(i - start)));
    }
}

// A letter in any script, or an e-mail address's "@": not a phone number,
// whatever digits it may hold.
bool holdsLetterOrAt(std::string_view text) {
    bool found = false;
    forEachCodePoint(text, [&](UChar32 c, std::string_view) {
        if (c == '@' || (c >= 0 && u_isalpha(c))) found = true;
    });
    return found;
}

// A limit the caller gave, kept within 0..50: a negative LIMIT would read the whole history.
std::int64_t clampedLimit(const Arguments& arguments) {
    return std::clamp(intArgument(arguments, "limit").value_or(kDefaultLimit), std::int64_t{0}, kMaxLimit);
}

std::string columnText(const platform::SqliteStatement& statement, int column) {
    if (column >= statement.columnCount()) return {};
    return json::repairUtf8(statement.text(column));
}

// What a text adds to the written answer: its bytes, escapes included.
std::size_t writtenSize(std::string_view text) {
    std::size_t size = text.size() + 2;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20) size += 5;
        else if (c == '"' || c == '\\' || c == '/') size += 1;
    }
    return size;
}

std::string mebibytes(std::size_t bytes) { return std::to_string(bytes >> 20) + " MiB"; }

bool columnIsOne(const platform::SqliteStatement& statement, int column) {
    if (column >= statement.columnCount()) return false;
    return statement.int32(column) == 1;
}

const ToolRow<std::string (MessagesToolFamily::*)(const Arguments&, std::stop_token)> kMessagesTools[] = {
    {"send_message", "Send a text message or iMessage.", "发送短信或iMessage。",
     objectSchema(AnyMap{{"phoneNumber", schemaProperty("string", "Recipient's phone number")},
                         {"message", schemaProperty("string", "Message content")}},
                  AnyList{"phoneNumber", "message"}),
     &MessagesToolFamily::sendMessage},
    {"read_messages", "Read message history for a specific contact.", "读取特定联系人的历史消息。",
     objectSchema(AnyMap{{"phoneNumber", schemaProperty("string", "Contact's phone number")},
                         {"limit", schemaProperty("integer", "Maximum number of messages (default: 10)")}},
                  AnyList{"phoneNumber"}),
     &MessagesToolFamily::readMessages},
    {"get_unread_messages", "Fetch unread messages.", "获取未读消息。",
     objectSchema(AnyMap{{"limit", schemaProperty("integer", "Maximum number of messages (default: 10)")}}, AnyList{}),
     &MessagesToolFamily::unreadMessages},
};

}  // namespace

std::string normalizePhoneNumber(std::string_view text) {
    std::string kept;
    std::size_t characters = 0;
    forEachCodePoint(text, [&](UChar32 c, std::string_view bytes) {
        if (c < 0) return;
        if (c == '+' || u_getIntPropertyValue(c, UCHAR_NUMERIC_TYPE) != U_NT_NONE) {
            kept.append(bytes);
            ++characters;
        }
    });
    if (kept.starts_with('+')) return kept;
    if (characters == 10) return "+1" + kept;
    return kept;
}

std::string messagesSendScript(std::string_view recipient, std::string_view body) {
    std::string source = "tell application \"Messages\"\n"
                         "    set targetService to 1st service whose service type = iMessage\n"
                         "    set targetBuddy to buddy \"";
    source += platform::appleScriptEscaped(recipient);
    source += "\" of targetService\n"
              "    send \"";
    source += platform::appleScriptEscaped(body);
    source += "\" to targetBuddy\n"
              "end tell";
    return source;
}

std::string messagesHistoryStatement(std::int64_t limit) { return messagesStatement("Me", "h.id = ?", limit); }

std::string messagesUnreadStatement(std::int64_t limit) {
    return messagesStatement("Unknown", "m.is_from_me = 0\n      AND m.is_read = 0", limit);
}

std::string queryMessages(const std::string& databasePath, std::string_view sql,
                          const std::vector<std::string>& parameters, std::stop_token stop,
                          std::chrono::milliseconds budget) {
    std::optional<platform::SqliteConnection> connection;
    try {
        connection.emplace(databasePath, platform::SqliteOpenMode::ReadOnly, messagesBusyTimeout);
    } catch (const platform::SqliteError& error) {
        throw ToolError(kDomain, 500,
                        "Failed to open messages DB: " + error.sqliteMessage() + ". Please enable Full Disk Access.");
    }
    const auto deadline = std::chrono::steady_clock::now() + budget;
    bool overBudget = false;
    connection->setInterruptCheck([&] {
        if (stop.stop_requested()) return true;
        overBudget = std::chrono::steady_clock::now() >= deadline;
        return overBudget;
    });
    // No value may be built or read past the limit: SQLite refuses it.
    sqlite3_limit(connection->handle(), SQLITE_LIMIT_LENGTH, static_cast<int>(messagesValueLimit));
    const auto interrupted = [&](const platform::SqliteError& error) -> std::optional<ToolError> {
        if ((error.code() & 0xff) == SQLITE_TOOBIG)
            return ToolError(kDomain, 500, "Query failed: a message is larger than " + mebibytes(messagesValueLimit));
        if ((error.code() & 0xff) != SQLITE_INTERRUPT) return std::nullopt;
        return ToolError(kDomain, 500, overBudget ? "Query failed: took too long" : "Query failed: stopped");
    };

    std::optional<platform::SqliteStatement> statement;
    try {
        // The queries read two tables; a view or virtual table of those names
        // could run anything, forever.
        auto kinds = connection->prepare(
            "SELECT lower(name), type = 'table' AND sql NOT LIKE 'CREATE VIRTUAL%' FROM sqlite_schema "
            "WHERE lower(name) IN ('message', 'handle')");
        while (kinds.step()) {
            if (!kinds.int32(1))
                throw ToolError(kDomain, 500, "Query prepare failed: " + kinds.text(0) + " is not a table");
        }
        // Nor may a column compute its value: a few bytes of schema can
        // describe a text of any size.
        auto generated = connection->prepare(
            "SELECT t.name, c.name FROM (SELECT 'message' AS name UNION ALL SELECT 'handle') AS t, "
            "pragma_table_xinfo(t.name) AS c WHERE c.hidden IN (2, 3) ORDER BY t.name DESC, c.cid LIMIT 1");
        if (generated.step()) {
            throw ToolError(kDomain, 500,
                            "Query prepare failed: " + generated.text(0) + "." + generated.text(1) +
                                " is a generated column");
        }
        statement.emplace(connection->prepare(sql));
    } catch (const platform::SqliteError& error) {
        if (auto stopped = interrupted(error)) throw *stopped;
        throw ToolError(kDomain, 500, "Query prepare failed: " + error.sqliteMessage());
    }

    json::Array rows;
    std::size_t answerSize = 0;
    try {
        for (std::size_t i = 0; i < parameters.size(); ++i) statement->bind(static_cast<int>(i + 1), parameters[i]);
        while (statement->step()) {
            std::string content = columnText(*statement, 0);
            std::string date = columnText(*statement, 1);
            std::string sender = columnText(*statement, 2);
            // The keys, the flags and the layout: under 200 bytes a row.
            answerSize += writtenSize(content) + writtenSize(date) + writtenSize(sender) + 200;
            if (answerSize > messagesAnswerLimit) {
                throw ToolError(kDomain, 500,
                                "Query failed: the answer is larger than " + mebibytes(messagesAnswerLimit) +
                                    "; ask for fewer messages");
            }
            rows.emplace_back(json::Object{
                {"content", std::move(content)},
                {"date", std::move(date)},
                {"sender", std::move(sender)},
                {"isFromMe", columnIsOne(*statement, 3)},
                {"hasAttachments", columnIsOne(*statement, 4)},
            });
        }
    } catch (const platform::SqliteError& error) {
        if (auto stopped = interrupted(error)) throw *stopped;
        throw ToolError(kDomain, 500, "Query failed: " + error.sqliteMessage());
    }

    std::string text = json::write(json::Value(std::move(rows)), kReplyFormat);
    return json::isValidUtf8(text) ? text : "[]";
}

// MessagesToolFamily

MessagesToolFamily::MessagesToolFamily(std::shared_ptr<platform::Environment> environment,
                                       std::shared_ptr<platform::ScriptHost> scriptHost)
    : environment_(std::move(environment)), scriptHost_(std::move(scriptHost)) {
    if (!environment_) throw std::invalid_argument("MessagesToolFamily needs an environment");
    if (!scriptHost_) throw std::invalid_argument("MessagesToolFamily needs a script host");
}

std::vector<MCPTool> messagesToolDefinitions() { return toolDefinitions(kMessagesTools); }

ToolResult MessagesToolFamily::run(const std::string& name, const Arguments& arguments, std::stop_token stop) {
    return (this->*toolNamed(kMessagesTools, name, kDomain, "messages").handler)(arguments, std::move(stop));
}

std::string MessagesToolFamily::messagesDatabasePath() const { return platform::messagesDatabasePath(*environment_); }

std::string MessagesToolFamily::runAppleScript(std::string_view source, const std::string& recipient) {
    platform::ScriptRun run = scriptHost_->run(source);
    switch (run.outcome) {
        case platform::ScriptRun::Outcome::Succeeded:
            return "✅ Message sent to " + recipient;
        case platform::ScriptRun::Outcome::Failed:
            if (run.error) {
                throw ToolError(kDomain, 500,
                                "Failed to send: " + run.error->message.value_or("Unknown AppleScript error"));
            }
            return "❌ Unknown error";
        case platform::ScriptRun::Outcome::NotMade:
            break;
    }
    return "❌ Unknown error";
}

std::string MessagesToolFamily::sendMessage(const Arguments& arguments, std::stop_token) {
    auto phoneNumber = textArgument(arguments, "phoneNumber");
    auto message = textArgument(arguments, "message");
    if (!phoneNumber || !message) throw ToolError(kDomain, 400, "Missing phoneNumber or message");
    // Normalising would keep only the digits of "call-me-5551234" or of an
    // e-mail address and send to a number the caller never wrote.
    if (holdsLetterOrAt(*phoneNumber)) throw ToolError(kDomain, 400, "Invalid phoneNumber");
    // A program's argument ends at a NUL: the phone would get the text cut there.
    if (message->find('\0') != std::string::npos)
        throw ToolError(kDomain, 400, "Message contains a NUL character, which cannot be sent");
    std::string recipient = normalizePhoneNumber(*phoneNumber);
    return runAppleScript(messagesSendScript(recipient, *message), recipient);
}

std::string MessagesToolFamily::readMessages(const Arguments& arguments, std::stop_token stop) {
    auto phoneNumber = textArgument(arguments, "phoneNumber");
    if (!phoneNumber) throw ToolError(kDomain, 400, "Missing phoneNumber");
    std::int64_t limit = clampedLimit(arguments);
    std::string handle = normalizePhoneNumber(*phoneNumber);
    return queryMessages(messagesDatabasePath(), messagesHistoryStatement(limit), {handle}, stop);
}

std::string MessagesToolFamily::unreadMessages(const Arguments& arguments, std::stop_token stop) {
    return queryMessages(messagesDatabasePath(), messagesUnreadStatement(clampedLimit(arguments)), {}, stop);
}

}  // namespace app::tools
