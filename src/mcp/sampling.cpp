#include "mcp/sampling.hpp"

#include "mcp/record.hpp"

namespace mcp {

BRISOLET_MCP_CONTENT_CODEC(Sampling::Message::Content)

BRISOLET_MCP_RECORD(Sampling::Message, field::required("role", &Sampling::Message::role),
                    field::required("content", &Sampling::Message::content));

using Preferences = Sampling::ModelPreferences;
BRISOLET_MCP_RECORD(Preferences::Hint, field::optional("name", &Preferences::Hint::name));
BRISOLET_MCP_RECORD(Preferences, field::optional("hints", &Preferences::hints),
                    field::optional("costPriority", &Preferences::costPriority),
                    field::optional("speedPriority", &Preferences::speedPriority),
                    field::optional("intelligencePriority", &Preferences::intelligencePriority));

using CreateParameters = CreateSamplingMessage::Parameters;
BRISOLET_MCP_RECORD(CreateParameters, field::required("messages", &CreateParameters::messages),
                    field::optional("modelPreferences", &CreateParameters::modelPreferences),
                    field::optional("systemPrompt", &CreateParameters::systemPrompt),
                    field::optional("includeContext", &CreateParameters::includeContext),
                    field::optional("temperature", &CreateParameters::temperature),
                    field::required("maxTokens", &CreateParameters::maxTokens),
                    field::optional("stopSequences", &CreateParameters::stopSequences),
                    field::optional("metadata", &CreateParameters::metadata));

using CreateResult = CreateSamplingMessage::Result;
BRISOLET_MCP_RECORD(CreateResult, field::required("model", &CreateResult::model),
                    field::optional("stopReason", &CreateResult::stopReason),
                    field::required("role", &CreateResult::role), field::required("content", &CreateResult::content));

}  // namespace mcp
