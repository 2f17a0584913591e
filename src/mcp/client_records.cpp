#include "mcp/client_records.hpp"

#include "mcp/record.hpp"

namespace mcp {

BRISOLET_MCP_RECORD(ClientConfiguration, field::required("strict", &ClientConfiguration::strict));
BRISOLET_MCP_RECORD(ClientInfo, field::required("name", &ClientInfo::name),
                    field::required("version", &ClientInfo::version));
BRISOLET_MCP_RECORD(ClientCapabilities::Roots, field::optional("listChanged", &ClientCapabilities::Roots::listChanged));

namespace {

// A string member is kept as the string case even when it reads like a data
// URL, so that what a client announced is echoed unchanged.
std::map<std::string, Value> decodeExperimental(const json::Value& v, json::CodingPath& path) {
    expectKind(v, json::Kind::Object, typeName::object, path);
    std::map<std::string, Value> out;
    for (const auto& [key, item] : v.asObject()) {
        PathGuard guard(path, key);
        out.insert_or_assign(key, item.isString() ? Value(item.asString()) : decode<Value>(item, path));
    }
    return out;
}

}  // namespace

BRISOLET_MCP_RECORD(ClientCapabilities, field::optional("sampling", &ClientCapabilities::sampling),
                    field::optional("experimental", &ClientCapabilities::experimental, decodeExperimental),
                    field::optional("roots", &ClientCapabilities::roots));

}  // namespace mcp
