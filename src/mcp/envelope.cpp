#include "mcp/envelope.hpp"

namespace mcp::detail {

void checkVersion(const ObjectDecoder& in) {
    auto version = in.required<std::string>("jsonrpc");
    if (version != jsonrpcVersion) {
        json::CodingPath at = in.path();
        at.push_back(json::PathElement::member("jsonrpc"));
        throw json::DecodingError::dataCorrupted("Invalid JSON-RPC version", std::move(at));
    }
}

}  // namespace mcp::detail
