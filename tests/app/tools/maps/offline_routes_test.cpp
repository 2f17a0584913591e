#include "app/tools/maps/offline_routes.hpp"

#include "app/platform/script_host.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace app::tools {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInfinity = std::numeric_limits<double>::infinity();

TEST(EnglishMapsFormatters, DurationsInHoursAndMinutes) {
    const std::vector<std::pair<double, std::optional<std::string>>> rows = {
        {0, "0 minutes"},         {29.9, "0 minutes"},         {30, "1 minute"},
        {89, "1 minute"},         {90, "2 minutes"},           {3600, "1 hour"},
        {3630, "1 hour, 1 minute"}, {3900, "1 hour, 5 minutes"}, {7170, "2 hours"},
        {7260, "2 hours, 1 minute"}, {4'320'000, "1,200 hours"}, {-1, std::nullopt},
        {kNaN, std::nullopt},     {kInfinity, std::nullopt},   {1e30, std::nullopt},
    };
    EnglishMapsFormatters formatters;
    for (const auto& [seconds, text] : rows) {
        SCOPED_TRACE(seconds);
        EXPECT_EQ(formatters.duration(seconds), text);
    }
}

TEST(EnglishMapsFormatters, DistancesInMetresAndKilometres) {
    const std::vector<std::pair<double, std::string>> rows = {
        {0, "0 m"},         {4.9, "0 m"},         {5, "10 m"},          {849, "850 m"},
        {994, "990 m"},     {995, "1 km"},        {1049, "1 km"},       {1050, "1.1 km"},
        {7500, "7.5 km"},   {9949, "9.9 km"},     {9950, "10 km"},      {10'499, "10 km"},
        {1'234'567, "1,235 km"}, {1e12, "1,000,000,000 km"}, {-1, ""}, {kNaN, ""}, {kInfinity, ""},
    };
    EnglishMapsFormatters formatters;
    for (const auto& [metres, text] : rows) {
        SCOPED_TRACE(metres);
        EXPECT_EQ(formatters.distance(metres), text);
    }
}

TEST(EstimatedDirections, GreatCircleDistances) {
    struct Row {
        double lat1, lon1, lat2, lon2, kilometres;
    };
    const std::vector<Row> rows = {
        {0, 0, 0, 1, 111.195},                       // one degree on the equator
        {48.85341, 2.3488, 51.50853, -0.12574, 343.6},  // Paris to London
        {0, 0, 0, 180, 20015.1},                     // antipodes
        {89.9, 0, 89.9, 180, 22.2},                  // across the pole
        {10, 170, 10, -170, 2190.0},                 // across the date line
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.kilometres);
        EXPECT_NEAR(greatCircleDistance(r.lat1, r.lon1, r.lat2, r.lon2) / 1000, r.kilometres, r.kilometres * 2e-3);
    }
}

class OneSearch : public LocalSearch {
public:
    std::optional<std::vector<MapItem>> search(const std::string& query) override {
        const Placemark& p = query == "from" ? from : to;
        return std::vector<MapItem>{MapItem{query, p}};
    }
    Placemark from, to;
};

TEST(EstimatedDirections, RouteTextsForEachMode) {
    auto search = std::make_shared<OneSearch>();
    MapsService service(search, std::make_shared<EstimatedDirections>(), std::make_shared<EnglishMapsFormatters>(),
                        std::make_shared<platform::FakeScriptHost>());
    struct Row {
        Placemark from, to;
        std::string transport, expected;
    };
    const Placemark origin{}, east{std::nullopt, std::nullopt, std::nullopt, std::nullopt, 0, 1};
    auto at = [](double lat, double lon) {
        return Placemark{std::nullopt, std::nullopt, std::nullopt, std::nullopt, lat, lon};
    };
    const std::vector<Row> rows = {
        {origin, east, "automobile", "Route found: 145 km, 1 hour, 48 minutes via automobile"},
        {origin, east, "Walking", "Route found: 145 km, 28 hours, 55 minutes via Walking"},
        {origin, east, "transit", "Route found: 145 km, 3 hours, 37 minutes via transit"},
        {origin, at(0, 0.005), "walking", "Route found: 720 m, 9 minutes via walking"},
        {east, east, "automobile", "No route found."},
        {origin, at(kNaN, 1), "automobile", "No route found."},
        {at(0, kInfinity), east, "automobile", "No route found."},
        {origin, at(91, 0), "automobile", "No route found."},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.expected);
        search->from = row.from;
        search->to = row.to;
        EXPECT_EQ(service.getDirections("from", "to", row.transport), row.expected);
    }
}

}  // namespace
}  // namespace app::tools
