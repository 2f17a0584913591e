// The maps family: "search_locations", "get_directions" and "open_map" over
// MapsService.
#pragma once

#include "app/tools/maps/maps_service.hpp"
#include "app/tools/registry/tool_family.hpp"

#include <memory>
#include <string>
#include <vector>

namespace app::tools {

std::vector<MCPTool> mapsToolDefinitions();

// Throws ToolError "MapsTool" 400 "Missing query" / "Missing from/to", 404
// "Unknown maps tool: <name>"; the service's errors pass through unchanged.
std::string handleMapsTool(MapsService& service, const std::string& name, const Arguments& arguments);

class MapsToolFamily : public ToolFamily {
public:
    // Throws std::invalid_argument for a null service.
    explicit MapsToolFamily(std::shared_ptr<MapsService> service);
    ToolSwitch toolSwitch() const override { return ToolSwitch::Maps; }
    std::vector<MCPTool> definitions() const override { return mapsToolDefinitions(); }
    ToolResult run(const std::string& name, const Arguments& arguments, std::stop_token stop) override;

private:
    std::shared_ptr<MapsService> service_;
};

}  // namespace app::tools
