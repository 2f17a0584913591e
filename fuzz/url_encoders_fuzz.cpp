// The URL encoders of the mail and maps families: their output is URL text
// without a query delimiter that decodes back to the input (maps repairs
// ill-formed UTF-8 first), and a mailto URL built from any subject and body
// is a valid URI reference.
#include "app/tools/mail/mail_tools.hpp"
#include "app/tools/maps/maps_service.hpp"
#include "fuzz_check.hpp"
#include "json/utf8.hpp"

#include <string>

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// `plusKept`: mailto keeps "+" as it is; a map query reads it as a blank.
std::string decodedQueryValue(std::string_view encoded, bool plusKept) {
    std::string decoded;
    for (std::size_t i = 0; i < encoded.size(); ++i) {
        char c = encoded[i];
        FUZZ_CHECK(c > 0x20 && c < 0x7F && c != '&' && c != '=' && c != '#' && (plusKept || c != '+'));
        if (c != '%') {
            decoded += c;
            continue;
        }
        FUZZ_CHECK(i + 2 < encoded.size());
        int hi = hexValue(encoded[i + 1]), lo = hexValue(encoded[i + 2]);
        FUZZ_CHECK(hi >= 0 && lo >= 0);
        decoded += static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    return decoded;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text = fuzzText(data, size);
    if (auto encoded = app::tools::percentEncodedQueryValue(text)) {
        FUZZ_CHECK(decodedQueryValue(*encoded, true) == text);
        std::string s(text);
        FUZZ_CHECK(app::tools::isValidURIReference(app::tools::mailtoURL("a@example.com", s, s)));
    }
    FUZZ_CHECK(decodedQueryValue(app::tools::mapQueryEncoded(text), false) == json::repairUtf8(text));
    return 0;
}
