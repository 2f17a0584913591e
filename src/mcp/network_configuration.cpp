#include "mcp/network_configuration.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>
#include <limits>

namespace mcp {

double NetworkReconnectionConfiguration::backoffDelay(std::int64_t attempt) const {
    return 0.5 * std::pow(backoffMultiplier, static_cast<double>(attempt - 1));
}

void hashInto(Hasher& h, const NetworkHeartbeatConfiguration& c) { hashAll(h, c.enabled, c.interval); }

void hashInto(Hasher& h, const NetworkReconnectionConfiguration& c) {
    hashAll(h, c.enabled, c.maxAttempts, c.backoffMultiplier);
}

void hashInto(Hasher& h, const NetworkBufferConfiguration& c) { hashAll(h, c.maxReceiveBufferSize, c.maxMessageSize); }

double NetworkHeartbeat::currentTimestamp() {
    const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration<double>(sinceEpoch).count() - referenceDateOffset;
}

std::optional<NetworkHeartbeat> NetworkHeartbeat::fromRawValue(const std::vector<std::uint8_t>& rawValue) {
    if (rawValue.size() < frameSize || !std::equal(magic.begin(), magic.end(), rawValue.begin())) {
        return std::nullopt;
    }
    std::uint64_t milliseconds = 0;
    for (std::size_t i = 0; i < 8; ++i) milliseconds |= std::uint64_t{rawValue[4 + i]} << (8 * i);
    return NetworkHeartbeat(static_cast<double>(milliseconds) / 1000.0);
}

std::optional<NetworkHeartbeat> NetworkHeartbeat::fromData(std::string_view data) {
    if (data.size() < frameSize) return std::nullopt;
    return fromRawValue(std::vector<std::uint8_t>(data.begin(), data.end()));
}

bool NetworkHeartbeat::isHeartbeat(std::string_view data) {
    return data.size() >= magic.size() && std::memcmp(data.data(), magic.data(), magic.size()) == 0;
}

std::vector<std::uint8_t> NetworkHeartbeat::rawValue() const {
    // 2^64 as a double; anything at or above it does not fit.
    constexpr double limit = 18446744073709551616.0;
    const double milliseconds = std::trunc(timestamp_ * 1000.0);
    std::uint64_t value = 0;
    if (milliseconds >= limit) {
        value = std::numeric_limits<std::uint64_t>::max();
    } else if (milliseconds > 0) {  // false for NaN too
        value = static_cast<std::uint64_t>(milliseconds);
    }
    std::vector<std::uint8_t> out(magic.begin(), magic.end());
    out.reserve(frameSize);
    for (std::size_t i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    return out;
}

std::string NetworkHeartbeat::data() const {
    const auto raw = rawValue();
    return std::string(raw.begin(), raw.end());
}

std::string NetworkHeartbeat::timestampDescription() const {
    const double unixSeconds = std::floor(timestamp_ + referenceDateOffset);
    if (std::isfinite(unixSeconds) && std::abs(unixSeconds) < 1e17) {
        const auto seconds = static_cast<std::time_t>(unixSeconds);
        std::tm parts{};
        char text[64];
        if (::gmtime_r(&seconds, &parts) && std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S +0000", &parts) > 0) {
            return text;
        }
    }
    return std::to_string(timestamp_);
}

rt::Clock::duration durationFromSeconds(double seconds) {
    constexpr double cap = 1e9;
    if (!(seconds > 0)) return rt::Clock::duration::zero();
    if (seconds > cap) seconds = cap;
    return std::chrono::duration_cast<rt::Clock::duration>(std::chrono::duration<double>(seconds));
}

}  // namespace mcp
