#include "mcp/prompts.hpp"

#include "mcp/record.hpp"

namespace mcp {

BRISOLET_MCP_RECORD(Prompt, field::required("name", &Prompt::name),
                    field::optional("description", &Prompt::description),
                    field::optional("arguments", &Prompt::arguments));
BRISOLET_MCP_RECORD(Prompt::Argument, field::required("name", &Prompt::Argument::name),
                    field::optional("description", &Prompt::Argument::description),
                    field::optional("required", &Prompt::Argument::required));

using PromptContent = Prompt::Message::Content;
BRISOLET_MCP_FIELDS(PromptContent::Resource, field::required("uri", &PromptContent::Resource::uri),
                    field::required("mimeType", &PromptContent::Resource::mimeType),
                    field::optional("text", &PromptContent::Resource::text),
                    field::optional("blob", &PromptContent::Resource::blob));
BRISOLET_MCP_CONTENT_CODEC(PromptContent)

BRISOLET_MCP_RECORD(Prompt::Message, field::required("role", &Prompt::Message::role),
                    field::required("content", &Prompt::Message::content));
// "type" must be a string; its text is not checked.
BRISOLET_MCP_RECORD(Prompt::Reference, field::tag<Prompt::Reference>("type", Prompt::Reference::type),
                    field::required("name", &Prompt::Reference::name));
BRISOLET_MCP_RECORD(ListPrompts::Result, field::required("prompts", &ListPrompts::Result::prompts),
                    field::optional("nextCursor", &ListPrompts::Result::nextCursor));
BRISOLET_MCP_RECORD(GetPrompt::Parameters, field::required("name", &GetPrompt::Parameters::name),
                    field::optional("arguments", &GetPrompt::Parameters::arguments));
BRISOLET_MCP_RECORD(GetPrompt::Result, field::optional("description", &GetPrompt::Result::description),
                    field::required("messages", &GetPrompt::Result::messages));

}  // namespace mcp
