// The protocol error: thrown by the protocol layer and carried by failed responses.
#pragma once

#include "mcp/codec.hpp"
#include "mcp/hash.hpp"

#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace mcp {

// An error from below the protocol (a system call, a socket, the HTTP stack, or
// one read back from a peer's error object), wrapped by MCPError::transportError.
class PlatformError {
public:
    PlatformError(std::string domain, std::int64_t code, std::string localizedDescription,
                  std::optional<std::string> failureReason = std::nullopt);

    // An errno value: domain "POSIX", the system's text for it.
    static PlatformError fromErrno(int errnoValue);
    // Any exception: its what() becomes the description.
    static PlatformError fromException(const std::exception& error, std::string domain = "exception");

    // The domain given to errors decoded from a peer's -32001 error object.
    static constexpr std::string_view jsonRPCDomain = "org.brisolet.mcp.jsonrpc";

    const std::string& domain() const { return domain_; }
    std::int64_t code() const { return code_; }
    const std::string& localizedDescription() const { return localizedDescription_; }
    const std::optional<std::string>& failureReason() const { return failureReason_; }
    // Error Domain=<domain> Code=<code> "<description>"
    std::string debugDescription() const;

private:
    std::string domain_;
    std::int64_t code_;
    std::string localizedDescription_;
    std::optional<std::string> failureReason_;
};

class MCPError : public std::exception {
public:
    enum class Kind {
        ParseError,
        InvalidRequest,
        MethodNotFound,
        InvalidParams,
        InternalError,
        ServerError,
        TransportError,
        ConnectionClosed
    };

    static constexpr std::int64_t parseErrorCode = -32700;
    static constexpr std::int64_t invalidRequestCode = -32600;
    static constexpr std::int64_t methodNotFoundCode = -32601;
    static constexpr std::int64_t invalidParamsCode = -32602;
    static constexpr std::int64_t internalErrorCode = -32603;
    static constexpr std::int64_t transportErrorCode = -32001;
    static constexpr std::int64_t connectionClosedCode = -32000;

    static MCPError parseError(std::optional<std::string> detail = std::nullopt);
    static MCPError invalidRequest(std::optional<std::string> detail = std::nullopt);
    static MCPError methodNotFound(std::optional<std::string> detail = std::nullopt);
    static MCPError invalidParams(std::optional<std::string> detail = std::nullopt);
    static MCPError internalError(std::optional<std::string> detail = std::nullopt);
    static MCPError serverError(std::int64_t code, std::string message);
    static MCPError transportError(PlatformError underlying);
    static MCPError connectionClosed();

    Kind kind() const { return kind_; }
    std::int64_t code() const;
    // The detail of the five detail cases; absent otherwise.
    const std::optional<std::string>& detail() const { return detail_; }
    // serverError's message; empty otherwise.
    const std::string& serverMessage() const { return message_; }
    // transportError's wrapped error; nullptr otherwise.
    const PlatformError* underlying() const { return underlying_.get(); }

    // Never empty: the case's text, then ": " and the detail when present.
    const std::string& errorDescription() const { return description_; }
    std::optional<std::string> failureReason() const;
    std::optional<std::string> recoverySuggestion() const;
    std::optional<std::string> helpAnchor() const { return std::nullopt; }
    // "[<code>] <errorDescription>", plus " (Underlying error: ...)" for transportError.
    std::string debugDescription() const;

    const char* what() const noexcept override { return description_.c_str(); }

    // Equal exactly when the codes are equal.
    friend bool operator==(const MCPError& a, const MCPError& b) { return a.code() == b.code(); }
    friend void hashInto(Hasher& h, const MCPError& e) { hashInto(h, e.code()); }

private:
    MCPError(Kind kind, std::optional<std::string> detail, std::int64_t serverCode, std::string message,
             std::shared_ptr<const PlatformError> underlying);

    Kind kind_;
    std::optional<std::string> detail_;
    std::int64_t serverCode_ = 0;
    std::string message_;
    std::shared_ptr<const PlatformError> underlying_;
    std::string description_;
};

// {"code", "message", "data"?}; see error.cpp for how codes map back to cases.
json::Value toJson(const MCPError& error);
MCPError fromJson(const json::Value& v, json::CodingPath& path, std::type_identity<MCPError>);

// How a failure is written into a log line: an MCPError's debug description,
// another exception's what(), or "Unknown error".
std::string errorLogText(const std::exception_ptr& error);

}  // namespace mcp

template <>
struct std::hash<mcp::MCPError> {
    std::size_t operator()(const mcp::MCPError& e) const { return mcp::hashValue(e); }
};
