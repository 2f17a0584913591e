#include "app/tools/maps/maps_service.hpp"

#include "app/platform/unicode_text.hpp"
#include "app/tools/mail/mail_tools.hpp"
#include "app/tools/registry/tool_error.hpp"
#include "json/utf8.hpp"
#include "mcp/codec.hpp"

#include <cmath>
#include <stdexcept>

namespace app::tools {

namespace {

TransportType transportType(const std::string& transport) {
    std::string word = platform::lowercased(transport);
    if (word == "walking") return TransportType::Walking;
    if (word == "transit") return TransportType::Transit;
    return TransportType::Automobile;
}

// The travel time in whole minutes, truncated; none when that has no integer.
std::optional<std::int64_t> wholeMinutes(double seconds) {
    double minutes = std::trunc(seconds / 60);
    if (!std::isfinite(minutes) || minutes < -0x1p63 || minutes >= 0x1p63) return std::nullopt;
    return static_cast<std::int64_t>(minutes);
}

}  // namespace

json::Value encodeMapLocation(const MapLocation& location) {
    mcp::ObjectEncoder out;
    out.set("name", location.name).set("address", location.address);
    out.set("latitude", location.latitude).set("longitude", location.longitude);
    return std::move(out).finish();
}

MapLocation decodeMapLocation(const json::Value& value) {
    json::CodingPath path;
    mcp::ObjectDecoder in(value, path);
    return MapLocation{in.required<std::string>("name"), in.required<std::string>("address"),
                       in.required<double>("latitude"), in.required<double>("longitude")};
}

std::string addressOf(const Placemark& placemark) {
    std::string address;
    bool first = true;
    for (const auto* part : {&placemark.thoroughfare, &placemark.locality, &placemark.administrativeArea,
                             &placemark.postalCode}) {
        if (!*part) continue;
        if (!first) address += ", ";
        address += **part;
        first = false;
    }
    return address;
}

std::string mapQueryEncoded(std::string_view text) {
    // Repaired text is valid UTF-8, so the encoder always gives a value.
    std::string encoded = percentEncodedQueryValue(json::repairUtf8(text)).value_or("");
    std::string out;
    out.reserve(encoded.size());
    for (char c : encoded) {
        if (c == '+') {
            out += "%2B";  // a query value reads "+" as a blank
        } else {
            out += c;
        }
    }
    return out;
}

std::string mapsOpenSource(std::string_view encodedQuery) {
    std::string source = "tell application \"Maps\"\n    activate\n    open location \"maps://?q=";
    source += encodedQuery;
    source += "\"\nend tell";
    return source;
}

std::string mapsOpenScript(std::string_view query) { return mapsOpenSource(mapQueryEncoded(query)); }

MapsService::MapsService(std::shared_ptr<LocalSearch> search, std::shared_ptr<DirectionsProvider> directions,
                         std::shared_ptr<MapsFormatters> formatters, std::shared_ptr<platform::ScriptHost> scriptHost)
    : search_(std::move(search)),
      directions_(std::move(directions)),
      formatters_(std::move(formatters)),
      scriptHost_(std::move(scriptHost)) {
    if (!search_ || !directions_ || !formatters_ || !scriptHost_)
        throw std::invalid_argument("MapsService needs a search, directions, formatters and a script host");
}

std::vector<MapLocation> MapsService::searchLocations(const std::string& query, std::int64_t limit) {
    std::optional<std::vector<MapItem>> items = search_->search(query);
    std::vector<MapLocation> locations;
    if (!items || limit <= 0) return locations;
    std::size_t count = items->size();
    if (static_cast<std::uint64_t>(limit) < count) count = static_cast<std::size_t>(limit);
    locations.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const MapItem& item = (*items)[i];
        locations.push_back(MapLocation{item.name.value_or(query), addressOf(item.placemark),
                                        item.placemark.latitude, item.placemark.longitude});
    }
    return locations;
}

std::optional<MapItem> MapsService::resolveItem(const std::string& place) {
    std::optional<std::vector<MapItem>> items = search_->search(place);
    if (!items || items->empty()) return std::nullopt;
    return std::move(items->front());
}

std::string MapsService::getDirections(const std::string& from, const std::string& to, const std::string& transport) {
    std::optional<MapItem> source = resolveItem(from);
    if (!source) return "Could not find start location: " + from;
    std::optional<MapItem> destination = resolveItem(to);
    if (!destination) return "Could not find destination: " + to;

    auto routes = directions_->calculate(*source, *destination, transportType(transport), false);
    if (!routes || routes->empty()) return "No route found.";
    const Route& route = routes->front();
    // A route without a finite, non-negative length and time is none at all.
    if (!std::isfinite(route.distance) || !std::isfinite(route.expectedTravelTime) || route.distance < 0 ||
        route.expectedTravelTime < 0)
        return "No route found.";

    std::optional<std::string> time = formatters_->duration(route.expectedTravelTime);
    if (!time) {
        std::optional<std::int64_t> minutes = wholeMinutes(route.expectedTravelTime);
        if (!minutes) return "No route found.";
        time = std::to_string(*minutes) + " mins";
    }
    return "Route found: " + formatters_->distance(route.distance) + ", " + *time + " via " + transport;
}

std::string MapsService::openMap(const std::string& query) { return runAppleScript(mapsOpenScript(query), query); }

std::string MapsService::runAppleScript(const std::string& source, const std::string& query) {
    platform::ScriptRun run = scriptHost_->run(source);
    switch (run.outcome) {
        case platform::ScriptRun::Outcome::NotMade:
            return "Failed to open Maps";
        case platform::ScriptRun::Outcome::Succeeded:
            return "Opened Maps for: " + query;
        case platform::ScriptRun::Outcome::Failed:
            break;
    }
    if (!run.error) return "Failed to open Maps";
    throw ToolError("MapsTool", 500,
                    "Failed to open Maps: " + run.error->message.value_or("Unknown AppleScript error"));
}

}  // namespace app::tools
