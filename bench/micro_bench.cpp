// Micro-benchmarks of the message path: JSON text in and out, typed records,
// envelopes and the data-URL case of Value.
#include "json/json.hpp"
#include "mcp/envelope.hpp"
#include "mcp/envelope_scan.hpp"
#include "mcp/lifecycle.hpp"
#include "mcp/tools.hpp"
#include "mcp/value.hpp"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <utility>

namespace {

// What the server writes: sorted keys, plain slashes, no whitespace.
constexpr json::WriteOptions kWire{.sortedKeys = true, .escapeSlashes = false, .pretty = false};

mcp::Request<mcp::Initialize> initializeRequest() {
    mcp::Initialize::Parameters p;
    p.protocolVersion = "2025-03-26";
    p.capabilities.roots = mcp::ClientCapabilities::Roots{true};
    p.capabilities.sampling = mcp::ClientCapabilities::Sampling{};
    p.clientInfo = {"claude-ai", "0.1.0"};
    return mcp::request<mcp::Initialize>(mcp::ID(0), std::move(p));
}

mcp::Value property(const char* type, std::string description) {
    return mcp::Value::object({{"type", type}, {"description", std::move(description)}});
}

// Shaped like the application's tools: three to five described properties,
// a required list, and annotations on every other tool.
mcp::Response<mcp::ListTools> toolsListResponse(int count) {
    mcp::ListTools::Result r;
    for (int i = 0; i < count; ++i) {
        mcp::Tool t;
        std::string n = std::to_string(i);
        t.name = "family_tool_" + n;
        t.description = "Does the thing number " + n +
                        " for the user: reads the local store, filters by the given fields and returns "
                        "the matching items as JSON.";
        mcp::Object props{
            {"query", property("string", "Text to search for in titles and notes")},
            {"start_date", property("string", "Start of the range, ISO 8601 (e.g. 2025-01-31T09:00:00)")},
            {"limit", mcp::Value::object({{"type", "integer"},
                                          {"description", "Maximum number of items to return"},
                                          {"default", 50}})},
        };
        if (i % 2 == 0) {
            props.emplace("kind", mcp::Value::object({{"type", "string"},
                                                       {"description", "Which items"},
                                                       {"enum", mcp::Array{"all", "open", "done"}}}));
            props.emplace("tags", mcp::Value::object({{"type", "array"},
                                                       {"description", "Tags that must all be present"},
                                                       {"items", mcp::Value::object({{"type", "string"}})}}));
        }
        t.inputSchema = mcp::Value::object(
            {{"type", "object"}, {"properties", mcp::Value(std::move(props))}, {"required", mcp::Array{"query"}}});
        if (i % 2 == 1) t.annotations = mcp::Tool::Annotations("Tool " + n, true, false, true, false);
        r.tools.push_back(std::move(t));
    }
    return mcp::response<mcp::ListTools>(mcp::ID(2), std::move(r));
}

// Prose with line breaks, quotes, a tab and some non-ASCII text, as a note body would have.
std::string noteBody(std::size_t size) {
    static const std::string chunk =
        "Meeting notes \xE2\x80\x94 \"Q3 plan\":\n\t- ship the caf\xC3\xA9 menu / r\xC3\xA9sum\xC3\xA9 page;\n"
        "\xE4\xBC\x9A\xE8\xAE\xAE\xE8\xAE\xB0\xE5\xBD\x95 and the rest of the paragraph goes on for a while. ";
    std::string out;
    out.reserve(size + chunk.size());
    while (out.size() < size) out += chunk;
    return out;
}

mcp::Request<mcp::CallTool> callToolRequest(std::size_t argumentSize) {
    mcp::CallTool::Parameters p;
    p.name = "create_note";
    p.arguments = std::map<std::string, mcp::Value>{
        {"title", "Q3 plan"}, {"folder", "Work"}, {"body", noteBody(argumentSize)}};
    return mcp::request<mcp::CallTool>(mcp::ID(3), std::move(p));
}

struct Fixtures {
    std::string initialize = mcp::encodeText(initializeRequest(), kWire);
    std::string toolsList = mcp::encodeText(toolsListResponse(50), kWire);
    std::string toolsCall = mcp::encodeText(callToolRequest(100 * 1024), kWire);
    std::string ping = R"({"jsonrpc":"2.0","id":7,"method":"ping"})";
    // A typical small call, whole and its params alone (what the envelope scan hands the reader).
    std::string sendEmail =
        R"({"jsonrpc":"2.0","id":7,"method":"tools/call","params":{"name":"send_email","arguments":{"subject":"Hello","body":"x"}}})";
    std::string sendEmailParams = R"({"name":"send_email","arguments":{"subject":"Hello","body":"x"}})";
    std::string dataUrlText;  // a JSON string literal holding a 1 MB data URL
    json::Value dataUrl;

    Fixtures() {
        mcp::Bytes bytes(1024 * 1024);
        std::uint32_t x = 2463534242u;
        for (auto& b : bytes) {  // xorshift: incompressible, like an image
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            b = static_cast<std::uint8_t>(x);
        }
        dataUrl = json::Value(mcp::encodeDataURL(bytes, std::string("image/png")));
        dataUrlText = json::write(dataUrl);
    }
};

const Fixtures& fx() {
    static const Fixtures f;
    return f;
}

const std::string& textOf(const std::string Fixtures::*member) { return fx().*member; }

// ---- JSON layer ---------------------------------------------------------

void BM_JsonParse(benchmark::State& state, const std::string Fixtures::*member) {
    const std::string& text = textOf(member);
    for (auto _ : state) benchmark::DoNotOptimize(json::parse(text));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

void BM_JsonWrite(benchmark::State& state, const std::string Fixtures::*member, bool sorted) {
    const std::string& text = textOf(member);
    const json::Value value = json::parse(text);
    json::WriteOptions options = kWire;
    options.sortedKeys = sorted;
    for (auto _ : state) benchmark::DoNotOptimize(json::write(value, options));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

// ---- Typed records (text <-> record, as the server and client do) ---------

template <class T>
void BM_DecodeText(benchmark::State& state, const std::string Fixtures::*member) {
    const std::string& text = textOf(member);
    for (auto _ : state) benchmark::DoNotOptimize(mcp::decodeText<T>(text));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

template <class T>
void BM_EncodeText(benchmark::State& state, const std::string Fixtures::*member) {
    const std::string& text = textOf(member);
    const T record = mcp::decodeText<T>(text);
    for (auto _ : state) benchmark::DoNotOptimize(mcp::encodeText(record, kWire));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

// ---- Value: the data-URL case -------------------------------------------

// From the parsed JSON string: recognise the URL and decode 1 MB of Base64.
void BM_ValueDecodeDataUrl(benchmark::State& state) {
    const json::Value& v = fx().dataUrl;
    for (auto _ : state) benchmark::DoNotOptimize(mcp::decode<mcp::Value>(v));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * v.asString().size()));
}

// The whole way from the received text.
void BM_ValueDecodeDataUrlText(benchmark::State& state) {
    const std::string& text = fx().dataUrlText;
    for (auto _ : state) benchmark::DoNotOptimize(mcp::decodeText<mcp::Value>(text));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

void BM_ValueEncodeDataUrl(benchmark::State& state) {
    const mcp::Value v = mcp::decode<mcp::Value>(fx().dataUrl);
    for (auto _ : state) benchmark::DoNotOptimize(mcp::encodeText(v, kWire));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * fx().dataUrlText.size()));
}

// ---- Envelopes ----------------------------------------------------------

// From parsed JSON, as the server's loop does after reading a line.
template <class T>
void BM_EnvelopeDecode(benchmark::State& state, const std::string Fixtures::*member) {
    const std::string& text = textOf(member);
    const json::Value v = json::parse(text);
    for (auto _ : state) benchmark::DoNotOptimize(mcp::decode<T>(v));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

// Text to envelope in one go.
template <class T>
void BM_EnvelopeDecodeText(benchmark::State& state, const std::string Fixtures::*member) {
    const std::string& text = textOf(member);
    for (auto _ : state) benchmark::DoNotOptimize(mcp::decodeText<T>(text));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

// The server's way in for a plain request: the envelope scanned, "params" parsed alone.
void BM_PlainMessage(benchmark::State& state, const std::string Fixtures::*member) {
    const std::string& text = textOf(member);
    for (auto _ : state) benchmark::DoNotOptimize(mcp::readPlainMessage(text));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

// A handler box's conversion: the untyped request re-encoded and decoded as
// the typed one, and the typed result erased back.
void BM_HandlerBoxErasure(benchmark::State& state, const std::string Fixtures::*member) {
    const std::string& text = textOf(member);
    const auto any = mcp::decodeText<mcp::AnyRequest>(text);
    for (auto _ : state) benchmark::DoNotOptimize(mcp::decode<mcp::Request<mcp::CallTool>>(mcp::encode(any)));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

void BM_ResultErasure(benchmark::State& state) {
    const auto typed = mcp::decodeText<mcp::Response<mcp::ListTools>>(fx().toolsList);
    const auto& result = *typed.success();
    for (auto _ : state) benchmark::DoNotOptimize(mcp::decode<mcp::Value>(mcp::encode(result)));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * fx().toolsList.size()));
}

// Registered by hand so each name says which conversion runs on which message.
const bool registered = [] {
    using namespace mcp;
    using benchmark::RegisterBenchmark;
    RegisterBenchmark("JsonParse/initialize", BM_JsonParse, &Fixtures::initialize);
    RegisterBenchmark("JsonParse/tools_list_50", BM_JsonParse, &Fixtures::toolsList);
    RegisterBenchmark("JsonParse/tools_call_100k", BM_JsonParse, &Fixtures::toolsCall);
    RegisterBenchmark("JsonParse/data_url_1m", BM_JsonParse, &Fixtures::dataUrlText);
    RegisterBenchmark("JsonParse/send_email", BM_JsonParse, &Fixtures::sendEmail);
    RegisterBenchmark("JsonParse/send_email_params", BM_JsonParse, &Fixtures::sendEmailParams);
    RegisterBenchmark("JsonWrite/initialize", BM_JsonWrite, &Fixtures::initialize, false);
    RegisterBenchmark("JsonWrite/initialize_sorted", BM_JsonWrite, &Fixtures::initialize, true);
    RegisterBenchmark("JsonWrite/tools_list_50", BM_JsonWrite, &Fixtures::toolsList, false);
    RegisterBenchmark("JsonWrite/tools_list_50_sorted", BM_JsonWrite, &Fixtures::toolsList, true);
    RegisterBenchmark("JsonWrite/tools_call_100k", BM_JsonWrite, &Fixtures::toolsCall, false);
    RegisterBenchmark("JsonWrite/tools_call_100k_sorted", BM_JsonWrite, &Fixtures::toolsCall, true);
    RegisterBenchmark("DecodeText/Request<Initialize>", BM_DecodeText<Request<Initialize>>, &Fixtures::initialize);
    RegisterBenchmark("DecodeText/Response<ListTools>/50", BM_DecodeText<Response<ListTools>>, &Fixtures::toolsList);
    RegisterBenchmark("DecodeText/Request<CallTool>/100k", BM_DecodeText<Request<CallTool>>, &Fixtures::toolsCall);
    RegisterBenchmark("EncodeText/Request<Initialize>", BM_EncodeText<Request<Initialize>>, &Fixtures::initialize);
    RegisterBenchmark("EncodeText/Response<ListTools>/50", BM_EncodeText<Response<ListTools>>, &Fixtures::toolsList);
    RegisterBenchmark("EncodeText/Request<CallTool>/100k", BM_EncodeText<Request<CallTool>>, &Fixtures::toolsCall);
    RegisterBenchmark("ValueDecode/data_url_1m", BM_ValueDecodeDataUrl);
    RegisterBenchmark("ValueDecodeText/data_url_1m", BM_ValueDecodeDataUrlText);
    RegisterBenchmark("ValueEncodeText/data_url_1m", BM_ValueEncodeDataUrl);
    RegisterBenchmark("EnvelopeDecode/AnyRequest/ping", BM_EnvelopeDecode<AnyRequest>, &Fixtures::ping);
    RegisterBenchmark("EnvelopeDecode/AnyRequest/initialize", BM_EnvelopeDecode<AnyRequest>, &Fixtures::initialize);
    RegisterBenchmark("EnvelopeDecode/AnyRequest/tools_call_100k", BM_EnvelopeDecode<AnyRequest>, &Fixtures::toolsCall);
    RegisterBenchmark("EnvelopeDecode/Request<Ping>", BM_EnvelopeDecode<Request<Ping>>, &Fixtures::ping);
    RegisterBenchmark("EnvelopeDecode/Request<CallTool>/100k", BM_EnvelopeDecode<Request<CallTool>>,
                      &Fixtures::toolsCall);
    RegisterBenchmark("EnvelopeDecodeText/AnyRequest/ping", BM_EnvelopeDecodeText<AnyRequest>, &Fixtures::ping);
    RegisterBenchmark("EnvelopeDecodeText/AnyRequest/send_email", BM_EnvelopeDecodeText<AnyRequest>,
                      &Fixtures::sendEmail);
    RegisterBenchmark("EnvelopeDecodeText/AnyRequest/tools_call_100k", BM_EnvelopeDecodeText<AnyRequest>,
                      &Fixtures::toolsCall);
    RegisterBenchmark("PlainMessage/send_email", BM_PlainMessage, &Fixtures::sendEmail);
    RegisterBenchmark("PlainMessage/tools_call_100k", BM_PlainMessage, &Fixtures::toolsCall);
    RegisterBenchmark("HandlerBoxErasure/Request<CallTool>/100k", BM_HandlerBoxErasure, &Fixtures::toolsCall);
    RegisterBenchmark("ResultErasure/ListTools/50", BM_ResultErasure);
    return true;
}();

}  // namespace
