// The records that describe a protocol client: its configuration, its identity
// and the capabilities it announces in the initialize request.
//
// They are declared at namespace level so that the server can decode them
// without the client; the Client class exposes them as Client::Info,
// Client::Capabilities and Client::Configuration.
#pragma once

#include "mcp/codec.hpp"
#include "mcp/hash.hpp"
#include "mcp/value.hpp"

#include <map>
#include <optional>
#include <string>
#include <type_traits>

namespace mcp {

struct ClientConfiguration {
    // Refuse requests whose capability the server did not declare.
    bool strict = false;

    static const ClientConfiguration defaultConfiguration;  // strict false
    static const ClientConfiguration strictConfiguration;   // strict true

    friend bool operator==(const ClientConfiguration&, const ClientConfiguration&) = default;
};
inline constexpr ClientConfiguration ClientConfiguration::defaultConfiguration{false};
inline constexpr ClientConfiguration ClientConfiguration::strictConfiguration{true};

struct ClientInfo {
    std::string name{};
    std::string version{};

    friend bool operator==(const ClientInfo&, const ClientInfo&) = default;
};

struct ClientCapabilities {
    // Only its presence counts.
    struct Sampling {
        friend bool operator==(const Sampling&, const Sampling&) = default;
    };
    struct Roots {
        std::optional<bool> listChanged{};
        friend bool operator==(const Roots&, const Roots&) = default;
    };

    std::optional<Sampling> sampling{};
    // Free-form; clients send objects here as well as strings, so any JSON value
    // is kept. A top-level string stays a string, byte for byte.
    std::optional<std::map<std::string, Value>> experimental{};
    std::optional<Roots> roots{};

    friend bool operator==(const ClientCapabilities&, const ClientCapabilities&) = default;
};

BRISOLET_MCP_CODABLE(ClientConfiguration);
BRISOLET_MCP_CODABLE(ClientInfo);

// Any JSON value reads as present sampling; nothing in it is read.
template <>
inline constexpr bool enableFieldless<ClientCapabilities::Sampling> = true;

BRISOLET_MCP_CODABLE(ClientCapabilities::Roots);
BRISOLET_MCP_CODABLE(ClientCapabilities);

}  // namespace mcp
