// The message catalogue: wire form, defaults, failures, equality and hashing.
#include "mcp/client_records.hpp"
#include "mcp/envelope.hpp"
#include "mcp/lifecycle.hpp"
#include "mcp/prompts.hpp"
#include "mcp/resources.hpp"
#include "mcp/sampling.hpp"
#include "mcp/server_records.hpp"
#include "mcp/tools.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace mcp {
namespace {

// Decodes `input` as T, re-encodes it, and checks that a second decode of the
// output gives an equal value with an equal hash.
struct RoundTrip {
    std::string label;
    std::function<json::Value(const json::Value&)> run;
    std::string input;
    std::string expected;  // empty: same as input
};

template <class T>
RoundTrip roundTrip(std::string label, std::string input, std::string expected = {}) {
    auto run = [label](const json::Value& in) {
        T first = decode<T>(in);
        json::Value out = encode(first);
        T second = decode<T>(out);
        EXPECT_TRUE(first == second) << label;
        EXPECT_EQ(hashValue(first), hashValue(second)) << label;
        return out;
    };
    return {std::move(label), run, std::move(input), std::move(expected)};
}

void runRoundTrips(const std::vector<RoundTrip>& table) {
    for (const auto& row : table) {
        SCOPED_TRACE(row.label);
        try {
            json::Value out = row.run(json::parse(row.input));
            json::Value expected = json::parse(row.expected.empty() ? row.input : row.expected);
            EXPECT_EQ(json::write(out, {.sortedKeys = true}), json::write(expected, {.sortedKeys = true}));
        } catch (const json::DecodingError& e) {
            ADD_FAILURE() << "decoding failed: " << e.debugDescription();
        }
    }
}

TEST(CatalogueRecords, LifecycleAndClientServerRecordsRoundTrip) {
    runRoundTrips({
        roundTrip<ClientInfo>("client info", R"({"name":"c","version":"1"})"),
        roundTrip<ClientConfiguration>("client configuration", R"({"strict":true})"),
        roundTrip<ClientCapabilities>("no client capabilities", R"({})"),
        roundTrip<ClientCapabilities>("all client capabilities",
                                      R"({"sampling":{},"experimental":{"a":"x"},"roots":{"listChanged":false}})"),
        roundTrip<ClientCapabilities>("sampling of any shape", R"({"sampling":true})", R"({"sampling":{}})"),
        roundTrip<ClientCapabilities>("null sampling is absent", R"({"sampling":null,"roots":null})", R"({})"),
        roundTrip<ClientCapabilities>("roots without flag", R"({"roots":{}})"),
        roundTrip<ClientCapabilities>("empty experimental kept", R"({"experimental":{}})"),
        roundTrip<ClientCapabilities>(
            "experimental objects and data-like strings kept",
            R"({"experimental":{"feature":{"enabled":true,"n":[1,2.5]},"s":"data:,abc","x":null}})"),
        roundTrip<ClientCapabilities>("unknown capabilities ignored", R"({"elicitation":{},"roots":{"listChanged":true}})",
                                      R"({"roots":{"listChanged":true}})"),
        roundTrip<ServerInfo>("server info", R"({"name":"Kettleward","version":"1.0.0"})"),
        roundTrip<ServerConfiguration>("server configuration", R"({"strict":false})"),
        roundTrip<ServerCapabilities>("no server capabilities", R"({})"),
        roundTrip<ServerCapabilities>("logging only", R"({"logging":{}})"),
        roundTrip<ServerCapabilities>("hosting capabilities", R"({"tools":{"listChanged":true}})"),
        roundTrip<ServerCapabilities>("tools without flag", R"({"tools":{}})"),
        roundTrip<ServerCapabilities>("resources subscribe only", R"({"resources":{"subscribe":true}})"),
        roundTrip<ServerCapabilities>(
            "every server capability",
            R"({"logging":{},"prompts":{"listChanged":false},"resources":{"subscribe":false,"listChanged":true},
                "sampling":{},"tools":{"listChanged":true},"completions":{}})",
            R"({"logging":{},"prompts":{"listChanged":false},"resources":{"subscribe":false,"listChanged":true},
                "sampling":{},"tools":{"listChanged":true}})"),
        roundTrip<Initialize::Parameters>(
            "empty initialize params take the defaults", R"({})",
            R"({"protocolVersion":"2025-03-26","capabilities":{},"clientInfo":{"name":"unknown","version":"0.0.0"}})"),
        roundTrip<Initialize::Parameters>(
            "null members take the defaults", R"({"protocolVersion":null,"capabilities":null,"clientInfo":null})",
            R"({"protocolVersion":"2025-03-26","capabilities":{},"clientInfo":{"name":"unknown","version":"0.0.0"}})"),
        roundTrip<Initialize::Parameters>(
            "older revision",
            R"({"protocolVersion":"2024-11-05","capabilities":{},"clientInfo":{"name":"c","version":"1"}})"),
        roundTrip<Initialize::Parameters>(
            "unsupported revision still decodes",
            R"({"protocolVersion":"1999-01-01","capabilities":{"sampling":{}},"clientInfo":{"name":"c","version":"1"}})"),
        roundTrip<Initialize::Result>(
            "result without instructions",
            R"({"protocolVersion":"2025-03-26","capabilities":{"tools":{"listChanged":true}},
                "serverInfo":{"name":"s","version":"1"},"instructions":null})",
            R"({"protocolVersion":"2025-03-26","capabilities":{"tools":{"listChanged":true}},
                "serverInfo":{"name":"s","version":"1"}})"),
        roundTrip<Initialize::Result>("result with instructions",
                                      R"({"protocolVersion":"2024-11-05","capabilities":{},
                                          "serverInfo":{"name":"s","version":"1"},"instructions":"be kind"})"),
        roundTrip<InitializedNotification>("initialized notification reads anything", R"([1,2])", R"({})"),
    });
}

TEST(CatalogueRecords, ResourcesRoundTrip) {
    runRoundTrips({
        roundTrip<Resource>("resource with name and uri", R"({"name":"a","uri":"b"})"),
        roundTrip<Resource>("null description is absent", R"({"name":"a","uri":"b","description":null})",
                            R"({"name":"a","uri":"b"})"),
        roundTrip<Resource>("empty metadata kept", R"({"name":"a","uri":"b","metadata":{}})"),
        roundTrip<Resource>("every resource field",
                            R"({"name":"a","uri":"b","description":"d","mimeType":"text/plain","metadata":{"k":"v"}})"),
        roundTrip<Resource::Content>("content with text and blob",
                                     R"({"uri":"u","mimeType":"m","text":"t","blob":"YQ=="})"),
        roundTrip<Resource::Content>("content with neither", R"({"uri":"u"})"),
        roundTrip<Resource::Template>("template", R"({"uriTemplate":"file:///{path}","name":"files"})"),
        roundTrip<Resource::Template>("full template",
                                      R"({"uriTemplate":"x://{a}","name":"n","description":"d","mimeType":"m"})"),
        roundTrip<ListResources::Parameters>("list resources", R"({"cursor":null})", R"({})"),
        roundTrip<ListResources::Result>("no resources", R"({"resources":[]})"),
        roundTrip<ReadResource::Parameters>("read", R"({"uri":"file:///x"})"),
        roundTrip<ReadResource::Result>("no contents", R"({"contents":[]})"),
        roundTrip<ReadResource::Result>("contents", R"({"contents":[{"uri":"u","text":"hello"}]})"),
        roundTrip<ListResourceTemplates::Parameters>("list templates", R"({"cursor":"c"})"),
        roundTrip<ListResourceTemplates::Result>(
            "templates travel as resourceTemplates",
            R"({"resourceTemplates":[{"uriTemplate":"t","name":"n"}],"nextCursor":"c"})"),
        roundTrip<ResourceSubscribe::Parameters>("subscribe", R"({"uri":"u"})"),
        roundTrip<ResourceUpdatedNotification::Parameters>("updated", R"({"uri":"u"})"),
    });
}

// ---- Failures -------------------------------------------------------------

std::string describePath(const json::CodingPath& path) {
    std::string out;
    for (const auto& element : path) {
        if (!out.empty()) out += '/';
        out += element.index >= 0 ? std::to_string(element.index) : element.key;
    }
    return out;
}

struct Failure {
    std::string label;
    std::function<void(const json::Value&)> run;
    std::string input;
    json::DecodingError::Kind kind;
    std::string description;  // empty: not checked (the decoder's own text)
    std::string path;
};

template <class T>
Failure failure(std::string label, std::string input, json::DecodingError::Kind kind, std::string path,
                std::string description = {}) {
    return {std::move(label), [](const json::Value& v) { (void)decode<T>(v); }, std::move(input), kind,
            std::move(description), std::move(path)};
}

void runFailures(const std::vector<Failure>& table) {
    for (const auto& row : table) {
        SCOPED_TRACE(row.label);
        try {
            row.run(json::parse(row.input));
            ADD_FAILURE() << "decoded without error";
        } catch (const json::DecodingError& e) {
            EXPECT_EQ(e.kind(), row.kind) << e.debugDescription();
            if (!row.description.empty()) {
                EXPECT_EQ(e.debugDescription(), row.description);
            }
            EXPECT_EQ(describePath(e.codingPath()), row.path);
        }
    }
}

using Kind = json::DecodingError::Kind;

TEST(CatalogueFailures, UnknownContentTypesHaveTheirOwnTexts) {
    runFailures({
        failure<Tool::Content>("tool video", R"({"type":"video"})", Kind::DataCorrupted, "type",
                               "Unknown tool content type"),
        failure<Tool::Content>("tool capital Text", R"({"type":"Text","text":"x"})", Kind::DataCorrupted, "type",
                               "Unknown tool content type"),
        failure<CallTool::Result>("inside a call result",
                                  R"({"content":[{"type":"text","text":"ok"},{"type":"video"}]})",
                                  Kind::DataCorrupted, "content/1/type", "Unknown tool content type"),
        failure<Prompt::Message::Content>("prompt video", R"({"type":"video"})", Kind::DataCorrupted, "type",
                                          "Unknown content type"),
        failure<GetPrompt::Result>("inside a prompt message",
                                   R"({"messages":[{"role":"user","content":{"type":"Text","text":"x"}}]})",
                                   Kind::DataCorrupted, "messages/0/content/type", "Unknown content type"),
        failure<Sampling::Message::Content>("sampling audio", R"({"type":"audio","data":"","mimeType":"a"})",
                                            Kind::DataCorrupted, "type", "Unknown sampling message content type"),
        failure<Sampling::Message::Content>("sampling capital Image", R"({"type":"Image","data":"","mimeType":"a"})",
                                            Kind::DataCorrupted, "type", "Unknown sampling message content type"),
        failure<Tool::Content>("type missing", R"({"text":"x"})", Kind::KeyNotFound, ""),
        failure<Tool::Content>("type not a string", R"({"type":1})", Kind::TypeMismatch, "type"),
    });
}

// ---- Wire bytes -------------------------------------------------------------

TEST(CatalogueWire, ExactBytesWithSortedKeys) {
    const json::WriteOptions sorted{.sortedKeys = true};
    EXPECT_EQ(encodeText(Tool{"t", std::nullopt, Value(Object{}), {}}, sorted),
              R"({"description":null,"inputSchema":{},"name":"t"})");
    Tool::Annotations readOnly;
    readOnly.readOnlyHint = false;
    EXPECT_EQ(encodeText(Tool{"t", "d", Value(), readOnly}, sorted),
              R"({"annotations":{"readOnlyHint":false},"description":"d","inputSchema":null,"name":"t"})");
    EXPECT_EQ(encodeText(Tool::Content("hi")), R"({"type":"text","text":"hi"})");
    EXPECT_EQ(encodeText(Prompt::Message::Content("hi")), R"({"type":"text","text":"hi"})");
    EXPECT_EQ(encodeText(Sampling::Message::Content("hi")), R"({"type":"text","text":"hi"})");
    EXPECT_EQ(encodeText(CallTool::Result{{}, std::nullopt}), R"({"content":[]})");
    EXPECT_EQ(encodeText(ClientCapabilities{}), "{}");
    EXPECT_EQ(encodeText(ServerCapabilities{.tools = ServerCapabilities::Tools{true}}), R"({"tools":{"listChanged":true}})");
    EXPECT_EQ(encodeText(ServerCapabilities{.resources = ServerCapabilities::Resources{true, std::nullopt}}),
              R"({"resources":{"subscribe":true}})");
    EXPECT_EQ(encodeText(CreateSamplingMessage::Parameters{.messages = {}, .maxTokens = 10}),
              R"({"messages":[],"maxTokens":10})");
    EXPECT_EQ(encodeText(Prompt::Reference{"p"}), R"({"type":"ref/prompt","name":"p"})");
    EXPECT_EQ(encodeText(Prompt{"p", std::nullopt, std::nullopt}), R"({"name":"p"})");
    EXPECT_EQ(encodeText(Prompt::Argument{"a", std::nullopt, false}), R"({"name":"a","required":false})");

    const Bytes noBytes;
    EXPECT_EQ(encodeText(Resource::Content::fromText("hello", "file:///a")), R"({"uri":"file:///a","text":"hello"})");
    EXPECT_EQ(encodeText(Resource::Content::fromData(noBytes, "u", "application/octet-stream")),
              R"({"uri":"u","mimeType":"application/octet-stream","blob":""})");
    EXPECT_EQ(encodeText(Resource::Content::fromData(Bytes{'a', 'b', 'c'}, "u")), R"({"uri":"u","blob":"YWJj"})");
}

// ---- Envelopes ----------------------------------------------------------------

template <class T>
std::string decodeFailure(std::string_view text) {
    try {
        (void)decodeText<T>(text);
    } catch (const json::DecodingError& e) {
        return e.debugDescription();
    }
    return "decoded";
}

TEST(CatalogueEnvelopes, ParametersThatMayBeLeftOut) {
    auto list = decodeText<Request<ListTools>>(R"({"jsonrpc":"2.0","id":1,"method":"tools/list"})");
    EXPECT_FALSE(list.params.cursor);
    EXPECT_FALSE(decodeText<Request<ListResources>>(R"({"jsonrpc":"2.0","id":1,"method":"resources/list"})")
                     .params.cursor);
    EXPECT_FALSE(decodeText<Request<ListResourceTemplates>>(
                     R"({"jsonrpc":"2.0","id":1,"method":"resources/templates/list","params":null})")
                     .params.cursor);
    EXPECT_FALSE(decodeText<Request<ListPrompts>>(R"({"jsonrpc":"2.0","id":1,"method":"prompts/list"})").params.cursor);

    EXPECT_EQ(decodeFailure<Request<CallTool>>(R"({"jsonrpc":"2.0","id":1,"method":"tools/call"})"),
              "Missing required params field");
    EXPECT_EQ(decodeFailure<Request<ReadResource>>(R"({"jsonrpc":"2.0","id":1,"method":"resources/read"})"),
              "Missing required params field");
    EXPECT_EQ(decodeFailure<Request<GetPrompt>>(R"({"jsonrpc":"2.0","id":1,"method":"prompts/get","params":null})"),
              "Missing required params field");
    EXPECT_EQ(decodeFailure<Request<CreateSamplingMessage>>(
                  R"({"jsonrpc":"2.0","id":1,"method":"sampling/createMessage"})"),
              "Missing required params field");
    EXPECT_EQ(decodeFailure<Message<ResourceUpdatedNotification>>(
                  R"({"jsonrpc":"2.0","method":"notifications/resources/updated"})"),
              "Missing required params field");

    auto call = decodeText<Request<CallTool>>(R"({"jsonrpc":"2.0","id":"a","method":"tools/call","params":{"name":"t"}})");
    EXPECT_EQ(call.params.name, "t");
    EXPECT_FALSE(call.params.arguments);
}

}  // namespace
}  // namespace mcp
