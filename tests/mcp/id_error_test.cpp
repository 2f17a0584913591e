#include "mcp/error.hpp"
#include "mcp/id.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <unordered_set>

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

TEST(ID, StringAndNumberAreDifferentIdentifiers) {
    EXPECT_NE(ID("7"), ID(7));
    EXPECT_EQ(ID(-3).description(), "-3");
    EXPECT_EQ(ID("x y").description(), "x y");
    std::unordered_set<ID> ids{ID("1"), ID(1), ID("1"), ID(1)};
    EXPECT_EQ(ids.size(), 2u);
}

TEST(ID, RandomIsAnUpperCaseVersion4UUID) {
    std::unordered_set<ID> seen;
    for (int i = 0; i < 100; ++i) {
        ID id = ID::random();
        ASSERT_TRUE(id.isString());
        const std::string& s = *id.stringValue();
        ASSERT_EQ(s.size(), 36u);
        for (std::size_t k = 0; k < s.size(); ++k) {
            if (k == 8 || k == 13 || k == 18 || k == 23) {
                EXPECT_EQ(s[k], '-') << s;
            } else {
                EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(s[k])) || (s[k] >= 'A' && s[k] <= 'F')) << s;
            }
        }
        EXPECT_EQ(s[14], '4') << s;
        EXPECT_NE(std::string_view("89AB").find(s[19]), std::string_view::npos) << s;
        seen.insert(id);
    }
    EXPECT_EQ(seen.size(), 100u);
}

TEST(MCPError, TextsAndCodesOfEveryCase) {
    struct Case {
        MCPError error;
        std::int64_t code;
        const char* description;
        const char* failureReason;
        const char* recovery;  // nullptr: none
        const char* debug;
    };
    const Case cases[] = {
        {MCPError::parseError(), -32700, "Parse error: Invalid JSON",
         "The server received invalid JSON that could not be parsed",
         "Verify that the JSON being sent is valid and well-formed", "[-32700] Parse error: Invalid JSON"},
        {MCPError::invalidRequest("x"), -32600, "Invalid Request: x", "The JSON sent is not a valid Request object",
         "Ensure the request follows the JSON-RPC 2.0 specification format", "[-32600] Invalid Request: x"},
        {MCPError::methodNotFound("x"), -32601, "Method not found: x", "The method does not exist or is not available",
         "Check the method name and ensure it is supported by the server", "[-32601] Method not found: x"},
        {MCPError::invalidParams(), -32602, "Invalid params", "Invalid method parameter(s)",
         "Verify the parameters match the method's expected parameters", "[-32602] Invalid params"},
        {MCPError::internalError("boom"), -32603, "Internal error: boom", "Internal JSON-RPC error", nullptr,
         "[-32603] Internal error: boom"},
        {MCPError::serverError(42, "busy"), 42, "Server error: busy", "Server-defined error occurred", nullptr,
         "[42] Server error: busy"},
        {MCPError::transportError(PlatformError("d", 5, "link down")), -32001, "Transport error: link down",
         "link down", nullptr, "[-32001] Transport error: link down (Underlying error: Error Domain=d Code=5 \"link down\")"},
        {MCPError::transportError(PlatformError("d", 5, "link down", "cable")), -32001,
         "Transport error: link down", "cable", nullptr,
         "[-32001] Transport error: link down (Underlying error: Error Domain=d Code=5 \"link down\")"},
        {MCPError::connectionClosed(), -32000, "Connection closed", "The connection to the server was closed",
         "Try reconnecting to the server", "[-32000] Connection closed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.description);
        EXPECT_EQ(c.error.code(), c.code);
        EXPECT_EQ(c.error.errorDescription(), c.description);
        EXPECT_STREQ(c.error.what(), c.description);
        EXPECT_EQ(c.error.failureReason(), c.failureReason);
        EXPECT_EQ(c.error.recoverySuggestion(), c.recovery ? std::optional<std::string>(c.recovery) : std::nullopt);
        EXPECT_EQ(c.error.helpAnchor(), std::nullopt);
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
    // Writing order: code, message, data.
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
