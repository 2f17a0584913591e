// The mail family's query encoder: its output is URL text with no query
// delimiter in it that decodes back to the input, and a mailto URL built from
// any subject and body is a valid URI reference.
#include "app/tools/mail/mail_tools.hpp"
#include "fuzz_check.hpp"

#include <string>

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text = fuzzText(data, size);
    auto encoded = app::tools::percentEncodedQueryValue(text);
    if (!encoded) return 0;
    std::string decoded;
    for (std::size_t i = 0; i < encoded->size(); ++i) {
        char c = (*encoded)[i];
        FUZZ_CHECK(c > 0x20 && c < 0x7F && c != '&' && c != '=' && c != '#');
        if (c != '%') {
            decoded += c;
            continue;
        }
        FUZZ_CHECK(i + 2 < encoded->size());
        int hi = hexValue((*encoded)[i + 1]), lo = hexValue((*encoded)[i + 2]);
        FUZZ_CHECK(hi >= 0 && lo >= 0);
        decoded += static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    FUZZ_CHECK(decoded == text);
    FUZZ_CHECK(app::tools::isValidURIReference(app::tools::mailtoURL("a@example.com", std::string(text), std::string(text))));
    return 0;
}
