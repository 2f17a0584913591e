#include "mcp/client_records.hpp"

#include "mcp/record.hpp"

namespace mcp {

BRISOLET_MCP_RECORD(ClientConfiguration, field::required("strict", &ClientConfiguration::strict));
BRISOLET_MCP_RECORD(ClientInfo, field::required("name", &ClientInfo::name),
                    field::required("version", &ClientInfo::version));
BRISOLET_MCP_RECORD(ClientCapabilities::Roots, field::optional("listChanged", &ClientCapabilities::Roots::listChanged));

BRISOLET_MCP_RECORD(ClientCapabilities, field::optional("sampling", &ClientCapabilities::sampling),
                    field::optional("experimental", &ClientCapabilities::experimental),
                    field::optional("roots", &ClientCapabilities::roots));

}  // namespace mcp
