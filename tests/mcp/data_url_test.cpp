#include "mcp/value.hpp"

#include <gtest/gtest.h>

namespace mcp {
namespace {
Bytes bytesOf(std::string_view s) { return Bytes(s.begin(), s.end()); }

struct DataURLCase {
    const char* text;
    bool matches;
    std::optional<DataURL> decoded;  // absent: the string stays a string
    const char* rewritten = nullptr;  // the data URL written back, when it differs from the text
};

TEST(DataURL, MatchDecodeAndRoundTrip) {
    const DataURLCase cases[] = {
        {"data:,", true, DataURL{"text/plain", {}}, "data:text/plain;base64,"},
        {"data:;base64,", true, DataURL{"text/plain", {}}, "data:text/plain;base64,"},
        {"data:text/plain;charset=utf-8,hello", true, DataURL{"text/plain;charset=utf-8", bytesOf("hello")},
         "data:text/plain;charset=utf-8;base64,aGVsbG8="},
        {"data:image/png;charset=utf-8;base64,AAAA", true, DataURL{"image/png", {0, 0, 0}},
         "data:image/png;base64,AAAA"},
        {"data:image/png;base64,not base64!", true, {}},
        {"data:text/plain;name=x,abc", false, {}},
        {"data:;base64;charset=x,abc", false, {}},
        {"data:,a%20b", true, DataURL{"text/plain", bytesOf("a b")}, "data:text/plain;base64,YSBi"},
        {"data:,%C3%A9+", true, DataURL{"text/plain", bytesOf("\xC3\xA9+")}, "data:text/plain;base64,w6kr"},
        {"data:,%ED%A0%80", true, {}},  // an encoded surrogate is not UTF-8
        {"data:,a\nb", true, DataURL{"text/plain", bytesOf("a\nb")}, "data:text/plain;base64,YQpi"},
        {"data:;base64,AA==", true, DataURL{"text/plain", {0}}, "data:text/plain;base64,AA=="},
        {"data:;base64,AAA=", true, DataURL{"text/plain", {0, 0}}, "data:text/plain;base64,AAA="},
        {"data:;base64,+/+/", true, DataURL{"text/plain", {0xFB, 0xFF, 0xBF}}, "data:text/plain;base64,+/+/"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(matchesDataURL(c.text), c.matches);
        EXPECT_EQ(decodeDataURL(c.text), c.decoded);

        if (c.decoded) {
            EXPECT_EQ(encodeDataURL(c.decoded->bytes, c.decoded->mimeType), c.rewritten ? c.rewritten : c.text);
        }
        // Read from JSON, every one of them stays the very same text.
        Value v = decode<Value>(json::Value(c.text));
        ASSERT_NE(v.stringValue(), nullptr);
        EXPECT_EQ(*v.stringValue(), c.text);
    }
}

TEST(DataURL, Base64RoundTripsEveryLength) {
    Bytes bytes;
    for (int n = 0; n < 70; ++n) {
        std::string text = base64Encode(bytes);
        EXPECT_EQ(text.size() % 4, 0u);
        EXPECT_EQ(base64Decode(text), bytes) << text;
        bytes.push_back(static_cast<std::uint8_t>(n * 37 + 11));
    }
    EXPECT_EQ(base64Encode(bytesOf("f")), "Zg==");
    EXPECT_EQ(base64Encode(bytesOf("fo")), "Zm8=");
    EXPECT_EQ(base64Encode(bytesOf("foo")), "Zm9v");
}

TEST(DataURL, TenMegabytePayloadsDecodeWithoutTrouble) {
    Bytes big(10 * 1024 * 1024);
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i * 131 + (i >> 12));
    std::string url = encodeDataURL(big, "application/octet-stream");

    auto decoded = decodeDataURL(url);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->bytes, big);

    // A large percent payload and a large non-matching text fail cleanly.
    std::string percent = "data:," + std::string(10 * 1024 * 1024, 'a') + "%";
    EXPECT_TRUE(matchesDataURL(percent));
    EXPECT_FALSE(decodeDataURL(percent));
    std::string bad = "data:" + std::string(10 * 1024 * 1024, 'x');
    EXPECT_FALSE(matchesDataURL(bad));
}

}  // namespace
}  // namespace mcp
