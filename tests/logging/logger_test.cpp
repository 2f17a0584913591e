#include "logging/logging.hpp"
#include "support/recording_handler.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace logging {
namespace {
using testing::RecordingHandler;
using testing::RecordSink;
using Level = Logger::Level;
using MV = Logger::MetadataValue;

constexpr const char* kFile = "MCP/server.cpp";

Logger recordingLogger(const std::shared_ptr<RecordSink>& sink, Level level, std::string label = "test") {
    return Logger(std::move(label), [&](const std::string&) { return RecordingHandler(sink, "h", level); });
}

struct Point {
    int x, y;
    std::string description() const { return "(" + std::to_string(x) + ", " + std::to_string(y) + ")"; }
};

TEST(LoggerMetadataValue, TextForms) {
    struct Case {
        MV value;
        const char* text;
    };
    const Case cases[] = {
        {MV("plain \"text\""), "plain \"text\""},
        {MV::stringConvertible(42), "42"},
        {MV::stringConvertible(Point{1, 2}), "(1, 2)"},
        {MV::array({}), "[]"},
        {MV::array({"a", "b\"c", MV::stringConvertible(7), "it's"}), R"(["a", "b\"c", "7", "it\'s"])"},
        {MV(Logger::Metadata{}), "[:]"},
        {MV::dictionary({{"k", "v"}}), R"(["k": "v"])"},
        {MV::dictionary({{"o", MV::dictionary({{"k", "line\nbreak"}})}}), R"(["o": "[\"k\": \"line\\nbreak\"]"])"},
        {MV::array({MV::array({"x"})}), R"(["[\"x\"]"])"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.value.description(), c.text);

    // Entries come in the map's own order: both orders are acceptable.
    const std::string two = MV::dictionary({{"a", "1"}, {"b", "2"}}).description();
    EXPECT_THAT(two, ::testing::AnyOf(R"(["a": "1", "b": "2"])", R"(["b": "2", "a": "1"])"));
}

TEST(Logger, LevelTestComesBeforeAnyEvaluation) {
    for (Level::Value handlerLevel : Level::allCases()) {
        auto sink = std::make_shared<RecordSink>();
        const Logger logger = recordingLogger(sink, handlerLevel);
        for (Level::Value recordLevel : Level::allCases()) {
            int built = 0;
            logger.log(
                recordLevel, [&] { ++built; return std::string("m"); },
                [&] { ++built; return Logger::Metadata{}; }, [&] { ++built; return std::string("S"); }, kFile, "f",
                1);
            EXPECT_EQ(built, recordLevel >= handlerLevel ? 3 : 0)
                << "handler " << Level(handlerLevel) << " record " << Level(recordLevel);
        }
        // Exactly the levels at or above the handler's reached it.
        EXPECT_EQ(sink->snapshot().size(), 7u - handlerLevel);
    }
}

TEST(Logger, CopiesAreIndependentAfterAChange) {
    auto sink = std::make_shared<RecordSink>();
    Logger original = recordingLogger(sink, Level::info, "relay");
    original.setMetadataItem("shared", MV("yes"));

    Logger copy = original;
    copy.setLogLevel(Level::debug);
    copy.setMetadataItem("only", MV("copy"));
    copy.setMetadataItem("shared", std::nullopt);

    EXPECT_EQ(original.logLevel(), Level::info);
    EXPECT_EQ(copy.logLevel(), Level::debug);
    EXPECT_EQ(original.metadataItem("shared"), MV("yes"));
    EXPECT_EQ(original.metadataItem("only"), std::nullopt);
    EXPECT_EQ(copy.metadataItem("shared"), std::nullopt);
    EXPECT_EQ(copy.metadataItem("only"), MV("copy"));

    // A handler read out is a copy: changing it alone changes nothing.
    AnyLogHandler h = original.handler();
    h->setLogLevel(Level::critical);
    EXPECT_EQ(original.logLevel(), Level::info);
    original.setHandler(h);
    EXPECT_EQ(original.logLevel(), Level::critical);
    EXPECT_EQ(copy.logLevel(), Level::debug);
}

}  // namespace
}  // namespace logging
