// A peer's message as the server and the client decode it: any request,
// notification, response or batch. Decoding refuses with its own errors only,
// and whatever the server's fast scan of a plain envelope reads, the general
// decoding reads the same.
#include "fuzz_check.hpp"
#include "json/json.hpp"
#include "mcp/codec.hpp"
#include "mcp/envelope_scan.hpp"
#include "mcp/error.hpp"
#include "mcp/server.hpp"
#include "mcp/value.hpp"

namespace {

template <typename T>
void tryDecode(const json::Value& value) {
    try {
        (void)mcp::decode<T>(value);
    } catch (const json::DecodingError&) {
    } catch (const mcp::MCPError&) {
    }
}

template <typename T>
void checkSameAsGeneral(const T& plain, const std::optional<json::Value>& parsed) {
    FUZZ_CHECK(parsed);
    try {
        FUZZ_CHECK(mcp::decode<T>(*parsed) == plain);
    } catch (const json::DecodingError&) {
        FUZZ_CHECK(!"the general decoding refused what the scan read");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::optional<json::Value> parsed = fuzzJson(data, size);
    if (const auto plain = mcp::readPlainMessage(fuzzText(data, size))) {
        std::visit([&parsed](const auto& message) { checkSameAsGeneral(message, parsed); }, *plain);
    }
    if (!parsed) return 0;
    const json::Value& value = *parsed;
    tryDecode<mcp::Server::Batch>(value);
    tryDecode<mcp::AnyRequest>(value);
    tryDecode<mcp::AnyMessage>(value);
    tryDecode<mcp::AnyResponse>(value);
    tryDecode<mcp::Value>(value);
    return 0;
}
