#include "app/tools/messages/kde_connect_sender.hpp"

#include "app/platform/child_process.hpp"
#include "app/platform/unicode_text.hpp"
#include "app/platform/url_opener.hpp"
#include "app/tools/messages/messages_tools.hpp"

#include <sstream>
#include <string_view>
#include <vector>

namespace app::tools {

namespace {

// errAENoSuchObject: the script names something the application does not have.
constexpr std::int64_t kNoSuchObject = -1728;

// A phone that does not answer must not hold the tool call for long.
constexpr auto kDeviceTimeout = std::chrono::seconds(10);

// Why a run of the KDE Connect program failed: its last line on standard
// error and how it ended.
std::string whyItFailed(const platform::ProgramRun& run) {
    if (!run.exitCode) return "no answer within " + std::to_string(kDeviceTimeout.count()) + " s";
    std::string_view errors = platform::trimmingWhiteSpace(run.errors);
    std::size_t lastBreak = errors.find_last_of('\n');
    std::string_view last = platform::trimmingWhiteSpace(
        lastBreak == std::string_view::npos ? errors : errors.substr(lastBreak + 1));
    std::string status = "exit status " + std::to_string(*run.exitCode);
    return last.empty() ? status : platform::diagnosticExcerpt(last) + " (" + status + ")";
}

}  // namespace

KdeConnectSender::KdeConnectSender(std::string sender) : sender_(std::move(sender)) {}

std::optional<std::string> KdeConnectSender::perform(const platform::ScriptCall& call) {
    if (call.templateId != messagesSendTemplateId)
        throw platform::ScriptFailure("Messages does not understand this script.");
    const std::string& recipient = call.bindings.text("recipient");
    const std::string& body = call.bindings.text("body");
    if (platform::splitAtWhiteSpace(recipient).empty())
        throw platform::ScriptFailure("Can’t get buddy \"" + recipient + "\".", kNoSuchObject);

    // Paired and reachable devices, one id a line.
    platform::ProgramRun listed = platform::runProgram({sender_, "--list-available", "--id-only"}, kDeviceTimeout);
    if (!listed.started) throw platform::ScriptFailure("KDE Connect is not installed (no " + sender_ + " to run)");
    if (listed.exitCode != 0)
        throw platform::ScriptFailure("KDE Connect cannot list devices: " + whyItFailed(listed));
    std::vector<std::string> refusals;
    std::istringstream lines(listed.output);
    for (std::string device; std::getline(lines, device);) {
        if (device.empty() || device.find_first_of(" \t") != std::string::npos) continue;
        // Values joined to their options, so a body starting with "-" stays a
        // value. A device without the SMS plugin refuses with a non-zero status.
        platform::ProgramRun sent = platform::runProgram(
            {sender_, "--device=" + device, "--send-sms=" + body, "--destination=" + recipient}, kDeviceTimeout);
        if (sent.started && sent.exitCode == 0) return std::nullopt;
        refusals.push_back(device + ": " + (sent.started ? whyItFailed(sent) : "could not run " + sender_));
    }
    if (refusals.empty())
        throw platform::ScriptFailure("no reachable KDE Connect device (pair a phone and keep it connected)");
    std::string message = "no KDE Connect device took the message";
    for (std::size_t i = 0; i < refusals.size(); ++i) message += (i == 0 ? " (" : "; ") + refusals[i];
    throw platform::ScriptFailure(message + ")");
}

bool registerMessagesScripts(platform::TemplateScriptHost& host, std::shared_ptr<platform::ScriptStandIn> standIn) {
    if (host.recognise(messagesSendScript("+15550100", "sample"))) return false;
    host.registerTemplate(messagesSendTemplateId, "Messages",
                          messagesSendScript(platform::scriptSlot("recipient"), platform::scriptSlot("body")));
    host.registerStandIn("Messages", std::move(standIn));
    return true;
}

}  // namespace app::tools
