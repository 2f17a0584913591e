// A peer's message as the server and the client decode it: any request,
// notification, response or batch. Decoding refuses with its own errors only,
// and whatever the server's fast scan of a plain envelope reads, the general
// decoding reads the same; so does the direct reading of any value, down to
// the written text (== takes -0.0 for 0.0 and texts by canonical equivalence).
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

std::string written(const mcp::Value& value) { return json::write(mcp::toJson(value)); }

template <typename T>
void checkSameAsGeneral(const T& plain, const std::optional<json::Value>& parsed) {
    FUZZ_CHECK(parsed);
    try {
        const T general = mcp::decode<T>(*parsed);
        FUZZ_CHECK(general == plain);
        FUZZ_CHECK(written(general.params) == written(plain.params));
    } catch (const json::DecodingError&) {
        FUZZ_CHECK(!"the general decoding refused what the scan read");
    }
}

void checkDirectReading(std::string_view text) {
    const std::optional<mcp::Value> direct = mcp::detail::readValueDirectly(text);
    if (!direct) return;
    try {
        const auto general = mcp::decode<mcp::Value>(json::parse(text, mcp::kMessageReadBudget));
        FUZZ_CHECK(general == *direct);
        FUZZ_CHECK(written(general) == written(*direct));
    } catch (const json::DecodingError&) {
        FUZZ_CHECK(!"the general reading refused what the direct one read");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    checkDirectReading(fuzzText(data, size));
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
