#include "logging/logging.hpp"
#include "logging/recording_handler.hpp"

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

TEST(MultiplexLogHandler, EmptyList) {
    MultiplexLogHandler empty({});
    EXPECT_EQ(empty.logLevel(), Level::trace);
    empty.log(Level::critical, Logger::Message("m"), std::nullopt, "S", "F/f", "f", 1);  // nothing to deliver
    EXPECT_EQ(empty.metadataItem("k"), std::nullopt);
    EXPECT_FALSE(empty.metadataProvider().has_value());
    EXPECT_TRUE(empty.metadata().empty());

    MultiplexLogHandler withOwn({}, fixedProvider({{"own", "1"}}));
    ASSERT_TRUE(withOwn.metadataProvider().has_value());
    EXPECT_EQ(withOwn.metadataProvider()->provideMetadata(), (Logger::Metadata{{"own", "1"}}));
    EXPECT_EQ(withOwn.metadata(), (Logger::Metadata{{"own", "1"}}));
}

TEST(MultiplexLogHandler, MetadataReadsAndWrites) {
    auto sink = std::make_shared<RecordSink>();
    RecordingHandler first(sink, "a"), second(sink, "b");
    first.setMetadata({{"k", "first"}, {"p", "handler"}, {"o", "handler"}});
    first.setMetadataProvider(fixedProvider({{"p", "provider"}}));
    second.setMetadata({{"k", "second"}});
    MultiplexLogHandler fan({first, second}, fixedProvider({{"o", "own"}}));

    EXPECT_EQ(fan.metadataItem("k"), MV("first"));  // first handler that has it
    EXPECT_EQ(fan.metadataItem("p"), MV("handler"));  // providers not consulted
    EXPECT_EQ(fan.metadata(), (Logger::Metadata{{"k", "second"}, {"p", "provider"}, {"o", "own"}}));

    fan.setMetadataItem("k", std::nullopt);
    fan.setMetadataItem("n", MV("new"));
    for (const auto& h : fan.handlers()) {
        EXPECT_EQ(h->metadataItem("k"), std::nullopt);
        EXPECT_EQ(h->metadataItem("n"), MV("new"));
    }
    fan.setMetadata({{"only", "x"}});
    for (const auto& h : fan.handlers()) EXPECT_EQ(h->metadata(), (Logger::Metadata{{"only", "x"}}));
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

TEST(MultiplexProviders, CombinesInOrder) {
    EXPECT_FALSE(multiplexProviders({}).has_value());
    int calls = 0;
    const auto counting = Logger::MetadataProvider([&] {
        ++calls;
        return Logger::Metadata{};
    });
    auto combined = multiplexProviders({fixedProvider({{"k", "1"}, {"a", "a"}}), counting,
                                        fixedProvider({{"k", "3"}, {"c", "c"}})});
    ASSERT_TRUE(combined.has_value());
    EXPECT_EQ(combined->provideMetadata(), (Logger::Metadata{{"k", "3"}, {"a", "a"}, {"c", "c"}}));
    EXPECT_EQ(calls, 1);
    auto single = multiplexProviders({fixedProvider({{"x", "y"}})});
    ASSERT_TRUE(single.has_value());
    EXPECT_EQ(single->provideMetadata(), (Logger::Metadata{{"x", "y"}}));
}

}  // namespace
}  // namespace logging
