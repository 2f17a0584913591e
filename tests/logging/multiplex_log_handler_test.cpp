#include "logging/logging.hpp"
#include "support/recording_handler.hpp"

#include <gtest/gtest.h>

namespace logging {
namespace {
using testing::fixedProvider;
using testing::RecordingHandler;
using testing::RecordSink;
using Level = Logger::Level;
using MV = Logger::MetadataValue;

std::string namesOf(const std::vector<testing::Record>& records) {
    std::string out;
    for (const auto& r : records) out += r.handlerName + "@" + std::string(r.level.rawValue()) + " ";
    return out;
}

TEST(MultiplexLogHandler, LevelsDecidePerHandler) {
    auto sink = std::make_shared<RecordSink>();
    Logger logger("fan", [&](const std::string&) {
        return MultiplexLogHandler({RecordingHandler(sink, "a", Level::info), RecordingHandler(sink, "b", Level::debug)});
    });
    EXPECT_EQ(logger.logLevel(), Level::debug);
    logger.trace("MCP/x.cpp", "t");
    logger.debug("MCP/x.cpp", "d");
    logger.info("MCP/x.cpp", "i");
    EXPECT_EQ(namesOf(sink->snapshot()), "b@debug a@info b@info ");
    EXPECT_EQ(sink->snapshot().back().source, "MCP");

    logger.setLogLevel(Level::error);
    EXPECT_EQ(logger.logLevel(), Level::error);
    const AnyLogHandler handler = logger.handler();
    const auto* fan = handler.as<MultiplexLogHandler>();
    ASSERT_NE(fan, nullptr);
    for (const auto& h : fan->handlers()) EXPECT_EQ(h->logLevel(), Level::error);
}

}  // namespace
}  // namespace logging
