// The vCard reader on any file content: contacts or nothing, never a crash.
#include "app/platform/vcard.hpp"
#include "fuzz_check.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    for (const auto& contact : app::platform::parseVCards(fuzzText(data, size), "fuzz.vcf")) {
        FUZZ_CHECK(!contact.identifier.empty());
    }
    return 0;
}
