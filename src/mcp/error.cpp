#include "mcp/error.hpp"

#include "mcp/value.hpp"

#include <cstring>

namespace mcp {
namespace {

// glibc's strerror_r returns the text (GNU) or fills the buffer (XSI).
[[maybe_unused]] const char* errorText(int, const char* result, const char*) { return result; }
[[maybe_unused]] const char* errorText(int status, int, const char* buffer) {
    return status == 0 ? buffer : "Unknown error";
}

struct CaseTexts {
    const char* description;
    const char* failureReason;
    const char* recoverySuggestion;  // nullptr when there is none
};

CaseTexts textsOf(MCPError::Kind kind) {
    switch (kind) {
    case MCPError::Kind::ParseError:
        return {"Parse error: Invalid JSON", "The server received invalid JSON that could not be parsed",
                "Verify that the JSON being sent is valid and well-formed"};
    case MCPError::Kind::InvalidRequest:
        return {"Invalid Request", "The JSON sent is not a valid Request object",
                "Ensure the request follows the JSON-RPC 2.0 specification format"};
    case MCPError::Kind::MethodNotFound:
        return {"Method not found", "The method does not exist or is not available",
                "Check the method name and ensure it is supported by the server"};
    case MCPError::Kind::InvalidParams:
        return {"Invalid params", "Invalid method parameter(s)",
                "Verify the parameters match the method's expected parameters"};
    case MCPError::Kind::InternalError: return {"Internal error", "Internal JSON-RPC error", nullptr};
    case MCPError::Kind::ServerError: return {"Server error: ", "Server-defined error occurred", nullptr};
    case MCPError::Kind::TransportError: return {"Transport error: ", nullptr, nullptr};
    case MCPError::Kind::ConnectionClosed:
        return {"Connection closed", "The connection to the server was closed", "Try reconnecting to the server"};
    }
    return {"", nullptr, nullptr};
}

}  // namespace

// ---- PlatformError ------------------------------------------------------

PlatformError::PlatformError(std::string domain, std::int64_t code, std::string localizedDescription,
                             std::optional<std::string> failureReason)
    : domain_(std::move(domain)),
      code_(code),
      localizedDescription_(std::move(localizedDescription)),
      failureReason_(std::move(failureReason)) {}

PlatformError PlatformError::fromErrno(int errnoValue) {
    char buffer[256] = {};
    const char* text = errorText(0, strerror_r(errnoValue, buffer, sizeof buffer), buffer);
    return PlatformError("POSIX", errnoValue, text);
}

PlatformError PlatformError::fromException(const std::exception& error, std::string domain) {
    return PlatformError(std::move(domain), 0, error.what());
}

std::string PlatformError::debugDescription() const {
    std::string out = "Error Domain=" + domain_ + " Code=" + std::to_string(code_) + " ";
    json::writeString(out, localizedDescription_);
    return out;
}

// ---- MCPError -----------------------------------------------------------

MCPError::MCPError(Kind kind, std::optional<std::string> detail, std::int64_t serverCode, std::string message,
                   std::shared_ptr<const PlatformError> underlying)
    : kind_(kind),
      detail_(std::move(detail)),
      serverCode_(serverCode),
      message_(std::move(message)),
      underlying_(std::move(underlying)) {
    description_ = textsOf(kind_).description;
    if (kind_ == Kind::ServerError) {
        description_ += message_;
    } else if (kind_ == Kind::TransportError) {
        description_ += underlying_->localizedDescription();
    } else if (detail_) {
        description_ += ": ";
        description_ += *detail_;
    }
}

MCPError MCPError::parseError(std::optional<std::string> detail) {
    return MCPError(Kind::ParseError, std::move(detail), 0, {}, nullptr);
}
MCPError MCPError::invalidRequest(std::optional<std::string> detail) {
    return MCPError(Kind::InvalidRequest, std::move(detail), 0, {}, nullptr);
}
MCPError MCPError::methodNotFound(std::optional<std::string> detail) {
    return MCPError(Kind::MethodNotFound, std::move(detail), 0, {}, nullptr);
}
MCPError MCPError::invalidParams(std::optional<std::string> detail) {
    return MCPError(Kind::InvalidParams, std::move(detail), 0, {}, nullptr);
}
MCPError MCPError::internalError(std::optional<std::string> detail) {
    return MCPError(Kind::InternalError, std::move(detail), 0, {}, nullptr);
}
MCPError MCPError::serverError(std::int64_t code, std::string message) {
    return MCPError(Kind::ServerError, std::nullopt, code, std::move(message), nullptr);
}
MCPError MCPError::transportError(PlatformError underlying) {
    return MCPError(Kind::TransportError, std::nullopt, 0, {},
                    std::make_shared<const PlatformError>(std::move(underlying)));
}
MCPError MCPError::connectionClosed() { return MCPError(Kind::ConnectionClosed, std::nullopt, 0, {}, nullptr); }

std::int64_t MCPError::code() const {
    switch (kind_) {
    case Kind::ParseError: return parseErrorCode;
    case Kind::InvalidRequest: return invalidRequestCode;
    case Kind::MethodNotFound: return methodNotFoundCode;
    case Kind::InvalidParams: return invalidParamsCode;
    case Kind::InternalError: return internalErrorCode;
    case Kind::ServerError: return serverCode_;
    case Kind::TransportError: return transportErrorCode;
    case Kind::ConnectionClosed: return connectionClosedCode;
    }
    return 0;
}

std::optional<std::string> MCPError::failureReason() const {
    if (kind_ == Kind::TransportError) {
        return underlying_->failureReason() ? *underlying_->failureReason() : underlying_->localizedDescription();
    }
    return std::string(textsOf(kind_).failureReason);
}

std::optional<std::string> MCPError::recoverySuggestion() const {
    const char* text = textsOf(kind_).recoverySuggestion;
    if (!text) return std::nullopt;
    return std::string(text);
}

std::string MCPError::debugDescription() const {
    std::string out = "[";
    out += std::to_string(code());
    out += "] ";
    out += description_;
    if (kind_ == Kind::TransportError) out += " (Underlying error: " + underlying_->debugDescription() + ")";
    return out;
}

json::Value toJson(const MCPError& error) {
    ObjectEncoder out;
    out.set("code", error.code());
    out.set("message", error.errorDescription());
    if (error.kind() == MCPError::Kind::TransportError) {
        out.setJson("data", json::Object{{"error", json::Value(error.underlying()->localizedDescription())}});
    } else if (error.detail()) {
        out.setJson("data", json::Object{{"detail", json::Value(*error.detail())}});
    }
    return std::move(out).finish();
}

MCPError fromJson(const json::Value& v, json::CodingPath& path, std::type_identity<MCPError>) {
    ObjectDecoder in(v, path);
    auto code = in.required<std::int64_t>("code");
    auto message = in.required<std::string>("message");
    auto data = in.optional<std::map<std::string, Value>>("data");

    auto dataText = [&](std::string_view key) -> std::optional<std::string> {
        if (!data) return std::nullopt;
        auto it = data->find(std::string(key));
        if (it == data->end()) return std::nullopt;
        if (const auto* s = it->second.stringValue()) return *s;
        return std::nullopt;
    };

    switch (code) {
    case MCPError::parseErrorCode: return MCPError::parseError(dataText("detail").value_or(message));
    case MCPError::invalidRequestCode: return MCPError::invalidRequest(dataText("detail").value_or(message));
    case MCPError::methodNotFoundCode: return MCPError::methodNotFound(dataText("detail").value_or(message));
    case MCPError::invalidParamsCode: return MCPError::invalidParams(dataText("detail").value_or(message));
    case MCPError::internalErrorCode: return MCPError::internalError(dataText("detail"));
    case MCPError::transportErrorCode:
        return MCPError::transportError(PlatformError(std::string(PlatformError::jsonRPCDomain),
                                                      MCPError::transportErrorCode,
                                                      dataText("error").value_or(message)));
    case MCPError::connectionClosedCode: return MCPError::connectionClosed();
    default: return MCPError::serverError(code, std::move(message));
    }
}

std::string errorLogText(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const MCPError& e) {
        return e.debugDescription();
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "Unknown error";
    }
}

}  // namespace mcp
