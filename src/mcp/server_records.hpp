// The records that describe a protocol server: its configuration, its identity
// and the capabilities it announces in the initialize result.
//
// Declared at namespace level so that the message catalogue can use them
// without the server; the Server class exposes them as Server::Info,
// Server::Capabilities and Server::Configuration.
#pragma once

#include "mcp/codec.hpp"
#include "mcp/hash.hpp"

#include <optional>
#include <string>
#include <type_traits>

namespace mcp {

struct ServerConfiguration {
    // Refuse everything but the handshake until the client has initialized.
    bool strict = false;

    static const ServerConfiguration defaultConfiguration;  // strict false
    static const ServerConfiguration strictConfiguration;   // strict true

    friend bool operator==(const ServerConfiguration&, const ServerConfiguration&) = default;
};
inline constexpr ServerConfiguration ServerConfiguration::defaultConfiguration{false};
inline constexpr ServerConfiguration ServerConfiguration::strictConfiguration{true};

struct ServerInfo {
    std::string name{};
    std::string version{};

    friend bool operator==(const ServerInfo&, const ServerInfo&) = default;
};

struct ServerCapabilities {
    struct Logging {
        friend bool operator==(const Logging&, const Logging&) = default;
    };
    struct Prompts {
        std::optional<bool> listChanged{};
        friend bool operator==(const Prompts&, const Prompts&) = default;
    };
    struct Resources {
        std::optional<bool> subscribe{};
        std::optional<bool> listChanged{};
        friend bool operator==(const Resources&, const Resources&) = default;
    };
    struct Sampling {
        friend bool operator==(const Sampling&, const Sampling&) = default;
    };
    struct Tools {
        std::optional<bool> listChanged{};
        friend bool operator==(const Tools&, const Tools&) = default;
    };

    std::optional<Logging> logging{};
    std::optional<Prompts> prompts{};
    std::optional<Resources> resources{};
    std::optional<Sampling> sampling{};
    std::optional<Tools> tools{};

    friend bool operator==(const ServerCapabilities&, const ServerCapabilities&) = default;
};

BRISOLET_MCP_CODABLE(ServerConfiguration);
BRISOLET_MCP_CODABLE(ServerInfo);
BRISOLET_MCP_CODABLE(ServerCapabilities::Logging);
BRISOLET_MCP_CODABLE(ServerCapabilities::Prompts);
BRISOLET_MCP_CODABLE(ServerCapabilities::Resources);
BRISOLET_MCP_CODABLE(ServerCapabilities::Sampling);
BRISOLET_MCP_CODABLE(ServerCapabilities::Tools);
BRISOLET_MCP_CODABLE(ServerCapabilities);

}  // namespace mcp
