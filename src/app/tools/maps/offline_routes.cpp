#include "app/tools/maps/offline_routes.hpp"

#include <cmath>
#include <cstdint>
#include <numbers>

namespace app::tools {

namespace {

constexpr double kRadiansPerDegree = std::numbers::pi / 180;
// Beyond this many minutes (about 17 billion years) a duration has no text.
constexpr double kMaxMinutes = 9e15;
constexpr double kMaxMetres = 1e18;

double speedOf(TransportType transport) {
    switch (transport) {
        case TransportType::Walking:
            return EstimatedDirections::walkingSpeed;
        case TransportType::Transit:
            return EstimatedDirections::transitSpeed;
        case TransportType::Automobile:
            break;
    }
    return EstimatedDirections::drivingSpeed;
}

bool isValidPoint(const Placemark& p) {
    return std::isfinite(p.latitude) && std::isfinite(p.longitude) && std::abs(p.latitude) <= 90;
}

// Digits with a comma between each group of three ("1,234,567").
std::string grouped(std::uint64_t value) {
    std::string digits = std::to_string(value);
    std::string out;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return out;
}

std::string counted(std::uint64_t count, const char* unit) {
    return grouped(count) + " " + unit + (count == 1 ? "" : "s");
}

}  // namespace

double greatCircleDistance(double latitude1, double longitude1, double latitude2, double longitude2) {
    const double phi1 = latitude1 * kRadiansPerDegree, phi2 = latitude2 * kRadiansPerDegree;
    const double dPhi = phi2 - phi1, dLambda = (longitude2 - longitude1) * kRadiansPerDegree;
    const double a = std::sin(dPhi / 2) * std::sin(dPhi / 2) +
                     std::cos(phi1) * std::cos(phi2) * std::sin(dLambda / 2) * std::sin(dLambda / 2);
    return 2 * EstimatedDirections::earthRadius * std::atan2(std::sqrt(a), std::sqrt(std::max(0.0, 1 - a)));
}

std::optional<std::vector<Route>> EstimatedDirections::calculate(const MapItem& source, const MapItem& destination,
                                                                 TransportType transport, bool) {
    const Placemark& from = source.placemark;
    const Placemark& to = destination.placemark;
    if (!isValidPoint(from) || !isValidPoint(to)) return std::vector<Route>{};
    double straight = greatCircleDistance(from.latitude, from.longitude, to.latitude, to.longitude);
    if (!(straight > 0)) return std::vector<Route>{};
    double length = straight * detourFactor;
    return std::vector<Route>{Route{length, length / speedOf(transport)}};
}

std::optional<std::string> EnglishMapsFormatters::duration(double seconds) {
    if (!std::isfinite(seconds) || seconds < 0) return std::nullopt;
    double minutes = std::round(seconds / 60);
    if (minutes > kMaxMinutes) return std::nullopt;
    auto total = static_cast<std::uint64_t>(minutes);
    std::uint64_t hours = total / 60, rest = total % 60;
    if (hours == 0) return counted(rest, "minute");
    if (rest == 0) return counted(hours, "hour");
    return counted(hours, "hour") + ", " + counted(rest, "minute");
}

std::string EnglishMapsFormatters::distance(double metres) {
    if (!std::isfinite(metres) || metres < 0 || metres > kMaxMetres) return {};
    const double m = metres;
    auto tens = static_cast<std::uint64_t>(std::round(m / 10));
    if (tens < 100) return std::to_string(tens * 10) + " m";
    auto tenths = static_cast<std::uint64_t>(std::round(m / 100));
    if (tenths < 100) {
        std::string text = std::to_string(tenths / 10);
        if (tenths % 10 != 0) text += "." + std::to_string(tenths % 10);
        return text + " km";
    }
    return grouped(static_cast<std::uint64_t>(std::round(m / 1000))) + " km";
}

}  // namespace app::tools
