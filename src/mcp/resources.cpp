#include "mcp/resources.hpp"

#include "mcp/value.hpp"

namespace mcp {

Resource::Content Resource::Content::fromText(std::string text, std::string uri,
                                              std::optional<std::string> mimeType) {
    return Content(std::move(uri), std::move(mimeType), std::move(text), std::nullopt);
}

Resource::Content Resource::Content::fromData(std::span<const std::uint8_t> data, std::string uri,
                                              std::optional<std::string> mimeType) {
    return Content(std::move(uri), std::move(mimeType), std::nullopt, base64Encode(data));
}

BRISOLET_MCP_RECORD(Resource, field::required("name", &Resource::name), field::required("uri", &Resource::uri),
                    field::optional("description", &Resource::description),
                    field::optional("mimeType", &Resource::mimeType),
                    field::optional("metadata", &Resource::metadata));
BRISOLET_MCP_RECORD(Resource::Content, field::required("uri", &Resource::Content::uri_),
                    field::optional("mimeType", &Resource::Content::mimeType_),
                    field::optional("text", &Resource::Content::text_),
                    field::optional("blob", &Resource::Content::blob_));
BRISOLET_MCP_RECORD(Resource::Template, field::required("uriTemplate", &Resource::Template::uriTemplate),
                    field::required("name", &Resource::Template::name),
                    field::optional("description", &Resource::Template::description),
                    field::optional("mimeType", &Resource::Template::mimeType));
BRISOLET_MCP_RECORD(ListResources::Result, field::required("resources", &ListResources::Result::resources),
                    field::optional("nextCursor", &ListResources::Result::nextCursor));
BRISOLET_MCP_RECORD(ReadResource::Parameters, field::required("uri", &ReadResource::Parameters::uri));
BRISOLET_MCP_RECORD(ReadResource::Result, field::required("contents", &ReadResource::Result::contents));
BRISOLET_MCP_RECORD(ListResourceTemplates::Result,
                    field::required("resourceTemplates", &ListResourceTemplates::Result::templates),
                    field::optional("nextCursor", &ListResourceTemplates::Result::nextCursor));
BRISOLET_MCP_RECORD(ResourceSubscribe::Parameters, field::required("uri", &ResourceSubscribe::Parameters::uri));
BRISOLET_MCP_RECORD(ResourceUpdatedNotification::Parameters,
                    field::required("uri", &ResourceUpdatedNotification::Parameters::uri));

}  // namespace mcp
