#include "eventsource/event_sequence.hpp"
#include "eventsource/parser.hpp"
#include "json/json.hpp"

#include <gtest/gtest.h>

namespace {
using eventsource::Event;
using eventsource::Parser;

Event data(std::string d) { return Event{std::nullopt, std::nullopt, std::move(d), std::nullopt}; }

const std::string kFFFD = "\xEF\xBF\xBD";

struct ParserCase {
    const char* name;
    std::vector<std::string> chunks;  // the input, in the pieces it arrives in
    std::vector<Event> events;        // everything dispatched, finish() included
    std::string lastEventId = "";
    std::int64_t reconnectionTime = 3000;
};

const std::vector<ParserCase>& parserCases() {
    static const std::vector<ParserCase> cases = {
        {"one event", {"data: a\n\n"}, {data("a")}},
        {"one space removed, CR LF endings", {"data:a\r\ndata:  b\r\n\r\n"}, {data("a\n b")}},
        {"id belongs to its block only",
         {"id: 7\n\ndata: y\n\n"},
         {Event{"7", std::nullopt, "", std::nullopt}, data("y")},
         "7"},
        {"id with NUL ignored", {std::string("id: 1\n\nid: a\0b\n\nid: c\0\ndata: z\n\n", 32)},
         {Event{"1", std::nullopt, "", std::nullopt}, data("z")},
         "1"},
        {"all fields",
         {"id: 1\nevent: e\nretry: 10\ndata: d\n\n"},
         {Event{"1", "e", "d", 10}},
         "1",
         10},
        {"largest retry", {"retry: 9223372036854775807\ndata: r\n\n"},
         {Event{std::nullopt, std::nullopt, "r", INT64_MAX}}, "", INT64_MAX},
        {"bad retries ignored",
         {"retry: 0\nretry: -5\nretry: 12a\nretry:  5\nretry: 9223372036854775808\nretry:\nretry: 1.5\nretry: ++1\n\n"},
         {}},
        {"byte-order mark on any line",
         {"\xEF\xBB\xBF" "data: a\n\xEF\xBB\xBF" "data: b\n\n"},
         {data("a\nb")}},
        {"CR LF split across chunks", {"data: a\r", "\ndata: b\r", "\n\r", "\n"}, {data("a\nb")}},
        {"invalid UTF-8 repaired",
         {"data: a\xff" "b\xc3\n",
          "data: \xc0\xaf|\xe0\x80\x80|\xed\xa0\x80|\xf0\x9f\x98|\xf4\x90\x80\x80|\xe2\x82\n\n"},
         {data("a" + kFFFD + "b" + kFFFD + "\n" + kFFFD + kFFFD + "|" + kFFFD + kFFFD + kFFFD + "|" + kFFFD + kFFFD +
               kFFFD + "|" + kFFFD + "|" + kFFFD + kFFFD + kFFFD + kFFFD + "|" + kFFFD)}},
        // A stream cut inside an event: what was read of it is never an event.
        {"unterminated final block", {"data: a\n\ndata: z"}, {data("a")}},
        {"message cut inside its data", {"data: {\"jsonrpc\":\"2.0\",\"id\":1,\"res"}, {}},
        {"empty data then CR then end", {"data:\r"}, {}},
    };
    return cases;
}

std::vector<Event> drain(Parser& parser) {
    std::vector<Event> out;
    while (auto e = parser.nextEvent()) out.push_back(*e);
    return out;
}

enum class Feed { whole, chunks, bytes };

TEST(Parser, EdgeCasesFedWholeInChunksAndByteByByte) {
    for (const auto feed : {Feed::whole, Feed::chunks, Feed::bytes}) {
        for (const auto& c : parserCases()) {
            SCOPED_TRACE(std::string(c.name) + (feed == Feed::whole ? " (whole)" : feed == Feed::chunks ? " (chunks)" : " (bytes)"));
            Parser parser;
            std::string all;
            for (const auto& chunk : c.chunks) all += chunk;
            if (feed == Feed::whole) parser.parse(all);
            if (feed == Feed::chunks)
                for (const auto& chunk : c.chunks) parser.parse(chunk);
            if (feed == Feed::bytes)
                for (const char b : all) parser.parse(static_cast<std::uint8_t>(b));
            std::vector<Event> events = drain(parser);
            parser.finish();
            for (auto& e : drain(parser)) events.push_back(e);
            EXPECT_EQ(events, c.events);
            EXPECT_EQ(parser.getLastEventId(), c.lastEventId);
            EXPECT_EQ(parser.getReconnectionTime(), c.reconnectionTime);
            parser.finish();  // a second end has nothing left
            EXPECT_FALSE(parser.hasEvent());
        }
    }
}

TEST(Parser, LineAndEventSizeAreCapped) {
    struct Case {
        const char* name;
        std::string input;
        const char* error;
    };
    const std::vector<Case> cases = {
        {"line", "data: " + std::string(11, 'x') + "\n", "Server-sent event line exceeds the limit of 16 bytes"},
        {"line without terminator", std::string(17, 'x'), "Server-sent event line exceeds the limit of 16 bytes"},
        {"data of one event", "data: 0123456789\ndata: 0123456\n", "Server-sent event data exceeds the limit of 16 bytes"},
    };
    for (const bool bytewise : {false, true}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (bytewise ? " (bytes)" : " (whole)"));
            Parser parser(16);
            try {
                if (bytewise) {
                    for (const char b : c.input) parser.parse(static_cast<std::uint8_t>(b));
                } else {
                    parser.parse(c.input);
                }
                FAIL() << "no error";
            } catch (const eventsource::SizeLimitError& e) {
                EXPECT_STREQ(e.what(), c.error);
            }
            // The offending line and event are gone; the next line starts afresh.
            parser.parse("\ndata: ok\n\n");
            EXPECT_EQ(drain(parser), std::vector<Event>{data("ok")});
        }
    }
    const std::pair<std::string, std::string> exact[] = {
        {"data: 0123456789\n\n", "0123456789"},                // a line of 16 bytes
        {"data: 0123456\ndata: 01234567\n\n", "0123456\n01234567"},  // data of 16 bytes over two lines
    };
    for (const auto& [input, expected] : exact) {
        SCOPED_TRACE(input);
        Parser parser(16);
        parser.parse(input);
        EXPECT_EQ(drain(parser), std::vector<Event>{data(expected)});
    }
}

TEST(EventValues, EncodeOnlyPresentMembersAndDecodeBack) {
    const std::vector<std::pair<Event, std::string>> cases = {
        {data("x"), R"({"data":"x"})"},
        {Event{"", "", "", 0}, R"({"id":"","event":"","data":"","retry":0})"},
        {Event{"7", "ping", "a\nb", 500}, R"({"id":"7","event":"ping","data":"a\nb","retry":500})"},
    };
    for (const auto& [event, text] : cases) {
        EXPECT_EQ(json::write(eventsource::encode(event)), text);
        EXPECT_EQ(eventsource::decodeEvent(json::parse(text)), event);
    }

    try {
        eventsource::decodeEvent(json::parse(R"({"id":"1"})"));
        FAIL() << "no error";
    } catch (const json::DecodingError& e) {
        EXPECT_EQ(e.kind(), json::DecodingError::Kind::KeyNotFound);
        EXPECT_STREQ(e.what(), "The data couldn\u2019t be read because it is missing.");
    }
    EXPECT_THROW(eventsource::decodeEvent(json::parse(R"({"data":1})")), json::DecodingError);
    EXPECT_THROW(eventsource::decodeEvent(json::parse(R"({"data":"","retry":"5"})")), json::DecodingError);
}

}  // namespace
