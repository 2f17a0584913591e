#include "mcp/error.hpp"
#include "mcp/id.hpp"

#include <gtest/gtest.h>

namespace mcp {
namespace {

std::string sortedText(const json::Value& v) { return json::write(v, {.sortedKeys = true}); }

template <class T>
json::DecodingError decodeFailure(std::string_view text) {
    try {
        decodeText<T>(text);
    } catch (const json::DecodingError& e) {
        return e;
    }
    ADD_FAILURE() << "decoded: " << text;
    return json::DecodingError::dataCorrupted("");
}

TEST(ID, DecodesStringsIntegersAndNull) {
    struct Case {
        const char* json;
        ID id;
        const char* written;
    };
    const Case cases[] = {
        {"\"abc\"", "abc", "\"abc\""},
        {"\"7\"", "7", "\"7\""},
        {"7", 7, "7"},
        {"-9223372036854775808", std::numeric_limits<std::int64_t>::min(), "-9223372036854775808"},
        {"null", ID::null(), "null"},
    };
    for (const auto& c : cases) {
        ID id = decodeText<ID>(c.json);
        EXPECT_EQ(id, c.id) << c.json;
        EXPECT_EQ(encodeText(id), c.written) << c.json;
    }
    for (const char* bad : {"true", "1.5", "[]", "{}", "1e300"}) {
        auto e = decodeFailure<ID>(bad);
        EXPECT_EQ(e.kind(), json::DecodingError::Kind::DataCorrupted) << bad;
        EXPECT_EQ(e.debugDescription(), "ID must be string or number") << bad;
    }
}

TEST(MCPError, TextsAndCodesOfEveryCase) {
    struct Case {
        MCPError error;
        std::int64_t code;
        const char* description;
        const char* failureReason;
        const char* debug;
    };
    const Case cases[] = {
        {MCPError::parseError(), -32700, "Parse error: Invalid JSON",
         "The server received invalid JSON that could not be parsed", "[-32700] Parse error: Invalid JSON"},
        {MCPError::invalidRequest("x"), -32600, "Invalid Request: x", "The JSON sent is not a valid Request object",
         "[-32600] Invalid Request: x"},
        {MCPError::internalError("boom"), -32603, "Internal error: boom", "Internal JSON-RPC error",
         "[-32603] Internal error: boom"},
        {MCPError::serverError(42, "busy"), 42, "Server error: busy", "Server-defined error occurred",
         "[42] Server error: busy"},
        {MCPError::transportError(PlatformError("d", 5, "link down")), -32001, "Transport error: link down",
         "link down", "[-32001] Transport error: link down (Underlying error: Error Domain=d Code=5 \"link down\")"},
        {MCPError::transportError(PlatformError("d", 5, "link down", "cable")), -32001,
         "Transport error: link down", "cable",
         "[-32001] Transport error: link down (Underlying error: Error Domain=d Code=5 \"link down\")"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.description);
        EXPECT_EQ(c.error.code(), c.code);
        EXPECT_EQ(c.error.errorDescription(), c.description);
        EXPECT_STREQ(c.error.what(), c.description);
        EXPECT_EQ(c.error.failureReason(), c.failureReason);
        EXPECT_EQ(c.error.debugDescription(), c.debug);
    }
}

TEST(MCPError, Encoding) {
    struct Case {
        MCPError error;
        const char* json;
    };
    const Case cases[] = {
        {MCPError::parseError(), R"({"code":-32700,"message":"Parse error: Invalid JSON"})"},
        {MCPError::invalidParams(), R"({"code":-32602,"message":"Invalid params"})"},
        {MCPError::invalidParams("x"), R"({"code":-32602,"data":{"detail":"x"},"message":"Invalid params: x"})"},
        {MCPError::internalError(), R"({"code":-32603,"message":"Internal error"})"},
        {MCPError::serverError(-32601, "m"), R"({"code":-32601,"message":"Server error: m"})"},
        {MCPError::transportError(PlatformError("d", 1, "gone")),
         R"({"code":-32001,"data":{"error":"gone"},"message":"Transport error: gone"})"},
        {MCPError::connectionClosed(), R"({"code":-32000,"message":"Connection closed"})"},
    };
    for (const auto& c : cases) EXPECT_EQ(sortedText(encode(c.error)), c.json);
    EXPECT_EQ(encodeText(MCPError::methodNotFound("y")),
              R"({"code":-32601,"message":"Method not found: y","data":{"detail":"y"}})");
}

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
        {R"({"code":-32602,"message":"m","data":{"detail":"d"}})", MCPError::Kind::InvalidParams, -32602, "d",
         "Invalid params: d"},
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
