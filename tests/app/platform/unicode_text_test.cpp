#include "app/platform/unicode_text.hpp"

#include <gtest/gtest.h>

#include <string>

namespace app::platform {
namespace {
// Blanks are tabs and space separators; white space adds the line breaks.
TEST(UnicodeText, TrimsBlanksOrWhiteSpaceAtBothEnds) {
    struct Case {
        std::string text;
        std::string withoutBlanks;
        std::string withoutWhiteSpace;
    };
    const Case cases[] = {
        {"  a b  ", "a b", "a b"},
        {"\t\u3000a\u00A0", "a", "a"},
        {"\u2003x\u202F", "x", "x"},
        {"\na\n", "\na\n", "a"},
        {" \n ", "\n", ""},
        {"\u3000\t Ann Lee \n\u2028", "Ann Lee \n\u2028", "Ann Lee"},
        {"a \n b", "a \n b", "a \n b"},
        {"   ", "", ""},
        {"", "", ""},
        // An ill-formed sequence is never trimmed, nor anything beyond it.
        {" \xFF ", "\xFF", "\xFF"},
        {"\r\n\xFF\u0085", "\r\n\xFF\u0085", "\xFF"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(trimmingBlanks(c.text), c.withoutBlanks);
        EXPECT_EQ(trimmingWhiteSpace(c.text), c.withoutWhiteSpace);
    }
}

}  // namespace
}  // namespace app::platform
