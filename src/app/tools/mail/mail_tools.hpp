// The mail family: "send_email" composes a mailto: URL and hands it to the
// user's mail program; nothing is sent without the user.
#pragma once

#include "app/platform/url_opener.hpp"
#include "app/tools/registry/tool_family.hpp"

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace app::tools {

std::vector<MCPTool> mailToolDefinitions();

// Throws ToolError "MailTool" 404 for another name; returns "LocalTool" 400
// "Missing recipient" when "recipient" is absent or not text.
ToolResult handleMailTool(platform::UrlOpener& opener, const std::string& name, const Arguments& arguments);

// Opens the composed URL; "Mail composer opened for <recipient>.".
std::string sendEmail(platform::UrlOpener& opener, const std::string& recipient, const std::string& subject,
                      const std::string& body);

// "mailto:" + the recipient with "?", "&", "#" and "%" percent-encoded (the
// rest as given), then "?subject=...&body=..." for the
// non-empty ones. Throws ToolError "LocalTool" 400 "Invalid mailto URL" when
// the result is no valid URI reference.
std::string mailtoURL(const std::string& recipient, const std::string& subject, const std::string& body);

// Percent-encodes (upper-case hex, per UTF-8 byte) everything but ASCII
// letters and digits and - . _ ~ ! $ ' ( ) * + , ; : / ? @. "&" and "=" are
// encoded too, so a value cannot end its query item or start another.
// Absent for text that is not valid UTF-8.
std::optional<std::string> percentEncodedQueryValue(std::string_view text);

// ASCII only, no space or control character, none of " < > \ ^ ` { | },
// and every "%" followed by two hex digits.
bool isValidURIReference(std::string_view text);

class MailToolFamily : public ToolFamily {
public:
    explicit MailToolFamily(std::shared_ptr<platform::UrlOpener> opener);
    ToolSwitch toolSwitch() const override { return ToolSwitch::Mail; }
    std::vector<MCPTool> definitions() const override { return mailToolDefinitions(); }
    ToolResult run(const std::string& name, const Arguments& arguments, std::stop_token stop) override;

private:
    std::shared_ptr<platform::UrlOpener> opener_;
};

}  // namespace app::tools
