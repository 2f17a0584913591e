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

TEST(MultiplexLogHandler, ProviderReads) {
    auto sink = std::make_shared<RecordSink>();
    const auto withProvider = [&](std::optional<Logger::Metadata> m) {
        RecordingHandler h(sink);
        if (m) h.setMetadataProvider(fixedProvider(*m));
        return AnyLogHandler(h);
    };
    struct Case {
        const char* name;
        std::vector<AnyLogHandler> handlers;
        std::optional<Logger::Metadata> own;
        std::optional<Logger::Metadata> expected;  // nullopt: no provider
    };
    const Logger::Metadata a{{"k", "a"}, {"a", "1"}}, b{{"k", "b"}}, own{{"k", "own"}};
    const Case cases[] = {
        {"one with both", {withProvider(a)}, own, Logger::Metadata{{"k", "own"}, {"a", "1"}}},
        {"one, handler only", {withProvider(a)}, std::nullopt, a},
        {"one, own only", {withProvider(std::nullopt)}, own, own},
        {"one, neither", {withProvider(std::nullopt)}, std::nullopt, std::nullopt},
        {"two with own", {withProvider(a), withProvider(b)}, own, Logger::Metadata{{"k", "own"}, {"a", "1"}}},
        {"two, later wins", {withProvider(a), withProvider(b)}, std::nullopt, Logger::Metadata{{"k", "b"}, {"a", "1"}}},
        {"two, none", {withProvider(std::nullopt), withProvider(std::nullopt)}, std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        std::optional<Logger::MetadataProvider> ownProvider;
        if (c.own) ownProvider = fixedProvider(*c.own);
        MultiplexLogHandler fan(c.handlers, ownProvider);
        auto p = fan.metadataProvider();
        ASSERT_EQ(p.has_value(), c.expected.has_value()) << c.name;
        if (p) {
            EXPECT_EQ(p->provideMetadata(), *c.expected) << c.name;
        }
    }

    // Writing sets the handlers' providers; the own provider stays.
    MultiplexLogHandler fan({withProvider(std::nullopt), withProvider(a)}, fixedProvider({{"own", "1"}}));
    fan.setMetadataProvider(fixedProvider({{"new", "1"}}));
    for (const auto& h : fan.handlers()) EXPECT_EQ(h->metadataProvider()->provideMetadata().count("new"), 1u);
    EXPECT_EQ(fan.metadataProvider()->provideMetadata(), (Logger::Metadata{{"new", "1"}, {"own", "1"}}));
}

}  // namespace
}  // namespace logging
