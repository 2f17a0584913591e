// The message catalogue: wire form and defaults.
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

struct RoundTrip {
    std::string label;
    std::function<json::Value(const json::Value&)> run;
    std::string input;
    std::string expected;  // empty: same as input
};

template <class T>
RoundTrip roundTrip(std::string label, std::string input, std::string expected = {}) {
    return {std::move(label), [](const json::Value& in) { return encode(decode<T>(in)); }, std::move(input),
            std::move(expected)};
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

TEST(CatalogueRecords, ResourcesRoundTrip) {
    runRoundTrips({
        roundTrip<Resource>("null description is absent", R"({"name":"a","uri":"b","description":null})",
                            R"({"name":"a","uri":"b"})"),
        roundTrip<Resource>("empty metadata kept", R"({"name":"a","uri":"b","metadata":{}})"),
        roundTrip<Resource>("every resource field",
                            R"({"name":"a","uri":"b","description":"d","mimeType":"text/plain","metadata":{"k":"v"}})"),
        roundTrip<Resource::Content>("content with text and blob",
                                     R"({"uri":"u","mimeType":"m","text":"t","blob":"YQ=="})"),
        roundTrip<Resource::Content>("content with neither", R"({"uri":"u"})"),
        roundTrip<Resource::Template>("full template",
                                      R"({"uriTemplate":"x://{a}","name":"n","description":"d","mimeType":"m"})"),
        roundTrip<ListResources::Parameters>("list resources", R"({"cursor":null})", R"({})"),
        roundTrip<ListResources::Result>("no resources", R"({"resources":[]})"),
        roundTrip<ReadResource::Result>("contents", R"({"contents":[{"uri":"u","text":"hello"}]})"),
        roundTrip<ListResourceTemplates::Parameters>("list templates", R"({"cursor":"c"})"),
        roundTrip<ListResourceTemplates::Result>(
            "templates travel as resourceTemplates",
            R"({"resourceTemplates":[{"uriTemplate":"t","name":"n"}],"nextCursor":"c"})"),
        roundTrip<ResourceUpdatedNotification::Parameters>("updated", R"({"uri":"u"})"),
    });
}

TEST(CatalogueWire, ExactBytesWithSortedKeys) {
    const json::WriteOptions sorted{.sortedKeys = true};
    EXPECT_EQ(encodeText(Tool{"t", std::nullopt, Value(Object{}), {}}, sorted),
              R"({"description":null,"inputSchema":{},"name":"t"})");
    Tool::Annotations readOnly;
    readOnly.readOnlyHint = false;
    EXPECT_EQ(encodeText(Tool{"t", "d", Value(), readOnly}, sorted),
              R"({"annotations":{"readOnlyHint":false},"description":"d","inputSchema":null,"name":"t"})");
    EXPECT_EQ(encodeText(Tool::Content("hi")), R"({"type":"text","text":"hi"})");
    EXPECT_EQ(encodeText(CallTool::Result{{}, std::nullopt}), R"({"content":[]})");
    EXPECT_EQ(encodeText(ClientCapabilities{}), "{}");
    EXPECT_EQ(encodeText(ServerCapabilities{.tools = ServerCapabilities::Tools{true}}), R"({"tools":{"listChanged":true}})");
    EXPECT_EQ(encodeText(ServerCapabilities{.resources = ServerCapabilities::Resources{true, std::nullopt}}),
              R"({"resources":{"subscribe":true}})");
    EXPECT_EQ(encodeText(CreateSamplingMessage::Parameters{.messages = {}, .maxTokens = 10}),
              R"({"messages":[],"maxTokens":10})");
    EXPECT_EQ(encodeText(Prompt::Reference{"p"}), R"({"type":"ref/prompt","name":"p"})");
    EXPECT_EQ(encodeText(Prompt::Argument{"a", std::nullopt, false}), R"({"name":"a","required":false})");

    const Bytes noBytes;
    EXPECT_EQ(encodeText(Resource::Content::fromText("hello", "file:///a")), R"({"uri":"file:///a","text":"hello"})");
    EXPECT_EQ(encodeText(Resource::Content::fromData(noBytes, "u", "application/octet-stream")),
              R"({"uri":"u","mimeType":"application/octet-stream","blob":""})");
    EXPECT_EQ(encodeText(Resource::Content::fromData(Bytes{'a', 'b', 'c'}, "u")), R"({"uri":"u","blob":"YWJj"})");
}

}  // namespace
}  // namespace mcp
