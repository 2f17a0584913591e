// The error every tool family reports: a domain naming who raised it, a code
// (400 bad argument, 403 refused, 404 not found, 500 failure) and the message
// the caller is shown.
#pragma once

#include <exception>
#include <string>
#include <utility>
#include <variant>

namespace app::tools {

class ToolError : public std::exception {
public:
    ToolError(std::string domain, int code, std::string message)
        : domain_(std::move(domain)), code_(code), message_(std::move(message)) {}

    const std::string& domain() const noexcept { return domain_; }
    int code() const noexcept { return code_; }
    const std::string& message() const noexcept { return message_; }
    const char* what() const noexcept override { return message_.c_str(); }

    friend bool operator==(const ToolError& a, const ToolError& b) {
        return a.domain_ == b.domain_ && a.code_ == b.code_ && a.message_ == b.message_;
    }

private:
    std::string domain_;
    int code_;
    std::string message_;
};

// What a tool answers: its text, or its error. A tool that refuses often
// returns the error rather than throwing it: unwinding costs more than the
// rest of such a call.
class ToolResult {
public:
    ToolResult(std::string text) : v_(std::move(text)) {}
    ToolResult(const char* text) : v_(std::string(text)) {}
    ToolResult(ToolError error) : v_(std::move(error)) {}

    // Null for a text.
    const ToolError* error() const noexcept { return std::get_if<ToolError>(&v_); }
    // The text; the error thrown.
    std::string value() && {
        if (const ToolError* e = error()) throw *e;
        return std::move(std::get<std::string>(v_));
    }

private:
    std::variant<std::string, ToolError> v_;
};

}  // namespace app::tools
