// The event-stream parser: the events do not depend on how the bytes were
// cut into chunks. The first byte picks the chunk size.
#include "eventsource/parser.hpp"
#include "fuzz_check.hpp"

#include <vector>

namespace {

std::vector<eventsource::Event> parse(std::string_view bytes, std::size_t chunk) {
    eventsource::Parser parser(4096);
    for (std::size_t i = 0; i < bytes.size(); i += chunk) parser.parse(bytes.substr(i, chunk));
    parser.finish();
    std::vector<eventsource::Event> events;
    while (auto event = parser.nextEvent()) events.push_back(std::move(*event));
    return events;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    std::size_t chunk = data[0] % 16 + 1;
    std::string_view bytes = fuzzText(data + 1, size - 1);
    FUZZ_CHECK(parse(bytes, chunk) == parse(bytes, bytes.size() + 1));
    return 0;
}
