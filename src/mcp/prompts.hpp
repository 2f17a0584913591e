// The prompts feature: prompt templates and their arguments, the messages of a
// filled-in prompt, references to prompts, the "prompts/list" and "prompts/get"
// requests and the list-changed notification.
#pragma once

#include "mcp/codec.hpp"
#include "mcp/content.hpp"
#include "mcp/envelope.hpp"
#include "mcp/hash.hpp"
#include "mcp/string_enum.hpp"
#include "mcp/value.hpp"

#include <array>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace mcp {

struct Prompt {
    // One named input of a prompt template; `required` has three states.
    struct Argument {
        std::string name{};
        std::optional<std::string> description{};
        std::optional<bool> required{};
        friend bool operator==(const Argument&, const Argument&) = default;
    };

    struct Message {
        enum class Role { user, assistant };

        struct ContentCases {
            using Text = content::Text;
            using Image = content::Image;
            using Audio = content::Audio;
            struct Resource {
                static constexpr std::string_view type = "resource";
                std::string uri{};
                std::string mimeType{};  // required here, unlike in Resource::Content
                std::optional<std::string> text{};
                std::optional<std::string> blob{};
                friend bool operator==(const Resource&, const Resource&) = default;
            };
            // Case indices 0 to 3 in this order.
            using Variant = std::variant<Text, Image, Audio, Resource>;
            static constexpr std::string_view unknownType = "Unknown content type";
        };
        using Content = ContentUnion<ContentCases>;

        Role role;
        Content content;

        static Message userMessage(Content content) { return Message{Role::user, std::move(content)}; }
        static Message assistantMessage(Content content) { return Message{Role::assistant, std::move(content)}; }

        friend bool operator==(const Message&, const Message&) = default;
    };

    // Travels as {"type": "ref/prompt", "name": ...}.
    struct Reference {
        static constexpr std::string_view type = "ref/prompt";
        std::string name{};
        friend bool operator==(const Reference&, const Reference&) = default;
    };

    std::string name{};
    std::optional<std::string> description{};
    std::optional<std::vector<Argument>> arguments{};  // absent differs from empty

    friend bool operator==(const Prompt&, const Prompt&) = default;
};

template <>
struct StringEnumTraits<Prompt::Message::Role> {
    static constexpr std::string_view typeName = "Role";
    static constexpr std::array<std::pair<Prompt::Message::Role, std::string_view>, 2> cases{{
        {Prompt::Message::Role::user, "user"},
        {Prompt::Message::Role::assistant, "assistant"},
    }};
};

struct ListPrompts {
    static constexpr std::string_view name = "prompts/list";

    using Parameters = ListParameters;
    struct Result {
        std::vector<Prompt> prompts{};
        std::optional<std::string> nextCursor{};
        friend bool operator==(const Result&, const Result&) = default;
    };
};

struct GetPrompt {
    static constexpr std::string_view name = "prompts/get";

    struct Parameters {
        std::string name{};
        std::optional<std::map<std::string, Value>> arguments{};
        friend bool operator==(const Parameters&, const Parameters&) = default;
    };
    struct Result {
        std::optional<std::string> description{};
        std::vector<Prompt::Message> messages{};
        friend bool operator==(const Result&, const Result&) = default;
    };
};

struct PromptListChangedNotification {
    static constexpr std::string_view name = "notifications/prompts/list_changed";
    using Parameters = Empty;
    friend bool operator==(PromptListChangedNotification, PromptListChangedNotification) { return true; }
};

BRISOLET_MCP_CODABLE(Prompt);
BRISOLET_MCP_CODABLE(Prompt::Argument);

// An unknown "type" fails with "Unknown content type" at that key.
BRISOLET_MCP_CODABLE(Prompt::Message::Content);

BRISOLET_MCP_CODABLE(Prompt::Message);

// Reading requires "type" to be a string but accepts any.
BRISOLET_MCP_CODABLE(Prompt::Reference);

BRISOLET_MCP_CODABLE(ListPrompts::Result);
BRISOLET_MCP_CODABLE(GetPrompt::Parameters);
BRISOLET_MCP_CODABLE(GetPrompt::Result);

template <>
inline constexpr bool enableFieldless<PromptListChangedNotification> = true;

}  // namespace mcp
