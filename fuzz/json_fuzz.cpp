// JSON reading: never crashes, and whatever reads writes back to a text that
// reads and writes the same again. One normalising pass comes first: "-0"
// reads as the integer 0, so the double -0 settles only on the second write.
// A reading within a budget gives the same value or refuses the text whole.
// The fast reader and nlohmann's parser agree on every text the fast reader
// takes, and json::parse ends exactly as nlohmann's parser alone does.
#include "fuzz_check.hpp"
#include "json/json.hpp"
#include "json/parse_with_library.hpp"

#include <functional>
#include <string>

namespace {

// Value == ignores member order and the sign of zero; the written text does not.
bool identical(const json::Value& a, const json::Value& b) { return a == b && json::write(a) == json::write(b); }

struct Outcome {
    enum { Read, TooLarge, Refused } how;
    json::Value value;
    std::string debug;
};

Outcome outcome(const std::function<json::Value()>& read) {
    try {
        return {Outcome::Read, read(), {}};
    } catch (const json::TooLarge&) {
        return {Outcome::TooLarge, {}, {}};
    } catch (const json::DecodingError& e) {
        return {Outcome::Refused, {}, e.debugDescription()};
    }
}

void readingsAgree(std::string_view text, json::ReadBudget budget) {
    const Outcome library = outcome([&] { return json::detail::parseWithLibrary(text, budget); });
    if (const std::optional<json::Value> fast = json::detail::readFast(text, budget)) {
        FUZZ_CHECK(library.how == Outcome::Read);
        FUZZ_CHECK(identical(*fast, library.value));
    }
    const Outcome parsed = outcome([&] { return json::parse(text, budget); });
    FUZZ_CHECK(parsed.how == library.how);
    FUZZ_CHECK(parsed.debug == library.debug);
    if (parsed.how == Outcome::Read) FUZZ_CHECK(identical(parsed.value, library.value));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = fuzzText(data, size);
    for (json::ReadBudget budget : {json::ReadBudget{}, json::ReadBudget{size % 64, size % 61}})
        readingsAgree(text, budget);
    const std::optional<json::Value> parsed = fuzzJson(data, size);
    if (!parsed) return 0;
    const json::Value& value = *parsed;
    for (json::ReadBudget budget : {json::ReadBudget{size % 64, size % 61}, json::ReadBudget{size, size % 7}}) {
        try {
            FUZZ_CHECK(json::parse(text, budget) == value);
        } catch (const json::TooLarge&) {
        }
    }
    for (json::WriteOptions options : {json::WriteOptions{}, json::WriteOptions{true, true, true}}) {
        std::string written = json::write(json::parse(json::write(value, options)), options);
        FUZZ_CHECK(json::write(json::parse(written), options) == written);
    }
    return 0;
}
