// The network transport's settings and heartbeat frame.
#include "mcp/network_transport.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <unordered_set>

namespace {

using Transport = mcp::NetworkTransport;
using Heartbeat = Transport::Heartbeat;
using Bytes = std::vector<std::uint8_t>;

TEST(NetworkConfiguration, PresetsHoldTheirValues) {
    EXPECT_EQ(Transport::HeartbeatConfiguration::defaultConfiguration,
              (Transport::HeartbeatConfiguration{true, 15.0}));
    EXPECT_EQ(Transport::HeartbeatConfiguration::disabled, (Transport::HeartbeatConfiguration{false, 15.0}));
    EXPECT_EQ(Transport::ReconnectionConfiguration::defaultConfiguration,
              (Transport::ReconnectionConfiguration{true, 5, 1.5}));
    EXPECT_EQ(Transport::ReconnectionConfiguration::disabled, (Transport::ReconnectionConfiguration{false, 5, 1.5}));
    EXPECT_EQ(Transport::BufferConfiguration::defaultConfiguration.maxReceiveBufferSize, 10485760);
    EXPECT_EQ(Transport::BufferConfiguration::unlimited.maxReceiveBufferSize, std::nullopt);
    EXPECT_EQ(Transport::BufferConfiguration::defaultConfiguration.maxMessageSize, 64 * 1024 * 1024);
}

TEST(NetworkConfiguration, EqualValuesHashAlikeAndDifferentOnesDiffer) {
    using Reconnection = Transport::ReconnectionConfiguration;
    using Buffer = Transport::BufferConfiguration;
    EXPECT_EQ((Reconnection{true, 5, 0.0}), (Reconnection{true, 5, -0.0}));
    EXPECT_EQ(std::hash<Reconnection>()(Reconnection{true, 5, 0.0}),
              std::hash<Reconnection>()(Reconnection{true, 5, -0.0}));
    EXPECT_NE((Buffer{std::nullopt}), (Buffer{0}));
    EXPECT_NE(std::hash<Buffer>()(Buffer{std::nullopt}), std::hash<Buffer>()(Buffer{0}));

    std::unordered_set<Reconnection> set{Reconnection::defaultConfiguration, Reconnection::disabled,
                                         Reconnection{true, 5, 1.5}};
    EXPECT_EQ(set.size(), 2u);
}

TEST(NetworkHeartbeat, EncodesMagicAndLittleEndianMilliseconds) {
    EXPECT_EQ(Heartbeat(1.5).rawValue(), (Bytes{0xF0, 0x9F, 0x92, 0x93, 0xDC, 0x05, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Heartbeat(1.5).data(), std::string("\xF0\x9F\x92\x93\xDC\x05\0\0\0\0\0\0", 12));
    EXPECT_EQ(Heartbeat(1.5).timestampDescription(), "2001-01-01 00:00:01 +0000");
    // 2024-05-01 09:30:00 UTC.
    EXPECT_EQ(Heartbeat(1714555800.0 - Heartbeat::referenceDateOffset).timestampDescription(),
              "2024-05-01 09:30:00 +0000");
}

TEST(NetworkHeartbeat, TruncatesToTheMillisecond) {
    const Heartbeat a(1.0001);
    const Heartbeat b(1.0009);
    EXPECT_EQ(a, b);
    EXPECT_EQ(std::hash<Heartbeat>()(a), std::hash<Heartbeat>()(b));
    EXPECT_NE(a, Heartbeat(1.0015));
    EXPECT_EQ(Heartbeat::fromRawValue(b.rawValue())->timestamp(), 1.0);
}

TEST(NetworkHeartbeat, ClampsTimestampsOutsideTheEncodableRange) {
    const Bytes zero{0xF0, 0x9F, 0x92, 0x93, 0, 0, 0, 0, 0, 0, 0, 0};
    const Bytes full{0xF0, 0x9F, 0x92, 0x93, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(Heartbeat(-86400.0).rawValue(), zero);
    EXPECT_EQ(Heartbeat(std::nan("")).rawValue(), zero);
    EXPECT_EQ(Heartbeat(-std::numeric_limits<double>::infinity()).rawValue(), zero);
    EXPECT_EQ(Heartbeat(1e30).rawValue(), full);
    EXPECT_EQ(Heartbeat(std::numeric_limits<double>::infinity()).rawValue(), full);
    // The largest value still reads back, and its date has a description.
    const auto back = Heartbeat::fromRawValue(full);
    ASSERT_TRUE(back.has_value());
    EXPECT_FALSE(back->timestampDescription().empty());
}

TEST(NetworkHeartbeat, DecodesOnlyFramesWithTheMagicAndTwelveBytes) {
    const Bytes frame = Heartbeat(1.5).rawValue();
    struct Case {
        const char* name;
        Bytes bytes;
        std::optional<double> timestamp;
    };
    Bytes shortFrame(frame.begin(), frame.end() - 1);
    Bytes wrongHead = frame;
    wrongHead[0] = 0xF1;
    Bytes longer = frame;
    longer.push_back(0x7B);
    const std::vector<Case> cases = {
        {"11 bytes", shortFrame, std::nullopt},
        {"wrong first byte", wrongHead, std::nullopt},
        {"12 bytes", frame, 1.5},
        {"13 bytes", longer, 1.5},
        {"magic only", Bytes{0xF0, 0x9F, 0x92, 0x93}, std::nullopt},
        {"empty", Bytes{}, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto raw = Heartbeat::fromRawValue(c.bytes);
        const auto data = Heartbeat::fromData(std::string(c.bytes.begin(), c.bytes.end()));
        ASSERT_EQ(raw.has_value(), c.timestamp.has_value());
        ASSERT_EQ(data.has_value(), c.timestamp.has_value());
        if (c.timestamp) {
            EXPECT_EQ(raw->timestamp(), *c.timestamp);
            EXPECT_EQ(*raw, *data);
        }
    }
}

TEST(NetworkHeartbeat, RecognisesTheMagicWhateverTheLength) {
    EXPECT_TRUE(Heartbeat::isHeartbeat("\xF0\x9F\x92\x93"));
    EXPECT_FALSE(Heartbeat::fromData("\xF0\x9F\x92\x93").has_value());
    EXPECT_TRUE(Heartbeat::isHeartbeat("\xF0\x9F\x92\x93{}\n"));
    EXPECT_FALSE(Heartbeat::isHeartbeat("\xF0\x9F\x92"));
    EXPECT_FALSE(Heartbeat::isHeartbeat("{\"a\":\"\xF0\x9F\x92\x93\"}"));
}

TEST(NetworkReconnection, BackoffGrowsByTheMultiplier) {
    const auto& preset = Transport::ReconnectionConfiguration::defaultConfiguration;
    const std::vector<double> expected{0.5, 0.75, 1.125, 1.6875, 2.53125};
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_DOUBLE_EQ(preset.backoffDelay(static_cast<std::int64_t>(i + 1)), expected[i]) << "attempt " << i + 1;
    }
    for (double multiplier : {0.0, 1.0, 3.0, 1e300, std::nan("")}) {
        EXPECT_EQ((Transport::ReconnectionConfiguration{true, 5, multiplier}.backoffDelay(1)), 0.5) << multiplier;
    }
}

TEST(NetworkReconnection, PausesNeverOverflow) {
    using namespace std::chrono;
    EXPECT_EQ(mcp::durationFromSeconds(0.5), duration_cast<rt::Clock::duration>(milliseconds(500)));
    EXPECT_EQ(mcp::durationFromSeconds(-1.0), rt::Clock::duration::zero());
    EXPECT_EQ(mcp::durationFromSeconds(std::nan("")), rt::Clock::duration::zero());
    const auto huge = Transport::ReconnectionConfiguration{true, 5, 1e300}.backoffDelay(5);
    EXPECT_TRUE(std::isinf(huge));
    const auto capped = mcp::durationFromSeconds(huge);
    EXPECT_GT(capped, duration_cast<rt::Clock::duration>(hours(24 * 365)));
    EXPECT_LT(capped, rt::Clock::duration::max() / 2);
}

}  // namespace
