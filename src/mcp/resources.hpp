// The resources feature: resource descriptions, contents and templates, the
// list, read, templates and subscribe requests, and the two notifications.
#pragma once

#include "mcp/codec.hpp"
#include "mcp/envelope.hpp"
#include "mcp/hash.hpp"
#include "mcp/record.hpp"

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace mcp {

struct Resource {
    // One piece of a resource's contents: characters in `text` or base64 bytes
    // in `blob`. Decoding does not enforce that exactly one is present.
    class Content {
    public:
        static Content fromText(std::string text, std::string uri,
                                std::optional<std::string> mimeType = std::nullopt);
        // Keeps only the base64 text of the bytes.
        static Content fromData(std::span<const std::uint8_t> data, std::string uri,
                                std::optional<std::string> mimeType = std::nullopt);
        Content(std::string uri, std::optional<std::string> mimeType, std::optional<std::string> text,
                std::optional<std::string> blob)
            : uri_(std::move(uri)), mimeType_(std::move(mimeType)), text_(std::move(text)), blob_(std::move(blob)) {}

        const std::string& uri() const { return uri_; }
        const std::optional<std::string>& mimeType() const { return mimeType_; }
        const std::optional<std::string>& text() const { return text_; }
        const std::optional<std::string>& blob() const { return blob_; }

        friend bool operator==(const Content&, const Content&) = default;

    private:
        friend struct Fields<Content>;

        std::string uri_;
        std::optional<std::string> mimeType_;
        std::optional<std::string> text_;
        std::optional<std::string> blob_;
    };

    // A parameterised family of resources; the URI template is never expanded here.
    struct Template {
        std::string uriTemplate{};
        std::string name{};
        std::optional<std::string> description{};
        std::optional<std::string> mimeType{};
        friend bool operator==(const Template&, const Template&) = default;
    };

    std::string name{};
    std::string uri{};
    std::optional<std::string> description{};
    std::optional<std::string> mimeType{};
    std::optional<std::map<std::string, std::string>> metadata{};

    friend bool operator==(const Resource&, const Resource&) = default;
};

struct ListResources {
    static constexpr std::string_view name = "resources/list";

    using Parameters = ListParameters;
    struct Result {
        std::vector<Resource> resources{};
        std::optional<std::string> nextCursor{};
        friend bool operator==(const Result&, const Result&) = default;
    };
};

struct ReadResource {
    static constexpr std::string_view name = "resources/read";

    struct Parameters {
        std::string uri{};
        friend bool operator==(const Parameters&, const Parameters&) = default;
    };
    struct Result {
        std::vector<Resource::Content> contents{};
        friend bool operator==(const Result&, const Result&) = default;
    };
};

struct ListResourceTemplates {
    static constexpr std::string_view name = "resources/templates/list";

    using Parameters = ListParameters;
    struct Result {
        std::vector<Resource::Template> templates{};  // travels as "resourceTemplates"
        std::optional<std::string> nextCursor{};
        friend bool operator==(const Result&, const Result&) = default;
    };
};

struct ResourceSubscribe {
    static constexpr std::string_view name = "resources/subscribe";

    struct Parameters {
        std::string uri{};
        friend bool operator==(const Parameters&, const Parameters&) = default;
    };
    using Result = Empty;
};

struct ResourceListChangedNotification {
    static constexpr std::string_view name = "notifications/resources/list_changed";
    using Parameters = Empty;
    friend bool operator==(ResourceListChangedNotification, ResourceListChangedNotification) { return true; }
};

struct ResourceUpdatedNotification {
    static constexpr std::string_view name = "notifications/resources/updated";

    struct Parameters {
        std::string uri{};
        friend bool operator==(const Parameters&, const Parameters&) = default;
    };
    friend bool operator==(ResourceUpdatedNotification, ResourceUpdatedNotification) { return true; }
};

BRISOLET_MCP_CODABLE(Resource);
BRISOLET_MCP_CODABLE(Resource::Content);
BRISOLET_MCP_CODABLE(Resource::Template);
BRISOLET_MCP_CODABLE(ListResources::Result);
BRISOLET_MCP_CODABLE(ReadResource::Parameters);
BRISOLET_MCP_CODABLE(ReadResource::Result);
BRISOLET_MCP_CODABLE(ListResourceTemplates::Result);
BRISOLET_MCP_CODABLE(ResourceSubscribe::Parameters);
BRISOLET_MCP_CODABLE(ResourceUpdatedNotification::Parameters);

template <>
inline constexpr bool enableFieldless<ResourceListChangedNotification> = true;
template <>
inline constexpr bool enableFieldless<ResourceUpdatedNotification> = true;

}  // namespace mcp
