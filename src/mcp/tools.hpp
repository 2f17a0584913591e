// The tools feature: tool descriptions, the items of a tool's answer, and the
// "tools/list" and "tools/call" requests with their list-changed notification.
#pragma once

#include "mcp/codec.hpp"
#include "mcp/content.hpp"
#include "mcp/envelope.hpp"
#include "mcp/hash.hpp"
#include "mcp/value.hpp"

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace mcp {

struct Tool {
    // Hints about a tool's behaviour; a false hint is present, not absent.
    struct Annotations {
        std::optional<std::string> title{};
        std::optional<bool> destructiveHint{};
        std::optional<bool> idempotentHint{};
        std::optional<bool> openWorldHint{};
        std::optional<bool> readOnlyHint{};

        Annotations() = default;
        // Note the order: title, then readOnly, destructive, idempotent, openWorld.
        Annotations(std::optional<std::string> title, std::optional<bool> readOnlyHint,
                    std::optional<bool> destructiveHint, std::optional<bool> idempotentHint,
                    std::optional<bool> openWorldHint)
            : title(std::move(title)),
              destructiveHint(destructiveHint),
              idempotentHint(idempotentHint),
              openWorldHint(openWorldHint),
              readOnlyHint(readOnlyHint) {}
        // Wherever annotations are expected, null stands for empty ones.
        Annotations(std::nullptr_t) {}

        bool empty() const {
            return !title && !destructiveHint && !idempotentHint && !openWorldHint && !readOnlyHint;
        }
        friend bool operator==(const Annotations&, const Annotations&) = default;
    };

    // One item of a tool's answer.
    struct ContentCases {
        using Text = content::Text;
        struct Image {
            static constexpr std::string_view type = "image";
            std::string data{};  // usually base64; never checked here
            std::string mimeType{};
            std::optional<std::map<std::string, std::string>> metadata{};
            friend bool operator==(const Image&, const Image&) = default;
        };
        using Audio = content::Audio;
        struct Resource {
            static constexpr std::string_view type = "resource";
            std::string uri{};
            std::string mimeType{};
            std::optional<std::string> text{};
            friend bool operator==(const Resource&, const Resource&) = default;
        };
        // Case indices 0 to 3 in this order.
        using Variant = std::variant<Text, Image, Audio, Resource>;
        static constexpr std::string_view unknownType = "Unknown tool content type";
    };
    using Content = ContentUnion<ContentCases>;

    std::string name{};
    std::optional<std::string> description{};
    Value inputSchema{};
    Annotations annotations{};

    friend bool operator==(const Tool&, const Tool&) = default;
};

struct ListTools {
    static constexpr std::string_view name = "tools/list";

    using Parameters = ListParameters;
    struct Result {
        std::vector<Tool> tools{};
        std::optional<std::string> nextCursor{};
        friend bool operator==(const Result&, const Result&) = default;
    };
};

struct CallTool {
    static constexpr std::string_view name = "tools/call";

    struct Parameters {
        std::string name{};
        std::optional<std::map<std::string, Value>> arguments{};
        friend bool operator==(const Parameters&, const Parameters&) = default;
    };
    struct Result {
        std::vector<Tool::Content> content{};
        std::optional<bool> isError{};
        friend bool operator==(const Result&, const Result&) = default;
    };
};

struct ToolListChangedNotification {
    static constexpr std::string_view name = "notifications/tools/list_changed";
    using Parameters = Empty;
    friend bool operator==(ToolListChangedNotification, ToolListChangedNotification) { return true; }
};

// "description" is written as null when absent; "annotations" only when not empty.
BRISOLET_MCP_CODABLE(Tool);

// A null reads as empty annotations.
BRISOLET_MCP_CODABLE(Tool::Annotations);

// An unknown "type" fails with "Unknown tool content type" at that key.
BRISOLET_MCP_CODABLE(Tool::Content);

BRISOLET_MCP_CODABLE(ListTools::Result);
BRISOLET_MCP_CODABLE(CallTool::Parameters);
BRISOLET_MCP_CODABLE(CallTool::Result);

template <>
inline constexpr bool enableFieldless<ToolListChangedNotification> = true;

}  // namespace mcp
