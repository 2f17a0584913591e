// The error every tool family reports: a domain naming who raised it, a code
// (400 bad argument, 403 refused, 404 not found, 500 failure) and the message
// the caller is shown.
#pragma once

#include <exception>
#include <string>
#include <utility>

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

}  // namespace app::tools
