#include "app/tools/messages/messages_stand_in.hpp"

#include "app/platform/child_process.hpp"
#include "app/platform/store_database.hpp"
#include "app/platform/unicode_text.hpp"
#include "app/tools/calendar/calendar_dates.hpp"
#include "app/tools/messages/messages_tools.hpp"

#include <array>
#include <sstream>
#include <string_view>

namespace app::tools {

namespace {

constexpr std::array<std::string_view, 1> kMigrations = {
    "CREATE TABLE outbox("
    "id INTEGER PRIMARY KEY AUTOINCREMENT, "
    "service TEXT NOT NULL, "
    "recipient TEXT NOT NULL, "
    "body TEXT NOT NULL, "
    "sent_at TEXT NOT NULL)",
};

// errAENoSuchObject: the script names something the application does not have.
constexpr std::int64_t kNoSuchObject = -1728;

// A phone that does not answer must not hold the tool call for long.
constexpr auto kDeviceTimeout = std::chrono::seconds(10);

}  // namespace

MessagesOutboxStandIn::MessagesOutboxStandIn(std::string storePath, std::string sender)
    : storePath_(std::move(storePath)), sender_(std::move(sender)) {}

bool MessagesOutboxStandIn::sendThroughDevice(const std::string& recipient, const std::string& body) {
    // Paired and reachable devices, one id a line.
    platform::ProgramRun listed = platform::runProgram({sender_, "--list-available", "--id-only"}, kDeviceTimeout);
    if (!listed.started || listed.exitCode != 0) return false;
    std::istringstream lines(listed.output);
    for (std::string device; std::getline(lines, device);) {
        if (device.empty() || device.find_first_of(" \t") != std::string::npos) continue;
        // Values joined to their options, so a body starting with "-" stays a
        // value. A device without the SMS plugin refuses with a non-zero status.
        platform::ProgramRun sent = platform::runProgram(
            {sender_, "--device=" + device, "--send-sms=" + body, "--destination=" + recipient}, kDeviceTimeout);
        if (sent.started && sent.exitCode == 0) return true;
    }
    return false;
}

platform::SqliteConnection& MessagesOutboxStandIn::connection() {
    if (!connection_) connection_.emplace(platform::openStoreDatabase(storePath_, "messages outbox", "messages", kMigrations));
    return *connection_;
}

std::optional<std::string> MessagesOutboxStandIn::perform(const platform::ScriptCall& call) {
    if (call.templateId != messagesSendTemplateId)
        throw platform::ScriptFailure("Messages does not understand this script.");
    const std::string& recipient = call.bindings.text("recipient");
    const std::string& body = call.bindings.text("body");
    if (platform::splitAtWhiteSpace(recipient).empty())
        throw platform::ScriptFailure("Can’t get buddy \"" + recipient + "\".", kNoSuchObject);

    if (sendThroughDevice(recipient, body)) return std::nullopt;
    std::lock_guard lock(mutex_);
    auto insert = connection().prepare("INSERT INTO outbox(service, recipient, body, sent_at) VALUES(?, ?, ?, ?)");
    insert.bind(1, "iMessage").bind(2, recipient).bind(3, body).bind(4, formatInternetDateTime(systemNow())).run();
    return std::nullopt;
}

std::vector<OutboxMessage> MessagesOutboxStandIn::outbox() {
    std::lock_guard lock(mutex_);
    auto select = connection().prepare("SELECT id, service, recipient, body, sent_at FROM outbox ORDER BY id");
    std::vector<OutboxMessage> messages;
    while (select.step())
        messages.push_back({select.int64(0), select.text(1), select.text(2), select.text(3), select.text(4)});
    return messages;
}

bool registerMessagesScripts(platform::TemplateScriptHost& host, std::shared_ptr<platform::ScriptStandIn> standIn) {
    if (host.recognise(messagesSendScript("+15550100", "sample"))) return false;
    host.registerTemplate(messagesSendTemplateId, "Messages",
                          messagesSendScript(platform::scriptSlot("recipient"), platform::scriptSlot("body")));
    host.registerStandIn("Messages", std::move(standIn));
    return true;
}

}  // namespace app::tools
