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

static_assert(Method<Initialize> && Method<Ping> && Method<ListTools> && Method<CallTool>);
static_assert(Method<ListResources> && Method<ReadResource> && Method<ListResourceTemplates>);
static_assert(Method<ResourceSubscribe> && Method<ListPrompts> && Method<GetPrompt>);
static_assert(Method<CreateSamplingMessage>);
static_assert(Notification<InitializedNotification> && Notification<ToolListChangedNotification>);
static_assert(Notification<ResourceListChangedNotification> && Notification<ResourceUpdatedNotification>);
static_assert(Notification<PromptListChangedNotification>);
static_assert(NotRequired<ListTools::Parameters> && NotRequired<ListResources::Parameters>);
static_assert(NotRequired<ListResourceTemplates::Parameters> && NotRequired<ListPrompts::Parameters>);
static_assert(!NotRequired<CallTool::Parameters> && !NotRequired<ReadResource::Parameters>);
static_assert(!NotRequired<GetPrompt::Parameters> && !NotRequired<CreateSamplingMessage::Parameters>);
static_assert(ToolListChangedNotification::name.size() == 32);
static_assert(ResourceListChangedNotification::name.size() == 36);
static_assert(ResourceUpdatedNotification::name.size() == 31);
static_assert(PromptListChangedNotification::name.size() == 34);
static_assert(CreateSamplingMessage::name.size() == 22);
static_assert(Prompt::Reference::type.size() == 10);

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

TEST(CatalogueRecords, ToolsRoundTrip) {
    runRoundTrips({
        roundTrip<Tool>("tool without description writes null", R"({"name":"t","inputSchema":{}})",
                        R"({"name":"t","description":null,"inputSchema":{}})"),
        roundTrip<Tool>("empty annotations left out",
                        R"({"name":"t","description":"d","inputSchema":{"type":"object"},"annotations":{}})",
                        R"({"name":"t","description":"d","inputSchema":{"type":"object"}})"),
        roundTrip<Tool>("null annotations are empty",
                        R"({"name":"t","description":null,"inputSchema":{},"annotations":null})",
                        R"({"name":"t","description":null,"inputSchema":{}})"),
        roundTrip<Tool>("a false hint is present",
                        R"({"name":"t","description":null,"inputSchema":{},"annotations":{"readOnlyHint":false}})"),
        roundTrip<Tool>("every annotation",
                        R"({"name":"t","description":null,"inputSchema":{},"annotations":{"title":"T",
                            "destructiveHint":true,"idempotentHint":false,"openWorldHint":true,"readOnlyHint":false}})"),
        roundTrip<Tool>("null input schema", R"({"name":"t","description":null,"inputSchema":null})"),
        roundTrip<Tool::Content>("text content", R"({"type":"text","text":"hi"})"),
        roundTrip<Tool::Content>("image without metadata", R"({"type":"image","data":"AAAA","mimeType":"image/png"})"),
        roundTrip<Tool::Content>("image with empty metadata",
                                 R"({"type":"image","data":"AAAA","mimeType":"image/png","metadata":{}})"),
        roundTrip<Tool::Content>("image with metadata",
                                 R"({"type":"image","data":"","mimeType":"image/png","metadata":{"w":"1","h":"2"}})"),
        roundTrip<Tool::Content>("audio content", R"({"type":"audio","data":"UklG","mimeType":"audio/wav","x":1})",
                                 R"({"type":"audio","data":"UklG","mimeType":"audio/wav"})"),
        roundTrip<Tool::Content>("flat resource content, null text",
                                 R"({"type":"resource","uri":"file:///a","mimeType":"text/plain","text":null})",
                                 R"({"type":"resource","uri":"file:///a","mimeType":"text/plain"})"),
        roundTrip<Tool::Content>("resource content with text",
                                 R"({"type":"resource","uri":"file:///a","mimeType":"text/plain","text":"x"})"),
        roundTrip<ListTools::Parameters>("list tools without cursor", R"({})"),
        roundTrip<ListTools::Parameters>("list tools with cursor", R"({"cursor":"c1"})"),
        roundTrip<ListTools::Result>("empty tool list", R"({"tools":[],"nextCursor":null})", R"({"tools":[]})"),
        roundTrip<ListTools::Result>("tool list with cursor",
                                     R"({"tools":[{"name":"a","description":null,"inputSchema":{}}],"nextCursor":"n"})"),
        roundTrip<CallTool::Parameters>("call without arguments", R"({"name":"t"})"),
        roundTrip<CallTool::Parameters>("call with any JSON arguments",
                                        R"({"name":"t","arguments":{"n":1,"d":1.5,"o":{"k":[true,null]},"s":"x"}})"),
        roundTrip<CallTool::Result>("empty content", R"({"content":[]})"),
        roundTrip<CallTool::Result>("content with error flag",
                                    R"({"content":[{"type":"text","text":"boom"}],"isError":true})"),
        roundTrip<ToolListChangedNotification>("list changed alone", R"({})"),
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

TEST(CatalogueRecords, PromptsRoundTrip) {
    runRoundTrips({
        roundTrip<Prompt>("prompt with a name only", R"({"name":"p"})"),
        roundTrip<Prompt>("empty argument list kept", R"({"name":"p","arguments":[]})"),
        roundTrip<Prompt>("arguments with three required states",
                          R"({"name":"p","description":"d","arguments":[{"name":"a"},{"name":"b","required":false},
                              {"name":"c","description":"x","required":true}]})"),
        roundTrip<Prompt::Message::Content>("text", R"({"type":"text","text":"hi"})"),
        roundTrip<Prompt::Message::Content>("image", R"({"type":"image","data":"AA==","mimeType":"image/png"})"),
        roundTrip<Prompt::Message::Content>("audio", R"({"type":"audio","data":"AA==","mimeType":"audio/wav"})"),
        roundTrip<Prompt::Message::Content>("resource with null text",
                                            R"({"type":"resource","uri":"u","mimeType":"m","text":null})",
                                            R"({"type":"resource","uri":"u","mimeType":"m"})"),
        roundTrip<Prompt::Message::Content>("resource with text and blob",
                                            R"({"type":"resource","uri":"u","mimeType":"m","text":"t","blob":"b"})"),
        roundTrip<Prompt::Message>("assistant message",
                                   R"({"role":"assistant","content":{"type":"text","text":"ok"}})"),
        roundTrip<Prompt::Reference>("reference type is rewritten", R"({"type":"anything","name":"p"})",
                                     R"({"type":"ref/prompt","name":"p"})"),
        roundTrip<ListPrompts::Parameters>("list prompts", R"({})"),
        roundTrip<ListPrompts::Result>("no prompts", R"({"prompts":[]})"),
        roundTrip<GetPrompt::Parameters>("get with JSON arguments",
                                         R"({"name":"p","arguments":{"n":3,"o":{"nested":[1]}}})"),
        roundTrip<GetPrompt::Result>("result without description", R"({"messages":[]})"),
        roundTrip<GetPrompt::Result>("not found result",
                                     R"({"description":"Prompt not found","messages":[
                                         {"role":"user","content":{"type":"text","text":"q"}}]})"),
        roundTrip<PromptListChangedNotification>("list changed alone", R"({})"),
    });
}

TEST(CatalogueRecords, SamplingRoundTrip) {
    runRoundTrips({
        roundTrip<Sampling::Message::Content>("text", R"({"type":"text","text":"hi"})"),
        roundTrip<Sampling::Message::Content>("image", R"({"type":"image","data":"AA==","mimeType":"image/png"})"),
        roundTrip<Sampling::Message>("user message", R"({"role":"user","content":{"type":"text","text":"q"}})"),
        roundTrip<Sampling::ModelPreferences::Hint>("hint without name", R"({})"),
        roundTrip<Sampling::ModelPreferences::Hint>("hint with null name", R"({"name":null})", R"({})"),
        roundTrip<Sampling::ModelPreferences>("priorities at both ends",
                                              R"({"hints":[{"name":"claude"}],"costPriority":0,
                                                  "speedPriority":1,"intelligencePriority":0.5})"),
        roundTrip<Sampling::ModelPreferences>("no preferences", R"({})"),
        roundTrip<CreateSamplingMessage::Parameters>("messages and maxTokens only",
                                                     R"({"messages":[],"maxTokens":100})"),
        roundTrip<CreateSamplingMessage::Parameters>(
            "every parameter",
            R"({"messages":[{"role":"user","content":{"type":"text","text":"q"}}],
                "modelPreferences":{"costPriority":0.25},"systemPrompt":"s","includeContext":"thisServer",
                "temperature":0.7,"maxTokens":5,"stopSequences":["\n"],"metadata":{"k":{"v":1}}})"),
        roundTrip<CreateSamplingMessage::Parameters>("context none",
                                                     R"({"messages":[],"includeContext":"none","maxTokens":1})"),
        roundTrip<CreateSamplingMessage::Parameters>("context all servers",
                                                     R"({"messages":[],"includeContext":"allServers","maxTokens":1})"),
        roundTrip<CreateSamplingMessage::Result>(
            "result with null stop reason",
            R"({"model":"m","stopReason":null,"role":"assistant","content":{"type":"text","text":"a"}})",
            R"({"model":"m","role":"assistant","content":{"type":"text","text":"a"}})"),
        roundTrip<CreateSamplingMessage::Result>(
            "end turn", R"({"model":"m","stopReason":"endTurn","role":"assistant","content":{"type":"text","text":"a"}})"),
        roundTrip<CreateSamplingMessage::Result>(
            "stop sequence",
            R"({"model":"m","stopReason":"stopSequence","role":"user","content":{"type":"image","data":"","mimeType":"i"}})"),
        roundTrip<CreateSamplingMessage::Result>(
            "max tokens", R"({"model":"m","stopReason":"maxTokens","role":"assistant","content":{"type":"text","text":""}})"),
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

TEST(CatalogueFailures, EnumsAndUnitIntervals) {
    runFailures({
        failure<Prompt::Message>("prompt role system", R"({"role":"system","content":{"type":"text","text":"x"}})",
                                 Kind::DataCorrupted, "role"),
        failure<Sampling::Message>("sampling role User", R"({"role":"User","content":{"type":"text","text":"x"}})",
                                   Kind::DataCorrupted, "role", "Cannot initialize Role from invalid String value User"),
        failure<CreateSamplingMessage::Result>(
            "stop reason length",
            R"({"model":"m","stopReason":"length","role":"assistant","content":{"type":"text","text":"a"}})",
            Kind::DataCorrupted, "stopReason", "Cannot initialize StopReason from invalid String value length"),
        failure<CreateSamplingMessage::Parameters>("unknown context inclusion",
                                                   R"({"messages":[],"includeContext":"everything","maxTokens":1})",
                                                   Kind::DataCorrupted, "includeContext"),
        failure<Sampling::ModelPreferences>("cost above one", R"({"costPriority":1.5})", Kind::DataCorrupted,
                                            "costPriority", "Value 1.5 is not in range 0...1"),
        failure<Sampling::ModelPreferences>("speed below zero", R"({"speedPriority":-0.01})", Kind::DataCorrupted,
                                            "speedPriority", "Value -0.01 is not in range 0...1"),
        failure<Sampling::ModelPreferences>("intelligence just above one", R"({"intelligencePriority":1.0000001})",
                                            Kind::DataCorrupted, "intelligencePriority",
                                            "Value 1.0000001 is not in range 0...1"),
        failure<CreateSamplingMessage::Parameters>(
            "priority inside parameters", R"({"messages":[],"modelPreferences":{"costPriority":2},"maxTokens":1})",
            Kind::DataCorrupted, "modelPreferences/costPriority", "Value 2.0 is not in range 0...1"),
        failure<Sampling::ModelPreferences>("priority as text", R"({"costPriority":"0.5"})", Kind::TypeMismatch,
                                            "costPriority"),
    });
}

TEST(CatalogueFailures, MissingAndMistypedMembers) {
    runFailures({
        failure<Initialize::Parameters>("numeric protocol version", R"({"protocolVersion":5})", Kind::TypeMismatch,
                                        "protocolVersion"),
        failure<Initialize::Parameters>("client info without version", R"({"clientInfo":{"name":"c"}})",
                                        Kind::KeyNotFound, "clientInfo"),
        failure<Initialize::Parameters>("capabilities not an object", R"({"capabilities":[]})", Kind::TypeMismatch,
                                        "capabilities"),
        failure<Initialize::Result>("result without server info",
                                    R"({"protocolVersion":"2025-03-26","capabilities":{}})", Kind::KeyNotFound, ""),
        failure<ClientInfo>("client info name only", R"({"name":"x"})", Kind::KeyNotFound, ""),
        failure<ClientConfiguration>("client configuration empty", R"({})", Kind::KeyNotFound, ""),
        failure<ClientConfiguration>("client strict as text", R"({"strict":"yes"})", Kind::TypeMismatch, "strict"),
        failure<ClientCapabilities>("roots flag as text", R"({"roots":{"listChanged":"yes"}})", Kind::TypeMismatch,
                                    "roots/listChanged"),
        failure<ServerInfo>("server info without version", R"({"name":"s"})", Kind::KeyNotFound, ""),
        failure<ServerConfiguration>("server configuration empty", R"({})", Kind::KeyNotFound, ""),
        failure<ServerCapabilities>("tools flag as number", R"({"tools":{"listChanged":1}})", Kind::TypeMismatch,
                                    "tools/listChanged"),
        failure<Tool>("tool without input schema", R"({"name":"t"})", Kind::KeyNotFound, ""),
        failure<Tool>("annotation hint as text", R"({"name":"t","inputSchema":{},"annotations":{"readOnlyHint":"no"}})",
                      Kind::TypeMismatch, "annotations/readOnlyHint"),
        failure<Tool::Content>("image without mime type", R"({"type":"image","data":"AA=="})", Kind::KeyNotFound, ""),
        failure<Tool::Content>("image metadata with a number",
                               R"({"type":"image","data":"","mimeType":"m","metadata":{"w":1}})", Kind::TypeMismatch,
                               "metadata/w"),
        failure<ListTools::Result>("list result without tools", R"({"nextCursor":"c"})", Kind::KeyNotFound, ""),
        failure<CallTool::Parameters>("call without name", R"({"arguments":{}})", Kind::KeyNotFound, ""),
        failure<Resource>("resource uri as number", R"({"name":"a","uri":5})", Kind::TypeMismatch, "uri"),
        failure<Resource>("metadata value not a string", R"({"name":"a","uri":"b","metadata":{"k":true}})",
                          Kind::TypeMismatch, "metadata/k"),
        failure<Resource::Content>("content without uri", R"({"text":"t"})", Kind::KeyNotFound, ""),
        failure<ListResourceTemplates::Result>("templates under the wrong key", R"({"templates":[]})",
                                               Kind::KeyNotFound, ""),
        failure<ReadResource::Result>("one bad element fails the list", R"({"contents":[{"uri":"a"},{"text":"b"}]})",
                                      Kind::KeyNotFound, "contents/1"),
        failure<Prompt::Message::Content>("prompt resource without mime type", R"({"type":"resource","uri":"u"})",
                                          Kind::KeyNotFound, ""),
        failure<Prompt::Reference>("reference without type", R"({"name":"p"})", Kind::KeyNotFound, ""),
        failure<Prompt::Argument>("required as text", R"({"name":"a","required":"yes"})", Kind::TypeMismatch,
                                  "required"),
        failure<GetPrompt::Result>("result without messages", R"({"description":"d"})", Kind::KeyNotFound, ""),
        failure<CreateSamplingMessage::Parameters>("parameters without maxTokens", R"({"messages":[]})",
                                                   Kind::KeyNotFound, ""),
        failure<CreateSamplingMessage::Parameters>("fractional maxTokens", R"({"messages":[],"maxTokens":1.5})",
                                                   Kind::TypeMismatch, "maxTokens"),
        failure<CreateSamplingMessage::Result>("result without model",
                                               R"({"role":"user","content":{"type":"text","text":""}})",
                                               Kind::KeyNotFound, ""),
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

TEST(CatalogueWire, ClientCapabilitiesKeepWhatTheClientSent) {
    auto caps = decodeText<ClientCapabilities>(R"({"sampling":{"anything":1},"experimental":{"s":"data:,abc"}})");
    ASSERT_TRUE(caps.sampling);
    ASSERT_TRUE(caps.experimental);
    const Value& s = caps.experimental->at("s");
    ASSERT_NE(s.stringValue(), nullptr);
    EXPECT_EQ(*s.stringValue(), "data:,abc");
    EXPECT_EQ(encodeText(caps, {.sortedKeys = true}), R"({"experimental":{"s":"data:,abc"},"sampling":{}})");
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

TEST(CatalogueEnvelopes, NotificationsAndEmptyResults) {
    const json::WriteOptions sorted{.sortedKeys = true};
    EXPECT_EQ(encodeText(message<ToolListChangedNotification>(), sorted),
              R"({"jsonrpc":"2.0","method":"notifications/tools/list_changed"})");
    EXPECT_EQ(encodeText(message<ResourceListChangedNotification>(), sorted),
              R"({"jsonrpc":"2.0","method":"notifications/resources/list_changed"})");
    EXPECT_EQ(encodeText(message<PromptListChangedNotification>(), sorted),
              R"({"jsonrpc":"2.0","method":"notifications/prompts/list_changed"})");
    EXPECT_EQ(encodeText(message<InitializedNotification>(), sorted),
              R"({"jsonrpc":"2.0","method":"notifications/initialized"})");
    EXPECT_EQ(encodeText(message<ResourceUpdatedNotification>({"file:///a"}), sorted),
              R"({"jsonrpc":"2.0","method":"notifications/resources/updated","params":{"uri":"file:///a"}})");
    EXPECT_EQ(encodeText(response<ResourceSubscribe>(ID(3)), sorted), R"({"id":3,"jsonrpc":"2.0","result":{}})");
    EXPECT_EQ(encodeText(request<Ping>(ID("p")), sorted), R"({"id":"p","jsonrpc":"2.0","method":"ping","params":{}})");
    EXPECT_EQ(encodeText(response<Ping>(ID("p")), sorted), R"({"id":"p","jsonrpc":"2.0","result":{}})");
}

// What the official TypeScript SDK client (1.32.2) wrote as its first line,
// captured over stdio, plus the shapes other releases send.
TEST(CatalogueEnvelopes, InitializeRequestsOfRealClientsDecode) {
    const char* plain =
        R"({"method":"initialize","params":{"protocolVersion":"2025-11-25","capabilities":{},)"
        R"("clientInfo":{"name":"capture-client","version":"1.0.0"}},"jsonrpc":"2.0","id":0})";
    auto request = decodeText<Request<Initialize>>(plain);
    EXPECT_EQ(request.id, ID(0));
    EXPECT_EQ(request.method, "initialize");
    EXPECT_EQ(request.params.protocolVersion, "2025-11-25");
    EXPECT_EQ(request.params.capabilities, ClientCapabilities{});
    EXPECT_EQ(request.params.clientInfo, (ClientInfo{"capture-client", "1.0.0"}));

    const char* rich =
        R"({"method":"initialize","params":{"protocolVersion":"2025-11-25","capabilities":{"roots":{"listChanged":true},)"
        R"("sampling":{},"elicitation":{},"experimental":{"feature":{"enabled":true}}},)"
        R"("clientInfo":{"name":"capture-client","version":"1.0.0"}},"jsonrpc":"2.0","id":0})";
    auto richRequest = decodeText<Request<Initialize>>(rich);
    const auto& caps = richRequest.params.capabilities;
    EXPECT_TRUE(caps.sampling);
    ASSERT_TRUE(caps.roots);
    EXPECT_EQ(caps.roots->listChanged, true);
    ASSERT_TRUE(caps.experimental);
    EXPECT_EQ(caps.experimental->at("feature"), Value::object({{"enabled", true}}));

    const char* older =
        R"({"method":"initialize","params":{"protocolVersion":"2025-06-18","capabilities":{"elicitation":{}},)"
        R"("clientInfo":{"name":"x","title":"X","version":"2"}},"jsonrpc":"2.0","id":1})";
    EXPECT_EQ(decodeText<Request<Initialize>>(older).params.protocolVersion, "2025-06-18");
}

// ---- Equality and hashing ----------------------------------------------------

template <class T>
void expectSame(std::string_view a, std::string_view b) {
    SCOPED_TRACE(std::string(a));
    T x = decodeText<T>(a);
    T y = decodeText<T>(b);
    EXPECT_TRUE(x == y);
    EXPECT_EQ(hashValue(x), hashValue(y));
}

template <class T>
void expectDifferent(std::string_view a, std::string_view b) {
    SCOPED_TRACE(std::string(a) + " vs " + std::string(b));
    EXPECT_FALSE(decodeText<T>(a) == decodeText<T>(b));
}

TEST(CatalogueEquality, MapsCompareWhateverTheirOrder) {
    expectSame<CallTool::Parameters>(R"({"name":"t","arguments":{"a":1,"b":{"x":1,"y":2}}})",
                                     R"({"arguments":{"b":{"y":2,"x":1},"a":1},"name":"t"})");
    expectSame<Resource>(R"({"name":"r","uri":"u","metadata":{"a":"1","b":"2"}})",
                         R"({"name":"r","uri":"u","metadata":{"b":"2","a":"1"}})");
    expectSame<GetPrompt::Parameters>(R"({"name":"p","arguments":{"a":[1],"b":null}})",
                                      R"({"name":"p","arguments":{"b":null,"a":[1]}})");
    expectSame<Tool::Content>(R"({"type":"image","data":"","mimeType":"m","metadata":{"a":"1","b":"2"}})",
                              R"({"type":"image","data":"","mimeType":"m","metadata":{"b":"2","a":"1"}})");
    expectSame<CreateSamplingMessage::Parameters>(R"({"messages":[],"maxTokens":1,"metadata":{"a":1,"b":2}})",
                                                  R"({"messages":[],"maxTokens":1,"metadata":{"b":2,"a":1}})");
    expectSame<ClientCapabilities>(R"({"experimental":{"a":"1","b":{"c":true}}})",
                                   R"({"experimental":{"b":{"c":true},"a":"1"}})");
}

TEST(CatalogueEquality, TemperatureZeroAndNegativeZeroAreAlike) {
    // Built in memory: the reader turns both texts into the integer 0.
    CreateSamplingMessage::Parameters plus{.messages = {}, .temperature = 0.0, .maxTokens = 1};
    CreateSamplingMessage::Parameters minus{.messages = {}, .temperature = -0.0, .maxTokens = 1};
    EXPECT_TRUE(plus == minus);
    EXPECT_EQ(hashValue(plus), hashValue(minus));
    plus.temperature = 0.5;
    EXPECT_FALSE(plus == minus);
}

TEST(CatalogueEquality, AbsentDiffersFromEmptyOrFalse) {
    expectDifferent<Tool::Content>(R"({"type":"image","data":"","mimeType":"m"})",
                                   R"({"type":"image","data":"","mimeType":"m","metadata":{}})");
    expectDifferent<Resource>(R"({"name":"r","uri":"u"})", R"({"name":"r","uri":"u","metadata":{}})");
    expectDifferent<Prompt>(R"({"name":"p"})", R"({"name":"p","arguments":[]})");
    expectDifferent<Prompt::Argument>(R"({"name":"a"})", R"({"name":"a","required":false})");
    expectDifferent<ClientCapabilities>(R"({})", R"({"experimental":{}})");
    expectDifferent<ClientCapabilities>(R"({"roots":{}})", R"({"roots":{"listChanged":false}})");
    expectDifferent<ServerCapabilities>(R"({})", R"({"tools":{}})");
    expectDifferent<Tool>(R"({"name":"t","inputSchema":{}})",
                          R"({"name":"t","inputSchema":{},"annotations":{"readOnlyHint":false}})");
    expectDifferent<Initialize::Parameters>(R"({"clientInfo":{"name":"c","version":"1"}})",
                                            R"({"clientInfo":{"name":"c","version":"2"}})");
    expectDifferent<Tool::Content>(R"({"type":"image","data":"d","mimeType":"m"})",
                                   R"({"type":"audio","data":"d","mimeType":"m"})");
    expectDifferent<CreateSamplingMessage::Result>(
        R"({"model":"m","role":"assistant","content":{"type":"text","text":"a"}})",
        R"({"model":"m","stopReason":"endTurn","role":"assistant","content":{"type":"text","text":"a"}})");
}

TEST(CatalogueEquality, EnumStringsConvertBothWays) {
    EXPECT_EQ(fromString<Sampling::StopReason>("maxTokens"), Sampling::StopReason::maxTokens);
    EXPECT_EQ(fromString<Sampling::ContextInclusion>("thisServer"), Sampling::ContextInclusion::thisServer);
    EXPECT_EQ(fromString<Prompt::Message::Role>("Assistant"), std::nullopt);
    EXPECT_EQ(toString(Sampling::ContextInclusion::allServers), "allServers");
    EXPECT_EQ(toString(Prompt::Message::Role::assistant), "assistant");
    EXPECT_EQ(Prompt::Message::userMessage("q").role, Prompt::Message::Role::user);
    EXPECT_EQ(Sampling::Message::assistant("a").role, Sampling::Message::Role::assistant);
}

// ---- Revisions ---------------------------------------------------------------

TEST(CatalogueVersion, SupportedAndLatest) {
    // Several first readers at once must see one construction.
    std::vector<std::string> seen(8);
    {
        std::vector<std::jthread> readers;
        for (std::size_t i = 0; i < seen.size(); ++i) {
            readers.emplace_back([&seen, i] { seen[i] = Version::latest(); });
        }
    }
    for (const auto& s : seen) EXPECT_EQ(s, "2025-03-26");
    EXPECT_EQ(Version::supported().size(), 2u);
    EXPECT_TRUE(Version::supported().contains("2024-11-05"));
    EXPECT_TRUE(Version::supported().contains(std::string_view("2025-03-26")));
    EXPECT_FALSE(Version::supported().contains("2025-06-18"));
}

}  // namespace
}  // namespace mcp
