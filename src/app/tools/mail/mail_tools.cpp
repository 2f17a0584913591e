#include "app/tools/mail/mail_tools.hpp"

#include "app/platform/platform_error.hpp"
#include "app/tools/registry/tool_error.hpp"
#include "app/tools/registry/tool_row.hpp"
#include "json/utf8.hpp"

#include <stdexcept>

namespace app::tools {

namespace {

bool isUnreserved(unsigned char c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
    switch (c) {
        case '-': case '.': case '_': case '~': case '!': case '$': case '\'': case '(': case ')':
        case '*': case '+': case ',': case ';': case ':': case '/': case '?': case '@':
            return true;
        default:
            return false;
    }
}

bool isHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

std::string mailtoRecipient(std::string_view recipient) {
    // Only what would end the address or start the query, the fragment or an
    // escape: "a@b.c?cc=x@y.z" stays one odd address, never a second header.
    std::string out;
    out.reserve(recipient.size());
    for (char c : recipient) {
        switch (c) {
            case '?': out += "%3F"; break;
            case '&': out += "%26"; break;
            case '#': out += "%23"; break;
            case '%': out += "%25"; break;
            default: out += c;
        }
    }
    return out;
}

ToolResult sendEmailTool(platform::UrlOpener& opener, const Arguments& arguments) {
    auto recipient = textArgument(arguments, "recipient");
    if (!recipient) return ToolError("LocalTool", 400, "Missing recipient");
    auto subject = textArgument(arguments, "subject");
    auto body = textArgument(arguments, "body");
    return sendEmail(opener, *recipient, subject.value_or(""), body.value_or(""));
}

const ToolRow<ToolResult (*)(platform::UrlOpener&, const Arguments&)> kMailTools[] = {
    {"send_email", "Send an email.", "发送邮件。",
     objectSchema(AnyMap{{"recipient", schemaProperty("string", "Recipient's email address")},
                         {"subject", schemaProperty("string", "Email subject")},
                         {"body", schemaProperty("string", "Email body content")}},
                  AnyList{"recipient"}),
     sendEmailTool},
};

}  // namespace

std::optional<std::string> percentEncodedQueryValue(std::string_view text) {
    if (!json::isValidUtf8(text)) return std::nullopt;
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (char ch : text) {
        auto c = static_cast<unsigned char>(ch);
        if (isUnreserved(c)) {
            out += ch;
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0x0F];
        }
    }
    return out;
}

bool isValidURIReference(std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        if (c <= 0x20 || c >= 0x7F) return false;
        switch (c) {
            case '"': case '<': case '>': case '\\': case '^': case '`': case '{': case '|': case '}':
                return false;
            case '%':
                if (i + 2 >= text.size()) return false;
                if (!isHexDigit(text[i + 1]) || !isHexDigit(text[i + 2])) return false;
                i += 2;
                break;
            default:
                break;
        }
    }
    return true;
}

std::string mailtoURL(const std::string& recipient, const std::string& subject, const std::string& body) {
    std::string url = "mailto:" + mailtoRecipient(recipient);
    std::vector<std::string> items;
    if (!subject.empty()) {
        if (auto encoded = percentEncodedQueryValue(subject)) items.push_back("subject=" + *encoded);
    }
    if (!body.empty()) {
        if (auto encoded = percentEncodedQueryValue(body)) items.push_back("body=" + *encoded);
    }
    for (std::size_t i = 0; i < items.size(); ++i) {
        url += i == 0 ? '?' : '&';
        url += items[i];
    }
    if (!isValidURIReference(url)) throw ToolError("LocalTool", 400, "Invalid mailto URL");
    return url;
}

std::string sendEmail(platform::UrlOpener& opener, const std::string& recipient, const std::string& subject,
                      const std::string& body) {
    try {
        opener.open(mailtoURL(recipient, subject, body));
    } catch (const platform::PlatformError& error) {
        // Never claim the composer opened when nothing was started.
        throw ToolError("MailTool", 500, "Mail composer not opened: " + error.cause());
    }
    return "Mail composer opened for " + recipient + ".";
}

std::vector<MCPTool> mailToolDefinitions() { return toolDefinitions(kMailTools); }

ToolResult handleMailTool(platform::UrlOpener& opener, const std::string& name, const Arguments& arguments) {
    return toolNamed(kMailTools, name, "MailTool", "mail").handler(opener, arguments);
}

MailToolFamily::MailToolFamily(std::shared_ptr<platform::UrlOpener> opener) : opener_(std::move(opener)) {
    if (!opener_) throw std::invalid_argument("MailToolFamily needs a URL opener");
}

ToolResult MailToolFamily::run(const std::string& name, const Arguments& arguments, std::stop_token) {
    return handleMailTool(*opener_, name, arguments);
}

}  // namespace app::tools
