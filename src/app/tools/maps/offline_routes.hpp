// Directions and their texts without road data: a route is estimated from the
// great-circle distance, and times and distances are worded in English.
#pragma once

#include "app/tools/maps/maps_service.hpp"

namespace app::tools {

// The route's length is the great-circle distance times detourFactor; its
// time that length at the mode's average speed. No route (an empty list)
// between identical points or for a coordinate that is not finite or a
// latitude beyond ±90°. Alternate routes are never given.
class EstimatedDirections : public DirectionsProvider {
public:
    static constexpr double earthRadius = 6'371'008.8;  // metres, the mean radius
    static constexpr double detourFactor = 1.3;         // roads and paths are longer than the straight line
    static constexpr double drivingSpeed = 80.0 / 3.6;  // metres per second
    static constexpr double walkingSpeed = 5.0 / 3.6;
    static constexpr double transitSpeed = 40.0 / 3.6;

    std::optional<std::vector<Route>> calculate(const MapItem& source, const MapItem& destination,
                                                TransportType transport, bool requestsAlternateRoutes) override;
};

// The great-circle distance in metres between two points given in degrees.
double greatCircleDistance(double latitude1, double longitude1, double latitude2, double longitude2);

// Texts as the platform's English formatters word them. Durations: rounded
// to the nearest minute (half a minute up), "1 hour, 5 minutes", "2 hours",
// "0 minutes"; none for a negative, non-finite or absurdly long time.
// Distances: under 1 km to the nearest 10 m ("850 m"); under 10 km to the
// nearest 100 m ("7.5 km", "3 km"); beyond, whole kilometres ("1,234 km").
// Thousands are grouped with commas; halves round away from zero.
class EnglishMapsFormatters : public MapsFormatters {
public:
    std::optional<std::string> duration(double seconds) override;
    // Empty for a negative or non-finite distance, or one beyond 10^15 km.
    std::string distance(double metres) override;
};

}  // namespace app::tools
