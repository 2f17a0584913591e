// Every protocol record through the shared codec: the exact bytes it writes
// back (key order, nulls, left-out keys) and the exact decoding failures.
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
#include <vector>

namespace mcp {
namespace {

std::string describe(const json::DecodingError& e) {
    static const char* const kinds[] = {"keyNotFound", "valueNotFound", "typeMismatch", "dataCorrupted"};
    std::string path;
    for (const auto& element : e.codingPath()) {
        if (element.index >= 0) {
            path += "[" + std::to_string(element.index) + "]";
        } else {
            path += (path.empty() ? "" : ".") + element.key;
        }
    }
    return std::string("error ") + kinds[static_cast<int>(e.kind())] + " at '" + path + "': " + e.debugDescription();
}

struct Row {
    std::string label;
    std::function<std::string(const json::Value&)> run;
    std::string input;
    std::string expected;  // compact JSON written back, or describe() of the failure
};

// Decodes `input` as T and writes it back in writing order.
template <class T>
Row row(std::string label, std::string input, std::string expected) {
    return {std::move(label),
            [](const json::Value& in) {
                try {
                    return json::write(encode(decode<T>(in)));
                } catch (const json::DecodingError& e) {
                    return describe(e);
                }
            },
            std::move(input), std::move(expected)};
}

void run(const std::vector<Row>& table) {
    for (const auto& r : table) {
        SCOPED_TRACE(r.label + ": " + r.input);
        EXPECT_EQ(r.run(json::parse(r.input)), r.expected);
    }
}

TEST(RecordCodec, ToolsWriteBackExactly) {
    run({
        row<Tool>("description null when absent, empty annotations left out", R"({"inputSchema":{},"name":"t"})",
                  R"({"name":"t","description":null,"inputSchema":{}})"),
        row<Tool>("every field, written in order",
                  R"({"annotations":{"readOnlyHint":true,"title":"T","openWorldHint":false,"idempotentHint":true,)"
                  R"("destructiveHint":false},"inputSchema":{"type":"object"},"description":"d","name":"t","x":1})",
                  R"({"name":"t","description":"d","inputSchema":{"type":"object"},"annotations":{"title":"T",)"
                  R"("destructiveHint":false,"idempotentHint":true,"openWorldHint":false,"readOnlyHint":true}})"),
        row<Tool>("nulls read as absent", R"({"name":"t","inputSchema":null,"annotations":null,"description":null})",
                  R"({"name":"t","description":null,"inputSchema":null})"),
        row<Tool::Annotations>("null annotations are empty", "null", "{}"),
        row<Tool::Content>("text", R"({"text":"hi","type":"text","data":"x"})", R"({"type":"text","text":"hi"})"),
        row<Tool::Content>("image with metadata", R"({"metadata":{"k":"v"},"mimeType":"image/png","data":"AA==","type":"image"})",
                           R"({"type":"image","data":"AA==","mimeType":"image/png","metadata":{"k":"v"}})"),
        row<Tool::Content>("image with empty metadata", R"({"type":"image","data":"","mimeType":"m","metadata":{}})",
                           R"({"type":"image","data":"","mimeType":"m","metadata":{}})"),
        row<Tool::Content>("audio", R"({"type":"audio","mimeType":"audio/wav","data":"AA=="})",
                           R"({"type":"audio","data":"AA==","mimeType":"audio/wav"})"),
        row<Tool::Content>("resource, null text", R"({"type":"resource","uri":"u","mimeType":"m","text":null,"blob":"b"})",
                           R"({"type":"resource","uri":"u","mimeType":"m"})"),
        row<ListTools::Result>("list", R"({"nextCursor":"c","tools":[{"name":"a","inputSchema":true}]})",
                               R"({"tools":[{"name":"a","description":null,"inputSchema":true}],"nextCursor":"c"})"),
        row<CallTool::Parameters>("call", R"({"arguments":{"b":[1,2.5],"a":null},"name":"n"})",
                                  R"({"name":"n","arguments":{"a":null,"b":[1,2.5]}})"),
        row<CallTool::Result>("false isError kept", R"({"isError":false,"content":[]})",
                              R"({"content":[],"isError":false})"),
        row<ListParameters>("cursor", R"({"cursor":"c"})", R"({"cursor":"c"})"),
    });
}

TEST(RecordCodec, PromptsResourcesAndSamplingWriteBackExactly) {
    run({
        row<Prompt>("empty arguments kept", R"({"arguments":[],"name":"p"})", R"({"name":"p","arguments":[]})"),
        row<Prompt>("full", R"({"name":"p","description":"d","arguments":[{"required":true,"name":"a","description":"x"}]})",
                    R"({"name":"p","description":"d","arguments":[{"name":"a","description":"x","required":true}]})"),
        row<Prompt::Message>("resource with blob",
                             R"({"content":{"blob":"YQ==","text":"t","mimeType":"m","uri":"u","type":"resource"},"role":"assistant"})",
                             R"({"role":"assistant","content":{"type":"resource","uri":"u","mimeType":"m","text":"t","blob":"YQ=="}})"),
        row<Prompt::Message::Content>("image ignores metadata", R"({"type":"image","data":"d","mimeType":"m","metadata":{}})",
                                      R"({"type":"image","data":"d","mimeType":"m"})"),
        row<Prompt::Message::Content>("audio", R"({"type":"audio","data":"d","mimeType":"m"})",
                                      R"({"type":"audio","data":"d","mimeType":"m"})"),
        row<Prompt::Reference>("any type text, written as ref/prompt", R"({"name":"p","type":"anything"})",
                               R"({"type":"ref/prompt","name":"p"})"),
        row<ListPrompts::Result>("list", R"({"prompts":[{"name":"p"}],"nextCursor":null})", R"({"prompts":[{"name":"p"}]})"),
        row<GetPrompt::Parameters>("get", R"({"name":"p","arguments":{"n":1,"o":{"k":"v"}}})",
                                   R"({"name":"p","arguments":{"n":1,"o":{"k":"v"}}})"),
        row<GetPrompt::Result>("get result", R"({"messages":[{"role":"user","content":{"type":"text","text":"hi"}}],"description":"d"})",
                               R"({"description":"d","messages":[{"role":"user","content":{"type":"text","text":"hi"}}]})"),
        row<Resource>("resource", R"({"metadata":{"k":"v"},"mimeType":"m","description":"d","uri":"u","name":"n"})",
                      R"({"name":"n","uri":"u","description":"d","mimeType":"m","metadata":{"k":"v"}})"),
        row<Resource::Content>("content", R"({"blob":"b","text":"t","mimeType":"m","uri":"u"})",
                               R"({"uri":"u","mimeType":"m","text":"t","blob":"b"})"),
        row<ReadResource::Parameters>("read", R"({"uri":"u"})", R"({"uri":"u"})"),
        row<ResourceSubscribe::Parameters>("subscribe", R"({"uri":"u","x":1})", R"({"uri":"u"})"),
        row<ListResources::Result>("list", R"({"nextCursor":"c","resources":[]})", R"({"resources":[],"nextCursor":"c"})"),
        row<CreateSamplingMessage::Parameters>(
            "every parameter",
            R"({"metadata":{"k":[true]},"stopSequences":["x"],"maxTokens":5,"temperature":-0.0,"includeContext":"thisServer",)"
            R"("systemPrompt":"s","modelPreferences":{"intelligencePriority":1,"speedPriority":0.5,"costPriority":0,)"
            R"("hints":[{"name":"h"},{}]},"messages":[{"role":"user","content":{"type":"image","data":"d","mimeType":"m"}}]})",
            R"({"messages":[{"role":"user","content":{"type":"image","data":"d","mimeType":"m"}}],"modelPreferences":)"
            R"({"hints":[{"name":"h"},{}],"costPriority":0,"speedPriority":0.5,"intelligencePriority":1},"systemPrompt":"s",)"
            R"("includeContext":"thisServer","temperature":0,"maxTokens":5,"stopSequences":["x"],"metadata":{"k":[true]}})"),
        row<CreateSamplingMessage::Result>("result", R"({"content":{"type":"text","text":"t"},"role":"assistant","stopReason":"endTurn","model":"m"})",
                                           R"({"model":"m","stopReason":"endTurn","role":"assistant","content":{"type":"text","text":"t"}})"),
        row<CreateSamplingMessage::Result>("null stop reason", R"({"model":"m","stopReason":null,"role":"user","content":{"type":"text","text":""}})",
                                           R"({"model":"m","role":"user","content":{"type":"text","text":""}})"),
    });
}

TEST(RecordCodec, LifecycleAndCapabilitiesWriteBackExactly) {
    run({
        row<Initialize::Parameters>("every member defaulted", "{}",
                                    R"({"protocolVersion":"2025-03-26","capabilities":{},"clientInfo":{"name":"unknown","version":"0.0.0"}})"),
        row<Initialize::Parameters>("nulls defaulted", R"({"protocolVersion":null,"capabilities":null,"clientInfo":null})",
                                    R"({"protocolVersion":"2025-03-26","capabilities":{},"clientInfo":{"name":"unknown","version":"0.0.0"}})"),
        row<Initialize::Parameters>("experimental strings stay strings",
                                    R"({"capabilities":{"roots":{"listChanged":true},"experimental":{"s":"data:text/plain,hi","o":{"a":1}},"sampling":5},"protocolVersion":"1999-01-01","clientInfo":{"version":"1","name":"c"}})",
                                    R"({"protocolVersion":"1999-01-01","capabilities":{"sampling":{},"experimental":{"o":{"a":1},"s":"data:text/plain,hi"},"roots":{"listChanged":true}},"clientInfo":{"name":"c","version":"1"}})"),
        row<Initialize::Result>("result", R"({"instructions":"i","serverInfo":{"version":"1","name":"s"},"capabilities":{"tools":{"listChanged":false},"sampling":{},"resources":{"listChanged":true,"subscribe":false},"prompts":{},"logging":{"x":1}},"protocolVersion":"2024-11-05"})",
                                R"({"protocolVersion":"2024-11-05","capabilities":{"logging":{},"prompts":{},"resources":{"subscribe":false,"listChanged":true},"sampling":{},"tools":{"listChanged":false}},"serverInfo":{"name":"s","version":"1"},"instructions":"i"})"),
        row<ClientConfiguration>("client configuration", R"({"strict":true})", R"({"strict":true})"),
        row<ServerConfiguration>("server configuration", R"({"strict":false})", R"({"strict":false})"),
    });
}

TEST(RecordCodec, DecodingFailures) {
    run({
        row<Tool>("not an object", "[]", "error typeMismatch at '': Expected to decode Dictionary<String, Any> but found a different kind of value instead."),
        row<Tool>("no name", R"({"inputSchema":{}})", "error keyNotFound at '': No value associated with key \"name\"."),
        row<Tool>("no input schema", R"({"name":"t"})", "error keyNotFound at '': No value associated with key \"inputSchema\"."),
        row<Tool>("null name", R"({"name":null,"inputSchema":{}})", "error valueNotFound at 'name': Expected String value but found null instead."),
        row<Tool>("hint of the wrong type", R"({"name":"t","inputSchema":{},"annotations":{"readOnlyHint":"yes"}})",
                  "error typeMismatch at 'annotations.readOnlyHint': Expected to decode Bool but found a different kind of value instead."),
        row<CallTool::Result>("unknown tool content", R"({"content":[{"type":"text","text":"a"},{"type":"Text","text":"b"}]})",
                              "error dataCorrupted at 'content[1].type': Unknown tool content type"),
        row<Tool::Content>("no type", R"({"text":"a"})", "error keyNotFound at '': No value associated with key \"type\"."),
        row<Tool::Content>("image without mime type", R"({"type":"image","data":"d"})",
                           "error keyNotFound at '': No value associated with key \"mimeType\"."),
        row<Prompt::Message::Content>("unknown prompt content", R"({"type":"video"})", "error dataCorrupted at 'type': Unknown content type"),
        row<Prompt::Message::Content>("resource without mime type", R"({"type":"resource","uri":"u"})",
                                      "error keyNotFound at '': No value associated with key \"mimeType\"."),
        row<Prompt::Message>("system role", R"({"role":"system","content":{"type":"text","text":"t"}})",
                             "error dataCorrupted at 'role': Cannot initialize Role from invalid String value system"),
        row<Prompt::Message>("role read before content", R"({"content":{"type":"video"}})",
                             "error keyNotFound at '': No value associated with key \"role\"."),
        row<Prompt::Reference>("reference without type", R"({"name":"p"})", "error keyNotFound at '': No value associated with key \"type\"."),
        row<Prompt::Reference>("reference type not a string", R"({"type":1,"name":"p"})",
                               "error typeMismatch at 'type': Expected to decode String but found a different kind of value instead."),
        row<Sampling::Message::Content>("audio is no sampling content", R"({"type":"audio","data":"d","mimeType":"m"})",
                                        "error dataCorrupted at 'type': Unknown sampling message content type"),
        row<CreateSamplingMessage::Parameters>("no max tokens", R"({"messages":[]})",
                                               "error keyNotFound at '': No value associated with key \"maxTokens\"."),
        row<CreateSamplingMessage::Parameters>("priority out of range", R"({"messages":[],"maxTokens":1,"modelPreferences":{"costPriority":1.5}})",
                                               "error dataCorrupted at 'modelPreferences.costPriority': Value 1.5 is not in range 0...1"),
        row<CreateSamplingMessage::Parameters>("unknown context inclusion", R"({"messages":[],"maxTokens":1,"includeContext":"some"})",
                                               "error dataCorrupted at 'includeContext': Cannot initialize ContextInclusion from invalid String value some"),
        row<CreateSamplingMessage::Result>("unknown stop reason", R"({"model":"m","stopReason":"length","role":"user","content":{"type":"text","text":""}})",
                                           "error dataCorrupted at 'stopReason': Cannot initialize StopReason from invalid String value length"),
        row<Resource>("metadata value not a string", R"({"name":"n","uri":"u","metadata":{"k":1}})",
                      "error typeMismatch at 'metadata.k': Expected to decode String but found a different kind of value instead."),
        row<ListResourceTemplates::Result>("templates under the wrong key", R"({"templates":[]})",
                                           "error keyNotFound at '': No value associated with key \"resourceTemplates\"."),
        row<Initialize::Parameters>("protocol version a number", R"({"protocolVersion":5})",
                                    "error typeMismatch at 'protocolVersion': Expected to decode String but found a different kind of value instead."),
        row<Initialize::Parameters>("client info without version", R"({"clientInfo":{"name":"c"}})",
                                    "error keyNotFound at 'clientInfo': No value associated with key \"version\"."),
        row<Initialize::Parameters>("experimental not an object", R"({"capabilities":{"experimental":5}})",
                                    "error typeMismatch at 'capabilities.experimental': Expected to decode Dictionary<String, Any> but found a different kind of value instead."),
        row<Initialize::Result>("no server info", R"({"protocolVersion":"p","capabilities":{}})",
                                "error keyNotFound at '': No value associated with key \"serverInfo\"."),
        row<ServerCapabilities>("logging must be an object", R"({"logging":"x"})",
                                "error typeMismatch at 'logging': Expected to decode Dictionary<String, Any> but found a different kind of value instead."),
        row<ClientConfiguration>("strict required", "{}", "error keyNotFound at '': No value associated with key \"strict\"."),
    });
}

// Hashing follows equality: equal values hash alike whatever their key order,
// and a value that differs in any one field (or in its case) hashes apart.
TEST(RecordCodec, HashFollowsEveryField) {
    struct Pair {
        std::string label;
        std::function<bool(const json::Value&, const json::Value&)> sameHash;
        std::string a, b;
        bool same;
    };
    auto pair = []<class T>(std::type_identity<T>, std::string label, std::string a, std::string b, bool same) {
        return Pair{std::move(label),
                    [](const json::Value& x, const json::Value& y) { return hashValue(decode<T>(x)) == hashValue(decode<T>(y)); },
                    std::move(a), std::move(b), same};
    };
    const std::vector<Pair> table{
        pair(std::type_identity<CallTool::Parameters>{}, "argument order", R"({"name":"n","arguments":{"a":1,"b":2}})",
             R"({"arguments":{"b":2,"a":1},"name":"n"})", true),
        pair(std::type_identity<CreateSamplingMessage::Parameters>{}, "temperature", R"({"messages":[],"maxTokens":1,"temperature":0.5})",
             R"({"messages":[],"maxTokens":1,"temperature":0.25})", false),
        pair(std::type_identity<Prompt::Message::Content>{}, "image and audio", R"({"type":"image","data":"d","mimeType":"m"})",
             R"({"type":"audio","data":"d","mimeType":"m"})", false),
        pair(std::type_identity<Tool>{}, "last annotation", R"({"name":"t","inputSchema":{},"annotations":{"readOnlyHint":true}})",
             R"({"name":"t","inputSchema":{},"annotations":{"readOnlyHint":false}})", false),
        pair(std::type_identity<Prompt::Argument>{}, "required absent or false", R"({"name":"a"})", R"({"name":"a","required":false})", false),
        pair(std::type_identity<Prompt::Reference>{}, "reference by name only", R"({"type":"x","name":"p"})",
             R"({"type":"y","name":"p"})", true),
        pair(std::type_identity<Resource::Content>{}, "text or blob", R"({"uri":"u","text":"t"})", R"({"uri":"u","blob":"t"})", false),
        pair(std::type_identity<Initialize::Parameters>{}, "client version", R"({"clientInfo":{"name":"c","version":"1"}})",
             R"({"clientInfo":{"name":"c","version":"2"}})", false),
        pair(std::type_identity<ServerCapabilities>{}, "capability present", R"({"logging":{}})", "{}", false),
    };
    for (const auto& p : table) {
        SCOPED_TRACE(p.label);
        EXPECT_EQ(p.sameHash(json::parse(p.a), json::parse(p.b)), p.same);
    }
}

}  // namespace
}  // namespace mcp
