// The network transport's settings and heartbeat frame.
#include "mcp/network_transport.hpp"

#include <gtest/gtest.h>

#include <cmath>

namespace {
using Transport = mcp::NetworkTransport;
using Heartbeat = Transport::Heartbeat;

TEST(NetworkHeartbeat, EncodesMagicAndLittleEndianMilliseconds) {
    EXPECT_EQ(Heartbeat(1.5).data(), std::string("\xF0\x9F\x92\x93\xDC\x05\0\0\0\0\0\0", 12));
    EXPECT_EQ(Heartbeat(1.5).timestampDescription(), "2001-01-01 00:00:01 +0000");
    // 2024-05-01 09:30:00 UTC.
    EXPECT_EQ(Heartbeat(1714555800.0 - Heartbeat::referenceDateOffset).timestampDescription(),
              "2024-05-01 09:30:00 +0000");
}

TEST(NetworkReconnection, BackoffGrowsByTheMultiplier) {
    const auto& preset = Transport::ReconnectionConfiguration::defaultConfiguration;
    const std::vector<double> expected{0.5, 0.75, 1.125, 1.6875, 2.53125};
    for (std::size_t i = 0; i < expected.size(); ++i)
        EXPECT_DOUBLE_EQ(preset.backoffDelay(static_cast<std::int64_t>(i + 1)), expected[i]) << "attempt " << i + 1;
    for (double multiplier : {0.0, 1.0, 3.0, 1e300, std::nan("")})
        EXPECT_EQ((Transport::ReconnectionConfiguration{true, 5, multiplier}.backoffDelay(1)), 0.5) << multiplier;
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
