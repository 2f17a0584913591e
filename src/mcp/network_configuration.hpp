// The network transport's settings and its heartbeat frame. Declared at
// namespace level; NetworkTransport exposes them as
// NetworkTransport::HeartbeatConfiguration, ::ReconnectionConfiguration,
// ::BufferConfiguration and ::Heartbeat.
#pragma once

#include "mcp/hash.hpp"
#include "runtime/runtime.hpp"

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mcp {

struct NetworkHeartbeatConfiguration {
    // Start the heartbeat task when the connection becomes ready.
    bool enabled = true;
    // Seconds between two heartbeats.
    double interval = 15.0;

    static const NetworkHeartbeatConfiguration defaultConfiguration;  // enabled, 15 s
    static const NetworkHeartbeatConfiguration disabled;              // off, 15 s

    friend bool operator==(const NetworkHeartbeatConfiguration&, const NetworkHeartbeatConfiguration&) = default;
};
inline constexpr NetworkHeartbeatConfiguration NetworkHeartbeatConfiguration::defaultConfiguration{true, 15.0};
inline constexpr NetworkHeartbeatConfiguration NetworkHeartbeatConfiguration::disabled{false, 15.0};

struct NetworkReconnectionConfiguration {
    bool enabled = true;
    // Attempts are counted from 1; 0 or below means none.
    std::int64_t maxAttempts = 5;
    double backoffMultiplier = 1.5;

    static const NetworkReconnectionConfiguration defaultConfiguration;  // on, 5, 1.5
    static const NetworkReconnectionConfiguration disabled;              // off, 5, 1.5

    // Seconds before attempt number `attempt` (1 for the first):
    // 0.5 * backoffMultiplier^(attempt - 1), without a cap.
    double backoffDelay(std::int64_t attempt) const;

    friend bool operator==(const NetworkReconnectionConfiguration&,
                           const NetworkReconnectionConfiguration&) = default;
};
inline constexpr NetworkReconnectionConfiguration NetworkReconnectionConfiguration::defaultConfiguration{true, 5,
                                                                                                         1.5};
inline constexpr NetworkReconnectionConfiguration NetworkReconnectionConfiguration::disabled{false, 5, 1.5};

struct NetworkBufferConfiguration {
    static constexpr std::int64_t defaultMaxMessageSize = 64 * 1024 * 1024;

    // The most bytes one receive asks the connection for; absent: no limit.
    std::optional<std::int64_t> maxReceiveBufferSize = 10 * 1024 * 1024;
    // The most bytes of one message still waiting for its newline; more is a
    // receive failure, so a peer that never ends a line cannot exhaust memory.
    std::int64_t maxMessageSize = defaultMaxMessageSize;

    static const NetworkBufferConfiguration defaultConfiguration;  // 10 MiB per receive
    static const NetworkBufferConfiguration unlimited;             // no limit per receive

    friend bool operator==(const NetworkBufferConfiguration&, const NetworkBufferConfiguration&) = default;
};
inline constexpr NetworkBufferConfiguration NetworkBufferConfiguration::defaultConfiguration{10 * 1024 * 1024};
inline constexpr NetworkBufferConfiguration NetworkBufferConfiguration::unlimited{std::nullopt};

// Fields in declaration order; a float by its bit pattern, -0 as 0.
void hashInto(Hasher& h, const NetworkHeartbeatConfiguration& c);
void hashInto(Hasher& h, const NetworkReconnectionConfiguration& c);
void hashInto(Hasher& h, const NetworkBufferConfiguration& c);

// The 12-byte frame both ends send between messages: the UTF-8 bytes of U+1F493
// (F0 9F 92 93), then whole milliseconds since 2001-01-01 00:00:00 UTC as an
// unsigned 64-bit little-endian integer. It travels without a newline.
class NetworkHeartbeat {
public:
    static constexpr std::array<std::uint8_t, 4> magic{0xF0, 0x9F, 0x92, 0x93};
    static constexpr std::size_t frameSize = 12;
    // Seconds from the Unix epoch to 2001-01-01 00:00:00 UTC.
    static constexpr double referenceDateOffset = 978307200.0;

    // Seconds since 2001-01-01 00:00:00 UTC, now.
    static double currentTimestamp();

    // `timestamp`: seconds since 2001-01-01 00:00:00 UTC.
    explicit NetworkHeartbeat(double timestamp = currentTimestamp()) : timestamp_(timestamp) {}

    // Absent unless at least 12 bytes that begin with the magic; bytes after
    // the twelfth are ignored.
    static std::optional<NetworkHeartbeat> fromRawValue(const std::vector<std::uint8_t>& rawValue);
    static std::optional<NetworkHeartbeat> fromData(std::string_view data);
    // At least 4 bytes and the first 4 are the magic; the length is not
    // compared with 12.
    static bool isHeartbeat(std::string_view data);

    double timestamp() const { return timestamp_; }
    // The wire form. A timestamp before 2001 or NaN encodes as 0 ms, one
    // beyond the 64-bit range as the largest value.
    std::vector<std::uint8_t> rawValue() const;
    std::string data() const;
    // "2001-01-01 00:00:01 +0000": UTC, whole seconds.
    std::string timestampDescription() const;

    // Equal when the frames are equal (the same whole millisecond).
    friend bool operator==(const NetworkHeartbeat& a, const NetworkHeartbeat& b) {
        return a.rawValue() == b.rawValue();
    }
    friend void hashInto(Hasher& h, const NetworkHeartbeat& heartbeat) { hashInto(h, heartbeat.rawValue()); }

private:
    double timestamp_;
};

// A pause in seconds as a sleep duration: NaN and negatives become zero, and
// beyond about 31 years it is capped, so no conversion can overflow.
rt::Clock::duration durationFromSeconds(double seconds);

}  // namespace mcp

template <>
struct std::hash<mcp::NetworkHeartbeatConfiguration> {
    std::size_t operator()(const mcp::NetworkHeartbeatConfiguration& c) const { return mcp::hashValue(c); }
};
template <>
struct std::hash<mcp::NetworkReconnectionConfiguration> {
    std::size_t operator()(const mcp::NetworkReconnectionConfiguration& c) const { return mcp::hashValue(c); }
};
template <>
struct std::hash<mcp::NetworkBufferConfiguration> {
    std::size_t operator()(const mcp::NetworkBufferConfiguration& c) const { return mcp::hashValue(c); }
};
template <>
struct std::hash<mcp::NetworkHeartbeat> {
    std::size_t operator()(const mcp::NetworkHeartbeat& h) const { return mcp::hashValue(h); }
};
