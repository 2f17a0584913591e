// What stands in for the Messages application on this system: the send
// script is recognised by the script host, and a message it is asked to send
// goes out as an SMS through KDE Connect (kdeconnect-cli) when a paired phone
// is reachable; otherwise it waits in the outbox table of the program's
// SQLite store.
#pragma once

#include "app/platform/script_host.hpp"
#include "app/platform/sqlite.hpp"

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace app::tools {

// One message handed to the stand-in.
struct OutboxMessage {
    std::int64_t id = 0;
    std::string service;    // "iMessage"
    std::string recipient;  // as the script named the buddy
    std::string body;
    std::string sentAt;  // UTC, "YYYY-MM-DDTHH:MM:SSZ"

    bool operator==(const OutboxMessage&) const = default;
};

class MessagesOutboxStandIn : public platform::ScriptStandIn {
public:
    // `storePath` is the program's store (the program uses
    // $XDG_DATA_HOME/brisolet/store.sqlite), opened and migrated at first use;
    // one that cannot be opened fails that run and is tried again next time.
    // `sender` names the KDE Connect command-line program (looked up on PATH).
    explicit MessagesOutboxStandIn(std::string storePath, std::string sender = "kdeconnect-cli");

    // "messages.send": sends the message through the first reachable paired
    // device that takes it, else appends it to the outbox; a result without
    // text either way. A blank buddy fails the run, as Messages can find no
    // such buddy.
    std::optional<std::string> perform(const platform::ScriptCall& call) override;

    // The outbox, oldest first.
    std::vector<OutboxMessage> outbox();

private:
    platform::SqliteConnection& connection();  // caller holds mutex_
    bool sendThroughDevice(const std::string& recipient, const std::string& body);

    std::string storePath_;
    std::string sender_;
    std::mutex mutex_;
    std::optional<platform::SqliteConnection> connection_;
};

// Template id of the send script.
inline constexpr const char* messagesSendTemplateId = "messages.send";

// Teaches the host the send script (application "Messages") and gives it
// the stand-in. False (and nothing changed) when the host knows the script already.
bool registerMessagesScripts(platform::TemplateScriptHost& host, std::shared_ptr<platform::ScriptStandIn> standIn);

}  // namespace app::tools
