// The KDE Connect sender, which stands in for the Messages application on
// this system: the send script is recognised by the script host, and a
// message it is asked to send goes out as an SMS through KDE Connect (kdeconnect-cli) to a reachable
// paired phone. Nothing is queued for later: without KDE Connect, without a
// reachable device, or when every device refuses, the run fails saying why.
#pragma once

#include "app/platform/script_host.hpp"

#include <memory>
#include <optional>
#include <string>

namespace app::tools {

class KdeConnectSender : public platform::ScriptStandIn {
public:
    // `sender` names the KDE Connect command-line program (looked up on PATH).
    explicit KdeConnectSender(std::string sender = "kdeconnect-cli");

    // "messages.send": hands the message to the first reachable paired
    // device that takes it; a result without text. Fails the run when no
    // device took it, and for a blank buddy, as Messages can find no such buddy.
    std::optional<std::string> perform(const platform::ScriptCall& call) override;

private:
    std::string sender_;
};

// Template id of the send script.
inline constexpr const char* messagesSendTemplateId = "messages.send";

// Teaches the host the send script (application "Messages") and gives it
// the stand-in. False (and nothing changed) when the host knows the script already.
bool registerMessagesScripts(platform::TemplateScriptHost& host, std::shared_ptr<platform::ScriptStandIn> standIn);

}  // namespace app::tools
