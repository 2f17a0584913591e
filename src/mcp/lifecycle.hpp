// The messages that open a connection and keep it alive, and the protocol
// revisions this library speaks.
#pragma once

#include "mcp/client_records.hpp"
#include "mcp/codec.hpp"
#include "mcp/envelope.hpp"
#include "mcp/hash.hpp"
#include "mcp/server_records.hpp"

#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <type_traits>

namespace mcp {

struct Version {
    Version() = delete;
    // The revision texts spoken here ("2025-03-26", "2024-11-05"); callers test membership.
    static const std::set<std::string, std::less<>>& supported();
    // The greatest supported revision by byte order: "2025-03-26".
    static const std::string& latest();
};

struct Initialize {
    static constexpr std::string_view name = "initialize";

    struct Parameters {
        std::string protocolVersion{};
        ClientCapabilities capabilities{};
        ClientInfo clientInfo{};

        friend bool operator==(const Parameters&, const Parameters&) = default;
    };

    struct Result {
        std::string protocolVersion{};
        ServerCapabilities capabilities{};
        ServerInfo serverInfo{};
        std::optional<std::string> instructions{};

        friend bool operator==(const Result&, const Result&) = default;
    };
};

struct InitializedNotification {
    static constexpr std::string_view name = "notifications/initialized";
    using Parameters = Empty;
    friend bool operator==(InitializedNotification, InitializedNotification) { return true; }
};

struct Ping {
    static constexpr std::string_view name = "ping";
    using Parameters = Empty;
    using Result = Empty;
};

// Always writes all three members. Reading defaults each missing or null one:
// protocolVersion to Version::latest(), capabilities to all absent, clientInfo
// to {"unknown", "0.0.0"}.
BRISOLET_MCP_CODABLE(Initialize::Parameters);

// "instructions" only when present; the other three are required.
BRISOLET_MCP_CODABLE(Initialize::Result);

// {} on its own; reads from any JSON value.
template <>
inline constexpr bool enableFieldless<InitializedNotification> = true;

}  // namespace mcp
