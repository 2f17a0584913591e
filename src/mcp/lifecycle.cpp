#include "mcp/lifecycle.hpp"

#include "mcp/record.hpp"

#include <algorithm>

namespace mcp {

const std::set<std::string, std::less<>>& Version::supported() {
    static const std::set<std::string, std::less<>> revisions{"2025-03-26", "2024-11-05"};
    return revisions;
}

const std::string& Version::latest() {
    static const std::string greatest = *std::max_element(supported().begin(), supported().end());
    return greatest;
}

// Each member of the parameters may be missing or null and then takes a default.
BRISOLET_MCP_RECORD(Initialize::Parameters,
                    field::defaulted("protocolVersion", &Initialize::Parameters::protocolVersion,
                                     +[] { return Version::latest(); }),
                    field::defaulted("capabilities", &Initialize::Parameters::capabilities,
                                     +[] { return ClientCapabilities{}; }),
                    field::defaulted("clientInfo", &Initialize::Parameters::clientInfo,
                                     +[] { return ClientInfo{"unknown", "0.0.0"}; }));
BRISOLET_MCP_RECORD(Initialize::Result, field::required("protocolVersion", &Initialize::Result::protocolVersion),
                    field::required("capabilities", &Initialize::Result::capabilities),
                    field::required("serverInfo", &Initialize::Result::serverInfo),
                    field::optional("instructions", &Initialize::Result::instructions));

}  // namespace mcp
