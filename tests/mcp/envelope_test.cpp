#include "mcp/envelope.hpp"
#include "support/test_methods.hpp"

#include <gtest/gtest.h>

#include <functional>

namespace mcp {
namespace {
using testsupport::Echo;

struct List {
    struct Parameters {
        std::optional<std::string> cursor;
        friend bool operator==(const Parameters&, const Parameters&) = default;
    };
    using Result = Empty;
    static constexpr std::string_view name = "test/list";
};
json::Value toJson(const List::Parameters& p) {
    ObjectEncoder out;
    out.setOptional("cursor", p.cursor);
    return std::move(out).finish();
}
List::Parameters fromJson(const json::Value& v, json::CodingPath& path, std::type_identity<List::Parameters>) {
    ObjectDecoder in(v, path);
    return {in.optional<std::string>("cursor")};
}
}  // namespace
template <>
inline constexpr bool enableNotRequired<List::Parameters> = true;
namespace {
struct Ping {
    using Parameters = Empty;
    using Result = Empty;
    static constexpr std::string_view name = "ping";
};

struct Changed {
    using Parameters = Empty;
    static constexpr std::string_view name = "notifications/changed";
};

struct Said {
    using Parameters = testsupport::Text;
    static constexpr std::string_view name = "notifications/said";
};

static_assert(Method<Echo> && Method<List> && Method<Ping> && Method<AnyMethod>);
static_assert(Notification<Changed> && Notification<Said> && Notification<AnyNotification>);
static_assert(NotRequired<List::Parameters> && NotRequired<Empty> && NotRequired<Value>);
static_assert(!NotRequired<Echo::Parameters>);

TEST(Envelope, DecodingFailures) {
    using K = json::DecodingError::Kind;
    struct Case {
        const char* input;
        std::function<void(std::string_view)> decode;
        K kind;
        const char* description;  // nullptr: the decoder's own text, not checked
        json::CodingPath path;
    };
    auto request = [](auto tag) {
        return [](std::string_view t) { decodeText<Request<typename decltype(tag)::type>>(t); };
    };
    auto anyResponse = [](std::string_view t) { decodeText<Response<Echo>>(t); };
    auto anyMessage = [](std::string_view t) { decodeText<AnyMessage>(t); };
    auto said = [](std::string_view t) { decodeText<Message<Said>>(t); };
    const auto echo = request(std::type_identity<Echo>{});
    const auto list = request(std::type_identity<List>{});
    const auto any = request(std::type_identity<AnyMethod>{});
    const json::CodingPath top;
    const Case cases[] = {
        {R"({"jsonrpc":"1.0","id":1,"method":"m"})", any, K::DataCorrupted, "Invalid JSON-RPC version",
         {json::PathElement::member("jsonrpc")}},
        {R"({"id":1,"method":"m"})", any, K::KeyNotFound, nullptr, top},
        {R"({"jsonrpc":"2.0","id":1})", any, K::KeyNotFound, nullptr, top},
        {R"({"jsonrpc":"2.0","id":true,"method":"m"})", any, K::DataCorrupted, "ID must be string or number",
         {json::PathElement::member("id")}},
        {R"({"jsonrpc":"2.0","id":1,"method":"test/echo"})", echo, K::DataCorrupted, "Missing required params field",
         top},
        {R"({"jsonrpc":"2.0","id":1,"method":"test/echo","params":5})", echo, K::DataCorrupted,
         "Invalid params field", top},
        {R"({"jsonrpc":"2.0","id":1,"method":"test/list","params":5})", list, K::TypeMismatch, nullptr,
         {json::PathElement::member("params")}},
        {R"({"jsonrpc":"2.0","method":"notifications/said"})", said, K::DataCorrupted,
         "Missing required params field", top},
        {R"({"jsonrpc":"1.0","method":"n"})", anyMessage, K::DataCorrupted, "Invalid JSON-RPC version",
         {json::PathElement::member("jsonrpc")}},
        {R"({"jsonrpc":"2.0","id":1})", anyResponse, K::DataCorrupted, "Invalid response", top},
        {R"({"jsonrpc":"2.0","id":1,"result":{"wrong":1}})", anyResponse, K::DataCorrupted, "Invalid response", top},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        try {
            c.decode(c.input);
            ADD_FAILURE() << "decoded";
        } catch (const json::DecodingError& e) {
            EXPECT_EQ(e.kind(), c.kind) << e.debugDescription();
            if (c.description) {
                EXPECT_EQ(e.debugDescription(), c.description);
            }
            EXPECT_EQ(e.codingPath(), c.path) << e.debugDescription();
        }
    }
}

}  // namespace
}  // namespace mcp
