#include "mcp/envelope.hpp"
#include "mcp/envelope_scan.hpp"
#include "support/test_methods.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <limits>

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

std::string sortedText(const json::Value& v) { return json::write(v, {.sortedKeys = true}); }

template <class T>
std::string roundTrip(std::string_view text) {
    return sortedText(encode(decodeText<T>(text)));
}

TEST(Envelope, Encoding) {
    struct Case {
        json::Value encoded;
        const char* json;
    };
    const Case cases[] = {
        {encode(request<Ping>(1)), R"({"id":1,"jsonrpc":"2.0","method":"ping","params":{}})"},
        {encode(request<Echo>("a", {"hi"})), R"({"id":"a","jsonrpc":"2.0","method":"test/echo","params":{"text":"hi"}})"},
        {encode(request<List>(2, {})), R"({"id":2,"jsonrpc":"2.0","method":"test/list","params":{}})"},
        {encode(AnyRequest{3, "x", Value()}), R"({"id":3,"jsonrpc":"2.0","method":"x","params":null})"},
        {encode(message<Changed>()), R"({"jsonrpc":"2.0","method":"notifications/changed"})"},
        {encode(message<Said>({"yo"})), R"({"jsonrpc":"2.0","method":"notifications/said","params":{"text":"yo"}})"},
        {encode(AnyMessage{"n", Value()}), R"({"jsonrpc":"2.0","method":"n","params":null})"},
        {encode(response<Ping>(4)), R"({"id":4,"jsonrpc":"2.0","result":{}})"},
        {encode(response<Echo>(5, Echo::Result{"r"})), R"({"id":5,"jsonrpc":"2.0","result":{"text":"r"}})"},
        {encode(response<Echo>(6, MCPError::methodNotFound())),
         R"({"error":{"code":-32601,"message":"Method not found"},"id":6,"jsonrpc":"2.0"})"},
        {encode(AnyResponse(7, Value())), R"({"id":7,"jsonrpc":"2.0","result":null})"},
    };
    for (const auto& c : cases) EXPECT_EQ(sortedText(c.encoded), c.json);
    EXPECT_EQ(encodeText(request<Ping>(1)), R"({"jsonrpc":"2.0","id":1,"method":"ping","params":{}})");
}

TEST(Envelope, DecodingSucceeds) {
    struct Case {
        const char* input;
        std::function<std::string(std::string_view)> roundTrip;
        const char* output;
    };
    const Case cases[] = {
        {R"({"jsonrpc":"2.0","id":1,"method":"m"})", roundTrip<AnyRequest>,
         R"({"id":1,"jsonrpc":"2.0","method":"m","params":null})"},
        {R"({"jsonrpc":"2.0","id":null,"method":"m","params":{"a":"data:,x"}})", roundTrip<AnyRequest>,
         R"({"id":null,"jsonrpc":"2.0","method":"m","params":{"a":"data:,x"}})"},
        {R"({"jsonrpc":"2.0","id":1,"method":"ping","params":[1,2]})", roundTrip<Request<Ping>>,
         R"({"id":1,"jsonrpc":"2.0","method":"ping","params":{}})"},
        {R"({"jsonrpc":"2.0","id":1,"method":"ping","params":7})", roundTrip<Request<Ping>>,
         R"({"id":1,"jsonrpc":"2.0","method":"ping","params":{}})"},
        {R"({"jsonrpc":"2.0","id":1,"method":"test/list"})", roundTrip<Request<List>>,
         R"({"id":1,"jsonrpc":"2.0","method":"test/list","params":{}})"},
        {R"({"jsonrpc":"2.0","id":1,"method":"test/list","params":null})", roundTrip<Request<List>>,
         R"({"id":1,"jsonrpc":"2.0","method":"test/list","params":{}})"},
        {R"({"jsonrpc":"2.0","id":1,"method":"test/list","params":{"cursor":"c","x":1}})", roundTrip<Request<List>>,
         R"({"id":1,"jsonrpc":"2.0","method":"test/list","params":{"cursor":"c"}})"},
        {R"({"jsonrpc":"2.0","method":"n"})", roundTrip<AnyMessage>, R"({"jsonrpc":"2.0","method":"n","params":null})"},
        {R"({"jsonrpc":"2.0","method":"n","id":9,"params":[1]})", roundTrip<AnyMessage>,
         R"({"jsonrpc":"2.0","method":"n","params":[1]})"},
        {R"({"jsonrpc":"2.0","method":"notifications/changed","params":{"a":1}})", roundTrip<Message<Changed>>,
         R"({"jsonrpc":"2.0","method":"notifications/changed"})"},
        {R"({"jsonrpc":"2.0","id":1,"result":{"text":"r"},"error":{"code":1,"message":"m"}})",
         roundTrip<Response<Echo>>, R"({"id":1,"jsonrpc":"2.0","result":{"text":"r"}})"},
        {R"({"jsonrpc":"2.0","id":1,"result":{"wrong":1},"error":{"code":1,"message":"m"}})",
         roundTrip<Response<Echo>>, R"({"error":{"code":1,"message":"Server error: m"},"id":1,"jsonrpc":"2.0"})"},
        // The id survives a result that does not fit.
        {R"({"jsonrpc":"2.0","id":"abc","result":[1],"error":{"code":-32603,"message":"m"}})", roundTrip<Response<Echo>>,
         R"({"error":{"code":-32603,"message":"Internal error"},"id":"abc","jsonrpc":"2.0"})"},
        {R"({"jsonrpc":"2.0","id":1,"result":null,"error":{"code":-32600,"message":"m"}})", roundTrip<AnyResponse>,
         R"({"id":1,"jsonrpc":"2.0","result":null})"},
        {R"({"jsonrpc":"2.0","id":"r","error":{"code":-32602,"message":"m"}})", roundTrip<AnyResponse>,
         R"({"error":{"code":-32602,"data":{"detail":"m"},"message":"Invalid params: m"},"id":"r","jsonrpc":"2.0"})"},
        {R"({"jsonrpc":"2.0","id":2,"result":"anything"})", roundTrip<Response<Ping>>,
         R"({"id":2,"jsonrpc":"2.0","result":{}})"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.roundTrip(c.input), c.output) << c.input;
}

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

// The fast reading must take the common forms and agree with the general one
// on everything it takes.
TEST(Envelope, PlainReadingAgreesWithTheGeneralOne) {
    const std::string deep = std::string(506, '[') + std::string(506, ']');
    const std::string longRun(40, 'a');  // past the bytes looked at in place
    const std::pair<std::string, bool> rows[] = {
        {R"({"jsonrpc":"2.0","id":1,"method":"ping"})", true},
        {" { \"method\" : \"tools/call\" , \"params\" : {\"name\":\"a\\\"}b\",\"arguments\":{\"method\":\"x\",\"id\":2}} , "
         "\"id\" : \"s-1\" , \"jsonrpc\" : \"2.0\" }\r", true},
        {R"({"method":"notifications/initialized","jsonrpc":"2.0"})", true},
        {R"({"jsonrpc":"2.0","id":-9223372036854775808,"method":"m","params":[1,"]",{},true]})", true},
        {R"({"jsonrpc":"2.0","id":0,"method":"m","params":null})", true},
        {R"({"jsonrpc":"2.0","id":2,"method":"","params":"data:text/plain;base64,SGk="})", true},
        {R"({"jsonrpc":"2.0","id":3,"method":"m","params":-1.5e3})", true},
        {R"({"jsonrpc":"2.0","id":9223372036854775808,"method":"m"})", false},
        {R"({"jsonrpc":"2.0","id":1.0,"method":"m"})", false},
        {R"({"jsonrpc":"2.0","id":01,"method":"m"})", false},
        {R"({"jsonrpc":"2.0","id":1,"id":2,"method":"m"})", false},
        {R"({"jsonrpc":"2.0","i\u0064":1,"method":"m"})", false},
        {R"({"jsonrpc":"2.0","id":1,"method":"p\u0069ng"})", false},
        {R"({"jsonrpc":"1.0","id":1,"method":"m"})", false},
        {R"({"jsonrpc":"2.0","id":null,"method":"m"})", false},
        {R"({"jsonrpc":"2.0","id":"é","method":"m"})", false},
        {R"({"jsonrpc":"2.0","id":1,"method":"m","extra":0})", false},
        {R"({"jsonrpc":"2.0","id":1,"method":"m","params":{"a":1e999}})", false},
        {R"({"jsonrpc":"2.0","id":1,"method":"m","params":tru})", false},
        {R"({"jsonrpc":"2.0","id":1,"method":"m","params":{"a":[}]})", false},
        {R"({"jsonrpc":"2.0","id":1,"method":"m","params":5,})", false},
        {R"({"jsonrpc":"2.0","id":1,"method":"m","params":{"a":"\"}})", false},
        {R"({"jsonrpc":"2.0","id":1,"method":"m","params":{"a":")" + longRun + R"(\"}]\\\\)" + longRun +
             R"(\\","b":[")" + longRun + R"("]}})",
         true},
        // The same where the direct reading declines (a number that underflows):
        // the text is skipped and parsed instead, escaped quotes and all.
        {R"({"jsonrpc":"2.0","id":1,"method":"m","params":{"a":")" + longRun + R"(\"}]\\\\)" + longRun +
             R"(\\","z":1e-400}})",
         true},
        {R"({"jsonrpc":"2.0","id":1,"method":"m","params":{"a":")" + longRun + R"(\"}})", false},
        {R"({"jsonrpc":"2.0","id":1,"method":"m"} x)", false},
        {R"({"jsonrpc":"2.0","id":1})", false},
        {"\xEF\xBB\xBF{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"m\"}", false},
        {R"([{"jsonrpc":"2.0","id":1,"method":"m"}])", false},
        {R"({"jsonrpc":"2.0","id":1,"method":"m","params":)" + deep + "}", false},
    };
    for (const auto& [text, taken] : rows) {
        SCOPED_TRACE(text);
        const auto plain = readPlainMessage(text);
        ASSERT_EQ(plain.has_value(), taken);
        if (!plain) continue;
        const json::Value parsed = json::parse(text);
        if (parsed.find("id")) {
            EXPECT_EQ(std::get<AnyRequest>(*plain), decode<AnyRequest>(parsed));
        } else {
            EXPECT_EQ(std::get<AnyMessage>(*plain), decode<AnyMessage>(parsed));
        }
    }
}

// The tool name of params read as a value, where they have the form the
// tool path takes: an object, "name" a string, "arguments" an object, null
// or absent.
std::optional<std::string> toolNameIn(const Value& params) {
    const Object* object = params.objectValue();
    if (!object) return std::nullopt;
    const auto name = object->find("name");
    const auto arguments = object->find("arguments");
    if (name == object->end() || !name->second.stringValue()) return std::nullopt;
    if (arguments != object->end() && !arguments->second.isNull() && !arguments->second.objectValue())
        return std::nullopt;
    return *name->second.stringValue();
}

// A tools/call's params checked without being built: the name where the
// reading would find the tool path's form, nothing elsewhere.
TEST(Envelope, ToolCallParamsAreCheckedAsTheirReadingWouldFindThem) {
    // With the params object and the arguments, as deep as the plain reading goes.
    const std::string deep = std::string(json::kMaxDepth - 10, '[') + std::string(json::kMaxDepth - 10, ']');
    const std::string tooDeep = "[" + deep + "]";
    // Five values before the members, two for each member (its key and its value).
    const auto members = [](std::size_t n) {
        std::string text = R"({"name":"a","arguments":{)";
        for (std::size_t i = 0; i < n; ++i) text += i ? R"(,"k":0)" : R"("k":0)";
        return text + "}}";
    };
    const std::size_t most = (kMessageReadBudget.values - 5) / 2;
    const std::pair<std::string, std::optional<std::string>> rows[] = {
        {R"({"name":"send_email","arguments":{"to":"a@b"}})", "send_email"},
        {R"({"arguments":{"name":"inner"},"name":"outer"})", "outer"},
        {R"({"name":"a","name":"b"})", "b"},
        {R"({"name":"a","name":5})", std::nullopt},
        {R"({"name":5,"name":"a"})", "a"},
        {R"({"name":"a","arguments":{},"arguments":[1]})", std::nullopt},
        {R"({"name":"a","arguments":[1],"arguments":null})", "a"},
        {R"({"n\u0061me":"escaped \"key\" and \u00e9"})", "escaped \"key\" and \u00e9"},
        {R"({"name":"a","_meta":{"progressToken":1},"extra":[true,null]})", "a"},
        {R"({"arguments":{}})", std::nullopt},
        {R"({"name":"a","arguments":"x"})", std::nullopt},
        {R"(["name","a"])", std::nullopt},
        {R"("a")", std::nullopt},
        {R"({"name":"a"} x)", std::nullopt},
        {R"({"name":"a","arguments":{"deep":)" + deep + "}}", "a"},
        {R"({"name":"a","arguments":{"deep":)" + tooDeep + "}}", std::nullopt},  // left to the general reading
        {members(most), "a"},
        {members(most + 1), std::nullopt},  // over the budget: refused the general way
    };
    for (const auto& [params, name] : rows) {
        SCOPED_TRACE(params.substr(0, 80));
        EXPECT_EQ(plainToolCallName(params), name);
        if (!name) continue;
        const std::optional<Value> read = readPlainParams(params);
        ASSERT_TRUE(read);
        EXPECT_EQ(toolNameIn(*read), name);
    }
}

// Params read straight into a Value, as the scan meets them: the very value
// (and written text) decoding json::parse's tree gives, or declined, and the
// message then goes the general way (read from its text, refused, or TooLarge
// past the budget).
TEST(Envelope, ParamsReadStraightMatchTheGeneralReading) {
    enum Outcome { Read, ReadFromText, Refused, OverBudget };
    struct Row {
        std::string params;
        Outcome outcome;
        std::optional<Value> expected = std::nullopt;
    };
    const auto nested = [](std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); };
    const auto zeros = [](std::size_t n) {  // one value per element, one for the array
        std::string text = "[0";
        for (std::size_t i = 1; i < n; ++i) text += ",0";
        return text + "]";
    };
    const auto manyObjects = [](std::size_t n) {  // three values each, one more for the array
        std::string text = "[";
        for (std::size_t i = 0; i < n; ++i) text += i ? R"(,{"a":0})" : R"({"a":0})";
        return text + "]";
    };
    const auto keyAndText = [](std::size_t bytes) {  // one byte of key, the rest in the string
        return R"({"k":")" + std::string(bytes - 1, 'x') + R"("})";
    };
    const std::size_t values = kMessageReadBudget.values, textBytes = kMessageReadBudget.textBytes;
    const Row rows[] = {
        {R"({"a":1,"a":2})", Read, Value::object({{"a", 2}})},
        {R"({"a":{"x":1},"b":0,"a":[true]})", Read, Value::object({{"a", Array{true}}, {"b", 0}})},
        {R"({"o":{"k":"v","k":{"k":null}},"o":{"k":[]}})", Read,
         Value::object({{"o", Value::object({{"k", Array{}}})}})},
        {"[9223372036854775807,-9223372036854775808]", Read,
         Array{std::numeric_limits<std::int64_t>::max(), std::numeric_limits<std::int64_t>::min()}},
        {"[9223372036854775808,18446744073709551615,18446744073709551616,-9223372036854775809]", Read,
         Array{0x1p63, 0x1p64, 0x1p64, -0x1p63}},
        {"[1.0,1e2,-0.0,1E+0,-9223372036854775808.0,9223372036854775808.0]", Read,
         Array{1, 100, 0, 1, std::numeric_limits<std::int64_t>::min(), 0x1p63}},
        {"[1.5,-2.5e-3,5e-324,1.7976931348623157e308]", Read, Array{1.5, -2.5e-3, 5e-324, 1.7976931348623157e308}},
        {"[1,-1e-400]", ReadFromText, Array{1, -0.0}},  // underflow: left to the general reading
        {R"(["\ud83d\ude00\u00e9\n\t\/\\\"\u0000","é𝄞"])", Read,
         Array{"\U0001F600\u00e9\n\t/\\\"" + std::string(1, '\0'), "é𝄞"}},
        {R"({"\u0061":1,"a":2})", Read, Value::object({{"a", 2}})},
        {R"(" \ud83d")", Refused},
        {R"("\ude00\ud83d")", Refused},
        {"\"\xC3\"", Refused},
        {"1e309", Refused},
        {R"({"a":1,})", Refused},
        {"{}", Read, Object{}},
        {"[]", Read, Array{}},
        {R"({"a":{},"b":[],"c":""})", Read, Value::object({{"a", Object{}}, {"b", Array{}}, {"c", ""}})},
        {" \t\r\n5 ", Read, 5},
        {nested(json::kMaxDepth - 8), Read},  // the deepest the scan takes
        {nested(json::kMaxDepth - 7), Refused},
        {nested(json::kMaxDepth + 100), Refused},
        {zeros(values - 1), Read},
        {manyObjects((values - 1) / 3), Read},
        {manyObjects((values - 1) / 3 + 1), OverBudget},
        {keyAndText(textBytes), Read},
        {keyAndText(textBytes + 1), OverBudget},
    };
    for (const auto& [params, outcome, expected] : rows) {
        SCOPED_TRACE(params.substr(0, 80));
        const std::optional<Value> direct = detail::readValueDirectly(params);
        const std::string message = R"({"jsonrpc":"2.0","id":1,"method":"m","params":)" + params + "}";
        // The check a tools/call's params get takes what the direct reading takes, and no more.
        EXPECT_EQ(plainToolCallName(params), direct ? toolNameIn(*direct) : std::nullopt);
        if (outcome == OverBudget) {
            EXPECT_FALSE(direct);
            EXPECT_THROW(readPlainMessage(message), json::TooLarge);
            continue;
        }
        if (outcome == Refused) {
            EXPECT_FALSE(direct);
            EXPECT_FALSE(readPlainMessage(message));
            continue;
        }
        ASSERT_EQ(direct.has_value(), outcome == Read);
        const Value general = decode<Value>(json::parse(params, kMessageReadBudget));
        if (direct) {
            EXPECT_EQ(*direct, general);
            EXPECT_EQ(sortedText(toJson(*direct)), sortedText(toJson(general)));
        }
        const auto plain = readPlainMessage(message);
        ASSERT_TRUE(plain);
        const Value& read = std::get<AnyRequest>(*plain).params;
        EXPECT_EQ(read, general);
        EXPECT_EQ(sortedText(toJson(read)), sortedText(toJson(general)));
        if (expected) {
            EXPECT_EQ(read, *expected);
            EXPECT_EQ(sortedText(toJson(read)), sortedText(toJson(*expected)));
        }
    }
}

// Written around a result without the general writer: the same bytes.
// The id of a message refused as too large, read from its start: whole
// messages, and starts cut anywhere (a number or string running to the cut
// is not known whole).
TEST(Envelope, TheLeadingIdIsReadFromTheMembersBeforeTheCut) {
    const std::pair<std::string, std::optional<ID>> rows[] = {
        {R"({"jsonrpc":"2.0","id":12,"method":"tools/call","params":{"a":)", ID(12)},
        {R"( { "id" : "s/1" , "params": [)", ID("s/1")},
        {R"({"jsonrpc":"2.0","method":"m","params":{"x":"}\"]","y":[{}]},"id":-7})", ID(-7)},
        {R"({"jsonrpc":"2.0","params":{"x":"}"},"id":)" "\"late\"}", ID("late")},
        {R"({"jsonrpc":"2.0","id":12)", std::nullopt},
        {R"({"jsonrpc":"2.0","id":"ab)", std::nullopt},
        {R"({"jsonrpc":"2.0","params":{"x":"long text cut)", std::nullopt},
        {R"({"jsonrpc":"2.0","id":"\u0031"})", std::nullopt},
        {R"({"jsonrpc":"2.0","id":1.5})", std::nullopt},
        {R"({"jsonrpc":"2.0","id":null})", std::nullopt},
        {R"([{"jsonrpc":"2.0","id":1}])", std::nullopt},
        {R"({"i\u0064":1})", std::nullopt},
        {"xxxxxxxx", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& [text, id] : rows) EXPECT_EQ(leadingRequestId(text), id) << text;
}

TEST(Envelope, WrittenResponsesMatchTheGeneralWriter) {
    const json::WriteOptions optionSets[] = {{.sortedKeys = true}, {}, {.escapeSlashes = true}, {.pretty = true}};
    const auto result = std::make_shared<const std::string>(R"({"a/b":[1]})");
    for (const auto& options : optionSets) {
        for (const ID& id : {ID(7), ID("x/1")}) {
            SCOPED_TRACE(id.description());
            const std::string expected =
                json::write(encode(AnyResponse(id, decode<Value>(json::parse(*result)))), options);
            EXPECT_EQ(writeResponse(id, json::write(json::parse(*result), options), options), expected);
            if (!options.escapeSlashes) {
                EXPECT_EQ(writeResponse(id, result, options).joined(), expected);
            }
        }
    }
}

}  // namespace
}  // namespace mcp
