#include "mcp/error.hpp"
#include "mcp/id.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <unordered_set>

namespace mcp {
namespace {

TEST(MCPError, DecodingMapsCodesToCases) {
    struct Case {
        const char* json;
        MCPError::Kind kind;
        std::int64_t code;
        std::optional<std::string> detail;
        const char* description;
    };
    const Case cases[] = {
        {R"({"code":-32700,"message":"m"})", MCPError::Kind::ParseError, -32700, "m", "Parse error: Invalid JSON: m"},
        {R"({"code":-32600,"message":"m","data":{}})", MCPError::Kind::InvalidRequest, -32600, "m",
         "Invalid Request: m"},
        {R"({"code":-32601,"message":"m","data":{"detail":"d"}})", MCPError::Kind::MethodNotFound, -32601, "d",
         "Method not found: d"},
        {R"({"code":-32602,"message":"m","data":{"detail":5}})", MCPError::Kind::InvalidParams, -32602, "m",
         "Invalid params: m"},
        {R"({"code":-32603,"message":"Internal error"})", MCPError::Kind::InternalError, -32603, std::nullopt,
         "Internal error"},
        {R"({"code":42,"message":"busy","data":{"detail":"x"}})", MCPError::Kind::ServerError, 42, std::nullopt,
         "Server error: busy"},
        {R"({"code":-32001,"message":"Transport error: gone","data":{"error":"gone"}})",
         MCPError::Kind::TransportError, -32001, std::nullopt, "Transport error: gone"},
        {R"({"code":-32000,"message":"anything","data":{"x":1}})", MCPError::Kind::ConnectionClosed, -32000,
         std::nullopt, "Connection closed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.json);
        MCPError e = decodeText<MCPError>(c.json);
        EXPECT_EQ(e.kind(), c.kind);
        EXPECT_EQ(e.code(), c.code);
        EXPECT_EQ(e.detail(), c.detail);
        EXPECT_EQ(e.errorDescription(), c.description);
    }
}

}  // namespace
}  // namespace mcp
