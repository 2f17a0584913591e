#include "app/tools/maps/maps_tools.hpp"

#include "app/tools/registry/tool_error.hpp"
#include "app/tools/registry/tool_row.hpp"
#include "json/utf8.hpp"

#include <stdexcept>

namespace app::tools {

namespace {

constexpr const char* kDomain = "MapsTool";
constexpr std::int64_t kDefaultLimit = 10;

// The platform writer's pretty layout with its default slash escaping.
constexpr json::WriteOptions kReplyFormat{.sortedKeys = false, .escapeSlashes = true, .pretty = true};

std::string searchReply(const std::vector<MapLocation>& locations) {
    json::Array list;
    list.reserve(locations.size());
    for (const auto& location : locations) {
        json::Object object;
        object.appendUnchecked("name", json::repairUtf8(location.name));
        object.appendUnchecked("address", json::repairUtf8(location.address));
        list.emplace_back(std::move(object));
    }
    return json::write(list, kReplyFormat);
}

const ToolRow<std::string (*)(MapsService&, const Arguments&)> kMapsTools[] = {
    {"search_locations", "Search for locations using a query.", "搜索地点。",
     objectSchema(AnyMap{{"query", schemaProperty("string", "Search keyword")},
                         {"limit", schemaProperty("integer", "Maximum number of results to return (default: 10)")}},
                  AnyList{"query"}),
     [](MapsService& service, const Arguments& arguments) {
         auto query = textArgument(arguments, "query");
         if (!query) throw ToolError(kDomain, 400, "Missing query");
         std::int64_t limit = intArgument(arguments, "limit").value_or(kDefaultLimit);
         return searchReply(service.searchLocations(*query, limit));
     }},
    {"get_directions", "Get directions between two locations.", "获取两地之间的路线。",
     objectSchema(AnyMap{{"from", schemaProperty("string", "Start location")},
                         {"to", schemaProperty("string", "Destination location")},
                         {"transport", schemaProperty("string", "Transport mode (automobile, walking, transit)")}},
                  AnyList{"from", "to"}),
     [](MapsService& service, const Arguments& arguments) {
         auto from = textArgument(arguments, "from");
         auto to = textArgument(arguments, "to");
         if (!from || !to) throw ToolError(kDomain, 400, "Missing from/to");
         return service.getDirections(*from, *to, textArgument(arguments, "transport").value_or("automobile"));
     }},
    {"open_map", "Open a location in the Maps application.", "在地图应用中打开位置。",
     objectSchema(AnyMap{{"query", schemaProperty("string", "Location name or address")}}, AnyList{"query"}),
     [](MapsService& service, const Arguments& arguments) {
         auto query = textArgument(arguments, "query");
         if (!query) throw ToolError(kDomain, 400, "Missing query");
         return service.openMap(*query);
     }},
};

}  // namespace

std::vector<MCPTool> mapsToolDefinitions() { return toolDefinitions(kMapsTools); }

std::string handleMapsTool(MapsService& service, const std::string& name, const Arguments& arguments) {
    return toolNamed(kMapsTools, name, kDomain, "maps").handler(service, arguments);
}

MapsToolFamily::MapsToolFamily(std::shared_ptr<MapsService> service) : service_(std::move(service)) {
    if (!service_) throw std::invalid_argument("MapsToolFamily needs a maps service");
}

ToolResult MapsToolFamily::run(const std::string& name, const Arguments& arguments, std::stop_token) {
    return handleMapsTool(*service_, name, arguments);
}

}  // namespace app::tools
