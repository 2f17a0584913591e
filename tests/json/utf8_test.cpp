#include "json/utf8.hpp"

#include "json/json.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {
const std::string R = "\xEF\xBF\xBD";

struct Case {
    const char* name;
    std::string input;
    std::string repaired;
};

// Each maximal ill-formed subpart is one U+FFFD.
const Case kCases[] = {
    {"empty", "", ""},
    {"ASCII with NUL and DEL", std::string("a\0b\x7F", 4), std::string("a\0b\x7F", 4)},
    {"highest two-byte U+07FF", "\xDF\xBF", "\xDF\xBF"},
    {"lowest three-byte U+0800", "\xE0\xA0\x80", "\xE0\xA0\x80"},
    {"first after surrogates U+E000", "\xEE\x80\x80", "\xEE\x80\x80"},
    {"lowest four-byte U+10000", "\xF0\x90\x80\x80", "\xF0\x90\x80\x80"},
    {"highest U+10FFFF", "\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},
    {"lone continuation bytes", "\x80" "a\xBF", R + "a" + R},
    {"C0 and C1 leads (overlong two-byte)", "\xC0\xAF\xC1\xBF", R + R + R + R},
    {"overlong three-byte", "\xE0\x80\x80", R + R + R},
    {"overlong four-byte", "\xF0\x80\x80\x80", R + R + R + R},
    {"high surrogate", "\xED\xA0\x80", R + R + R},
    {"above U+10FFFF", "\xF4\x90\x80\x80", R + R + R + R},
    {"F5 to FF leads", "\xF5\x80\xF8\xFE\xFF", R + R + R + R + R},
    {"truncated two-byte at the end", "a\xC3", "a" + R},
    {"truncated before ASCII", "\xF0\x9F\x98" "x", R + "x"},
    {"truncated before a well-formed character", "\xE2\x82\xC3\xA9", R + "\xC3\xA9"},
    {"truncated before another lead", "\xE2\xE2\x82\xAC", R + "\xE2\x82\xAC"},
    {"Unicode's example of maximal subparts", "a\xF1\x80\x80\xE1\x80\xC2" "b\x80" "c\x80\xBF" "d",
     "a" + R + R + R + "b" + R + "c" + R + R + "d"},
    {"ill-formed after a long ASCII run", std::string(17, 'x') + "\xFF" + std::string(9, 'y'),
     std::string(17, 'x') + R + std::string(9, 'y')},
    {"character across an eight-byte boundary", "1234567\xF0\x9F\x98\x80" "89abcdef",
     "1234567\xF0\x9F\x98\x80" "89abcdef"},
};

TEST(Utf8, RepairAndValidity) {
    for (const auto& c : kCases) {
        const bool wellFormed = c.input == c.repaired;
        EXPECT_EQ(json::repairUtf8(c.input), c.repaired) << c.name;
        EXPECT_EQ(json::isValidUtf8(c.input), wellFormed) << c.name;
        std::string appended = "kept";
        json::appendRepairedUtf8(appended, c.input);
        EXPECT_EQ(appended, "kept" + c.repaired) << c.name;
        const std::size_t prefix = json::validUtf8Prefix(c.input);
        EXPECT_EQ(prefix == c.input.size(), wellFormed) << c.name;
        EXPECT_EQ(c.repaired.compare(0, prefix, c.input, 0, prefix), 0) << c.name;
        EXPECT_TRUE(json::isValidUtf8(c.repaired)) << c.name;
    }
}

// The writer repairs strings the same way; its output stays readable.
TEST(Utf8, WriterRepairsAlike) {
    for (const auto& c : kCases) {
        if (c.input.find('\0') != std::string::npos) continue;  // escaped by the writer
        std::string out;
        json::writeString(out, c.input);
        EXPECT_EQ(out, "\"" + c.repaired + "\"") << c.name;
        EXPECT_EQ(json::parse(out).asString(), c.repaired) << c.name;
    }
}

// The word-at-a-time ASCII scan must still see a bad byte at every offset.
TEST(Utf8, PrefixStopsAtEveryOffset) {
    for (std::size_t at = 0; at < 24; ++at) {
        std::string text(24, 'a');
        text[at] = '\x80';
        EXPECT_EQ(json::validUtf8Prefix(text), at) << at;
        text[at] = '\xC3';  // truncated by the following 'a'
        EXPECT_EQ(json::validUtf8Prefix(text), at) << at;
    }
}

}  // namespace
