#include "app/platform/apple_script.hpp"

#include <gtest/gtest.h>

namespace app::platform {
namespace {
TEST(LexAppleScript, SplitsCodeAndDecodedLiterals) {
    struct Case {
        std::string source;
        std::vector<std::string> code, literals;
    };
    const Case cases[] = {
        {"tell application \"Music\" to play", {"tell application ", " to play"}, {"Music"}},
        {"", {""}, {}},
        {"\"\"", {"", ""}, {""}},
        {"\"a\"\"b\"", {"", "", ""}, {"a", "b"}},
        {"x \"q\\\"uote\\\\ \\n\\r\\t\"", {"x ", ""}, {"q\"uote\\ \n\r\t"}},
        {"\"raw\nline\"", {"", ""}, {"raw\nline"}},
        // a quote inside a comment starts no literal
        {"-- it's \"quoted\nset x to \"v\"", {"-- it's \"quoted\nset x to ", ""}, {"v"}},
        {"# \"\nx", {"# \"\nx"}, {}},
        {"(* a (* \"nested\" *) b *) \"v\"", {"(* a (* \"nested\" *) b *) ", ""}, {"v"}},
        {"read file \"p\" as «class utf8»", {"read file ", " as «class utf8»"}, {"p"}},
    };
    for (const auto& c : cases) {
        LexedScript lexed = lexAppleScript(c.source);
        EXPECT_EQ(lexed.code, c.code) << c.source;
        EXPECT_EQ(lexed.literals, c.literals) << c.source;
    }
}

}  // namespace
}  // namespace app::platform
