// What the maps tools stand on: place search, directions and the two text
// formatters behind interfaces of their own, and MapsService, which turns
// their answers into the tools' replies.
#pragma once

#include "app/platform/script_host.hpp"
#include "json/json.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace app::tools {

struct Placemark {
    std::optional<std::string> thoroughfare;
    std::optional<std::string> locality;
    std::optional<std::string> administrativeArea;
    std::optional<std::string> postalCode;
    double latitude = 0;   // degrees
    double longitude = 0;  // degrees

    bool operator==(const Placemark&) const = default;
};

struct MapItem {
    std::optional<std::string> name;
    Placemark placemark;

    bool operator==(const MapItem&) const = default;
};

// The platform's transport flags.
enum class TransportType { Automobile = 1, Walking = 2, Transit = 4 };

struct Route {
    double distance = 0;            // metres
    double expectedTravelTime = 0;  // seconds
};

class LocalSearch {
public:
    virtual ~LocalSearch() = default;
    // The places for a free-text query, best first; none when the search
    // answers without a response. Throws the search's own error.
    virtual std::optional<std::vector<MapItem>> search(const std::string& naturalLanguageQuery) = 0;
};

class DirectionsProvider {
public:
    virtual ~DirectionsProvider() = default;
    // The routes between two places, best first; none when there is no
    // response. Throws the provider's own error.
    virtual std::optional<std::vector<Route>> calculate(const MapItem& source, const MapItem& destination,
                                                        TransportType transport, bool requestsAlternateRoutes) = 0;
};

class MapsFormatters {
public:
    virtual ~MapsFormatters() = default;
    // A travel time in hours and minutes, in words; none when it has no text.
    virtual std::optional<std::string> duration(double seconds) = 0;
    // A distance with its unit.
    virtual std::string distance(double metres) = 0;
};

struct MapLocation {
    std::string name;
    std::string address;
    double latitude = 0;
    double longitude = 0;

    bool operator==(const MapLocation&) const = default;
};

// {"name", "address", "latitude", "longitude"} in that order (a coordinate
// that is not finite cannot be written).
json::Value encodeMapLocation(const MapLocation& location);
// All four keys required (matched exactly); coordinates are JSON numbers.
// Throws json::DecodingError.
MapLocation decodeMapLocation(const json::Value& value);

// The address of a placemark: thoroughfare, locality, administrative area and
// postal code, each present one (empty or not) joined with ", ".
std::string addressOf(const Placemark& placemark);

// `text` percent-encoded for a map URL's query value: everything but ASCII
// letters, digits and - . _ ~ ! $ ' ( ) * , ; : / ? @ as "%XX" per UTF-8
// byte, so "&", "=", "+" and "#" cannot end or change the value. Ill-formed
// UTF-8 is repaired first.
std::string mapQueryEncoded(std::string_view text);

class MapsService {
public:
    // Throws std::invalid_argument for a null piece.
    MapsService(std::shared_ptr<LocalSearch> search, std::shared_ptr<DirectionsProvider> directions,
                std::shared_ptr<MapsFormatters> formatters, std::shared_ptr<platform::ScriptHost> scriptHost);

    // The first `limit` places (none for a limit below one); a nameless place
    // takes the query as its name.
    std::vector<MapLocation> searchLocations(const std::string& query, std::int64_t limit);
    // The first place found for the text, if any.
    std::optional<MapItem> resolveItem(const std::string& place);
    // "Route found: <distance>, <time> via <transport>", or the texts for a
    // place not found and for no route.
    std::string getDirections(const std::string& from, const std::string& to, const std::string& transport);
    // "Opened Maps for: <query>", or "Failed to open Maps". Throws ToolError
    // "MapsTool" 500 "Failed to open Maps: <message>" when the script fails.
    std::string openMap(const std::string& query);
    std::string runAppleScript(const std::string& source, const std::string& query);

private:
    std::shared_ptr<LocalSearch> search_;
    std::shared_ptr<DirectionsProvider> directions_;
    std::shared_ptr<MapsFormatters> formatters_;
    std::shared_ptr<platform::ScriptHost> scriptHost_;
};

// The script that shows a place in Maps: its "open location" address is
// "maps://?q=" and the query encoded with mapQueryEncoded.
std::string mapsOpenScript(std::string_view query);
// The same script with the encoded query (or a template slot) placed as given.
std::string mapsOpenSource(std::string_view encodedQuery);

}  // namespace app::tools
