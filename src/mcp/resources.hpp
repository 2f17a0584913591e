// The resources feature: resource descriptions, contents and templates, the
// list, read, templates and subscribe requests, and the two notifications.
#pragma once

#include "mcp/codec.hpp"
#include "mcp/envelope.hpp"
#include "mcp/hash.hpp"

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

    struct Parameters {
        std::optional<std::string> cursor{};
        friend bool operator==(const Parameters&, const Parameters&) = default;
    };
    struct Result {
        std::vector<Resource> resources{};
        std::optional<std::string> nextCursor{};
        friend bool operator==(const Result&, const Result&) = default;
    };
};
template <>
inline constexpr bool enableNotRequired<ListResources::Parameters> = true;

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

    struct Parameters {
        std::optional<std::string> cursor{};
        friend bool operator==(const Parameters&, const Parameters&) = default;
    };
    struct Result {
        std::vector<Resource::Template> templates{};  // travels as "resourceTemplates"
        std::optional<std::string> nextCursor{};
        friend bool operator==(const Result&, const Result&) = default;
    };
};
template <>
inline constexpr bool enableNotRequired<ListResourceTemplates::Parameters> = true;

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

json::Value toJson(const Resource& r);
Resource fromJson(const json::Value& v, json::CodingPath& path, std::type_identity<Resource>);
void hashInto(Hasher& h, const Resource& r);

json::Value toJson(const Resource::Content& c);
Resource::Content fromJson(const json::Value& v, json::CodingPath& path, std::type_identity<Resource::Content>);
void hashInto(Hasher& h, const Resource::Content& c);

json::Value toJson(const Resource::Template& t);
Resource::Template fromJson(const json::Value& v, json::CodingPath& path, std::type_identity<Resource::Template>);
void hashInto(Hasher& h, const Resource::Template& t);

json::Value toJson(const ListResources::Parameters& p);
ListResources::Parameters fromJson(const json::Value& v, json::CodingPath& path,
                                   std::type_identity<ListResources::Parameters>);
void hashInto(Hasher& h, const ListResources::Parameters& p);

json::Value toJson(const ListResources::Result& r);
ListResources::Result fromJson(const json::Value& v, json::CodingPath& path,
                               std::type_identity<ListResources::Result>);
void hashInto(Hasher& h, const ListResources::Result& r);

json::Value toJson(const ReadResource::Parameters& p);
ReadResource::Parameters fromJson(const json::Value& v, json::CodingPath& path,
                                  std::type_identity<ReadResource::Parameters>);
void hashInto(Hasher& h, const ReadResource::Parameters& p);

json::Value toJson(const ReadResource::Result& r);
ReadResource::Result fromJson(const json::Value& v, json::CodingPath& path,
                              std::type_identity<ReadResource::Result>);
void hashInto(Hasher& h, const ReadResource::Result& r);

json::Value toJson(const ListResourceTemplates::Parameters& p);
ListResourceTemplates::Parameters fromJson(const json::Value& v, json::CodingPath& path,
                                           std::type_identity<ListResourceTemplates::Parameters>);
void hashInto(Hasher& h, const ListResourceTemplates::Parameters& p);

json::Value toJson(const ListResourceTemplates::Result& r);
ListResourceTemplates::Result fromJson(const json::Value& v, json::CodingPath& path,
                                       std::type_identity<ListResourceTemplates::Result>);
void hashInto(Hasher& h, const ListResourceTemplates::Result& r);

json::Value toJson(const ResourceSubscribe::Parameters& p);
ResourceSubscribe::Parameters fromJson(const json::Value& v, json::CodingPath& path,
                                       std::type_identity<ResourceSubscribe::Parameters>);
void hashInto(Hasher& h, const ResourceSubscribe::Parameters& p);

json::Value toJson(const ResourceUpdatedNotification::Parameters& p);
ResourceUpdatedNotification::Parameters fromJson(const json::Value& v, json::CodingPath& path,
                                                 std::type_identity<ResourceUpdatedNotification::Parameters>);
void hashInto(Hasher& h, const ResourceUpdatedNotification::Parameters& p);

json::Value toJson(ResourceListChangedNotification);
ResourceListChangedNotification fromJson(const json::Value& v, json::CodingPath& path,
                                         std::type_identity<ResourceListChangedNotification>);
void hashInto(Hasher& h, ResourceListChangedNotification);

json::Value toJson(ResourceUpdatedNotification);
ResourceUpdatedNotification fromJson(const json::Value& v, json::CodingPath& path,
                                     std::type_identity<ResourceUpdatedNotification>);
void hashInto(Hasher& h, ResourceUpdatedNotification);

}  // namespace mcp
