// The sampling feature: a server asks the client's language model for a
// completion with "sampling/createMessage".
#pragma once

#include "mcp/codec.hpp"
#include "mcp/content.hpp"
#include "mcp/envelope.hpp"
#include "mcp/hash.hpp"
#include "mcp/string_enum.hpp"
#include "mcp/value.hpp"

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace mcp {

struct Sampling {
    Sampling() = delete;

    struct Message {
        enum class Role { user, assistant };

        struct ContentCases {
            using Text = content::Text;
            using Image = content::Image;
            // Case indices: 0 text, 1 image.
            using Variant = std::variant<Text, Image>;
            static constexpr std::string_view unknownType = "Unknown sampling message content type";
        };
        using Content = ContentUnion<ContentCases>;

        Role role;
        Content content;

        static Message user(Content content) { return Message{Role::user, std::move(content)}; }
        static Message assistant(Content content) { return Message{Role::assistant, std::move(content)}; }

        friend bool operator==(const Message&, const Message&) = default;
    };

    struct ModelPreferences {
        struct Hint {
            std::optional<std::string> name{};
            friend bool operator==(const Hint&, const Hint&) = default;
        };

        std::optional<std::vector<Hint>> hints{};
        std::optional<UnitInterval> costPriority{};
        std::optional<UnitInterval> speedPriority{};
        std::optional<UnitInterval> intelligencePriority{};

        friend bool operator==(const ModelPreferences&, const ModelPreferences&) = default;
    };

    enum class ContextInclusion { none, thisServer, allServers };
    enum class StopReason { endTurn, stopSequence, maxTokens };
};

template <>
struct StringEnumTraits<Sampling::Message::Role> {
    static constexpr std::string_view typeName = "Role";
    static constexpr std::array<std::pair<Sampling::Message::Role, std::string_view>, 2> cases{{
        {Sampling::Message::Role::user, "user"},
        {Sampling::Message::Role::assistant, "assistant"},
    }};
};

template <>
struct StringEnumTraits<Sampling::ContextInclusion> {
    static constexpr std::string_view typeName = "ContextInclusion";
    static constexpr std::array<std::pair<Sampling::ContextInclusion, std::string_view>, 3> cases{{
        {Sampling::ContextInclusion::none, "none"},
        {Sampling::ContextInclusion::thisServer, "thisServer"},
        {Sampling::ContextInclusion::allServers, "allServers"},
    }};
};

template <>
struct StringEnumTraits<Sampling::StopReason> {
    static constexpr std::string_view typeName = "StopReason";
    static constexpr std::array<std::pair<Sampling::StopReason, std::string_view>, 3> cases{{
        {Sampling::StopReason::endTurn, "endTurn"},
        {Sampling::StopReason::stopSequence, "stopSequence"},
        {Sampling::StopReason::maxTokens, "maxTokens"},
    }};
};

struct CreateSamplingMessage {
    static constexpr std::string_view name = "sampling/createMessage";

    struct Parameters {
        std::vector<Sampling::Message> messages{};
        std::optional<Sampling::ModelPreferences> modelPreferences{};
        std::optional<std::string> systemPrompt{};
        std::optional<Sampling::ContextInclusion> includeContext{};
        std::optional<double> temperature{};  // no range check
        std::int64_t maxTokens = 0;
        std::optional<std::vector<std::string>> stopSequences{};
        std::optional<std::map<std::string, Value>> metadata{};

        friend bool operator==(const Parameters&, const Parameters&) = default;
    };

    struct Result {
        std::string model{};
        std::optional<Sampling::StopReason> stopReason{};
        Sampling::Message::Role role;
        Sampling::Message::Content content;

        friend bool operator==(const Result&, const Result&) = default;
    };
};

// An unknown "type" fails with "Unknown sampling message content type" at that key.
BRISOLET_MCP_CODABLE(Sampling::Message::Content);

BRISOLET_MCP_CODABLE(Sampling::Message);
BRISOLET_MCP_CODABLE(Sampling::ModelPreferences::Hint);

// A priority outside 0...1 fails with the unit interval's range error.
BRISOLET_MCP_CODABLE(Sampling::ModelPreferences);

BRISOLET_MCP_CODABLE(CreateSamplingMessage::Parameters);
BRISOLET_MCP_CODABLE(CreateSamplingMessage::Result);

}  // namespace mcp
