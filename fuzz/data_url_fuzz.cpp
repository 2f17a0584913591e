// Data URLs: a decoded URL encodes back to one that decodes the same.
#include "fuzz_check.hpp"
#include "mcp/value.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text = fuzzText(data, size);
    auto url = mcp::decodeDataURL(text);
    if (!url) return 0;
    FUZZ_CHECK(mcp::matchesDataURL(text));
    auto again = mcp::decodeDataURL(mcp::encodeDataURL(url->bytes, url->mimeType));
    FUZZ_CHECK(again && again->bytes == url->bytes);
    auto bytes = mcp::base64Decode(mcp::base64Encode(url->bytes));
    FUZZ_CHECK(bytes && *bytes == url->bytes);
    return 0;
}
