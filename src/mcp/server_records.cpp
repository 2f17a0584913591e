#include "mcp/server_records.hpp"

#include "mcp/record.hpp"

namespace mcp {

using Capabilities = ServerCapabilities;

BRISOLET_MCP_RECORD(ServerConfiguration, field::required("strict", &ServerConfiguration::strict));
BRISOLET_MCP_RECORD(ServerInfo, field::required("name", &ServerInfo::name),
                    field::required("version", &ServerInfo::version));
// Written {}; reading requires an object and looks at nothing in it.
BRISOLET_MCP_RECORD(Capabilities::Logging);
BRISOLET_MCP_RECORD(Capabilities::Sampling);
BRISOLET_MCP_RECORD(Capabilities::Prompts, field::optional("listChanged", &Capabilities::Prompts::listChanged));
BRISOLET_MCP_RECORD(Capabilities::Resources, field::optional("subscribe", &Capabilities::Resources::subscribe),
                    field::optional("listChanged", &Capabilities::Resources::listChanged));
BRISOLET_MCP_RECORD(Capabilities::Tools, field::optional("listChanged", &Capabilities::Tools::listChanged));
BRISOLET_MCP_RECORD(Capabilities, field::optional("logging", &Capabilities::logging),
                    field::optional("prompts", &Capabilities::prompts),
                    field::optional("resources", &Capabilities::resources),
                    field::optional("sampling", &Capabilities::sampling), field::optional("tools", &Capabilities::tools));

}  // namespace mcp
