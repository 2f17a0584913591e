// JSON reading: never crashes, and whatever reads writes back to a text that
// reads and writes the same again. One normalising pass comes first: "-0"
// reads as the integer 0, so the double -0 settles only on the second write.
// A reading within a budget gives the same value or refuses the text whole.
#include "fuzz_check.hpp"
#include "json/json.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::optional<json::Value> parsed = fuzzJson(data, size);
    if (!parsed) return 0;
    const json::Value& value = *parsed;
    for (json::ReadBudget budget : {json::ReadBudget{size % 64, size % 61}, json::ReadBudget{size, size % 7}}) {
        try {
            FUZZ_CHECK(json::parse(fuzzText(data, size), budget) == value);
        } catch (const json::TooLarge&) {
        }
    }
    for (json::WriteOptions options : {json::WriteOptions{}, json::WriteOptions{true, true, true}}) {
        std::string written = json::write(json::parse(json::write(value, options)), options);
        FUZZ_CHECK(json::write(json::parse(written), options) == written);
    }
    return 0;
}
