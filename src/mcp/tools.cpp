#include "mcp/tools.hpp"

#include "mcp/record.hpp"

namespace mcp {

BRISOLET_MCP_RECORD(Tool, field::required("name", &Tool::name),
                    field::nullWhenAbsent("description", &Tool::description),
                    field::required("inputSchema", &Tool::inputSchema),
                    field::omittedWhenEmpty("annotations", &Tool::annotations));

template <>
struct Fields<Tool::Annotations> {
    using A = Tool::Annotations;
    static constexpr bool nullIsEmpty = true;
    static constexpr auto list = std::tuple{
        field::optional("title", &A::title), field::optional("destructiveHint", &A::destructiveHint),
        field::optional("idempotentHint", &A::idempotentHint), field::optional("openWorldHint", &A::openWorldHint),
        field::optional("readOnlyHint", &A::readOnlyHint)};
};
BRISOLET_MCP_RECORD_CODEC(Tool::Annotations)

BRISOLET_MCP_FIELDS(Tool::Content::Image, field::required("data", &Tool::Content::Image::data),
                    field::required("mimeType", &Tool::Content::Image::mimeType),
                    field::optional("metadata", &Tool::Content::Image::metadata));
BRISOLET_MCP_FIELDS(Tool::Content::Resource, field::required("uri", &Tool::Content::Resource::uri),
                    field::required("mimeType", &Tool::Content::Resource::mimeType),
                    field::optional("text", &Tool::Content::Resource::text));
BRISOLET_MCP_CONTENT_CODEC(Tool::Content)

BRISOLET_MCP_RECORD(ListTools::Result, field::required("tools", &ListTools::Result::tools),
                    field::optional("nextCursor", &ListTools::Result::nextCursor));
BRISOLET_MCP_RECORD(CallTool::Parameters, field::required("name", &CallTool::Parameters::name),
                    field::optional("arguments", &CallTool::Parameters::arguments));
BRISOLET_MCP_RECORD(CallTool::Result, field::required("content", &CallTool::Result::content),
                    field::optional("isError", &CallTool::Result::isError));

}  // namespace mcp
