#include "mcp/sampling.hpp"

namespace mcp {

using SamplingContent = Sampling::Message::Content;

json::Value toJson(const SamplingContent& c) {
    ObjectEncoder out;
    if (const auto* text = c.get<SamplingContent::Text>()) {
        out.set("type", std::string("text"));
        out.set("text", text->text);
    } else if (const auto* image = c.get<SamplingContent::Image>()) {
        out.set("type", std::string("image"));
        out.set("data", image->data);
        out.set("mimeType", image->mimeType);
    }
    return std::move(out).finish();
}

SamplingContent fromJson(const json::Value& v, json::CodingPath& path, std::type_identity<SamplingContent>) {
    ObjectDecoder in(v, path);
    const auto type = in.required<std::string>("type");
    if (type == "text") return SamplingContent::Text{in.required<std::string>("text")};
    if (type == "image") {
        auto data = in.required<std::string>("data");
        return SamplingContent::Image{std::move(data), in.required<std::string>("mimeType")};
    }
    PathGuard guard(path, "type");
    throw json::DecodingError::dataCorrupted("Unknown sampling message content type", path);
}

void hashInto(Hasher& h, const SamplingContent& c) {
    h.combine(c.index());
    if (const auto* text = c.get<SamplingContent::Text>()) {
        hashInto(h, text->text);
    } else if (const auto* image = c.get<SamplingContent::Image>()) {
        hashAll(h, image->data, image->mimeType);
    }
}

json::Value toJson(const Sampling::Message& m) {
    ObjectEncoder out;
    out.set("role", m.role);
    out.set("content", m.content);
    return std::move(out).finish();
}

Sampling::Message fromJson(const json::Value& v, json::CodingPath& path, std::type_identity<Sampling::Message>) {
    ObjectDecoder in(v, path);
    auto role = in.required<Sampling::Message::Role>("role");
    return Sampling::Message{role, in.required<SamplingContent>("content")};
}

void hashInto(Hasher& h, const Sampling::Message& m) { hashAll(h, m.role, m.content); }

json::Value toJson(const Sampling::ModelPreferences::Hint& hint) {
    ObjectEncoder out;
    out.setOptional("name", hint.name);
    return std::move(out).finish();
}

Sampling::ModelPreferences::Hint fromJson(const json::Value& v, json::CodingPath& path,
                                          std::type_identity<Sampling::ModelPreferences::Hint>) {
    ObjectDecoder in(v, path);
    return Sampling::ModelPreferences::Hint{in.optional<std::string>("name")};
}

void hashInto(Hasher& h, const Sampling::ModelPreferences::Hint& hint) { hashInto(h, hint.name); }

json::Value toJson(const Sampling::ModelPreferences& p) {
    ObjectEncoder out;
    out.setOptional("hints", p.hints);
    out.setOptional("costPriority", p.costPriority);
    out.setOptional("speedPriority", p.speedPriority);
    out.setOptional("intelligencePriority", p.intelligencePriority);
    return std::move(out).finish();
}

Sampling::ModelPreferences fromJson(const json::Value& v, json::CodingPath& path,
                                    std::type_identity<Sampling::ModelPreferences>) {
    ObjectDecoder in(v, path);
    Sampling::ModelPreferences p;
    p.hints = in.optional<std::vector<Sampling::ModelPreferences::Hint>>("hints");
    p.costPriority = in.optional<UnitInterval>("costPriority");
    p.speedPriority = in.optional<UnitInterval>("speedPriority");
    p.intelligencePriority = in.optional<UnitInterval>("intelligencePriority");
    return p;
}

void hashInto(Hasher& h, const Sampling::ModelPreferences& p) {
    hashAll(h, p.hints, p.costPriority, p.speedPriority, p.intelligencePriority);
}

json::Value toJson(const CreateSamplingMessage::Parameters& p) {
    ObjectEncoder out;
    out.set("messages", p.messages);
    out.setOptional("modelPreferences", p.modelPreferences);
    out.setOptional("systemPrompt", p.systemPrompt);
    out.setOptional("includeContext", p.includeContext);
    out.setOptional("temperature", p.temperature);
    out.set("maxTokens", p.maxTokens);
    out.setOptional("stopSequences", p.stopSequences);
    out.setOptional("metadata", p.metadata);
    return std::move(out).finish();
}

CreateSamplingMessage::Parameters fromJson(const json::Value& v, json::CodingPath& path,
                                           std::type_identity<CreateSamplingMessage::Parameters>) {
    ObjectDecoder in(v, path);
    CreateSamplingMessage::Parameters p;
    p.messages = in.required<std::vector<Sampling::Message>>("messages");
    p.modelPreferences = in.optional<Sampling::ModelPreferences>("modelPreferences");
    p.systemPrompt = in.optional<std::string>("systemPrompt");
    p.includeContext = in.optional<Sampling::ContextInclusion>("includeContext");
    p.temperature = in.optional<double>("temperature");
    p.maxTokens = in.required<std::int64_t>("maxTokens");
    p.stopSequences = in.optional<std::vector<std::string>>("stopSequences");
    p.metadata = in.optional<std::map<std::string, Value>>("metadata");
    return p;
}

void hashInto(Hasher& h, const CreateSamplingMessage::Parameters& p) {
    hashAll(h, p.messages, p.modelPreferences, p.systemPrompt, p.includeContext, p.temperature, p.maxTokens,
            p.stopSequences, p.metadata);
}

json::Value toJson(const CreateSamplingMessage::Result& r) {
    ObjectEncoder out;
    out.set("model", r.model);
    out.setOptional("stopReason", r.stopReason);
    out.set("role", r.role);
    out.set("content", r.content);
    return std::move(out).finish();
}

CreateSamplingMessage::Result fromJson(const json::Value& v, json::CodingPath& path,
                                       std::type_identity<CreateSamplingMessage::Result>) {
    ObjectDecoder in(v, path);
    auto model = in.required<std::string>("model");
    auto stopReason = in.optional<Sampling::StopReason>("stopReason");
    auto role = in.required<Sampling::Message::Role>("role");
    auto content = in.required<SamplingContent>("content");
    return CreateSamplingMessage::Result{std::move(model), stopReason, role, std::move(content)};
}

void hashInto(Hasher& h, const CreateSamplingMessage::Result& r) {
    hashAll(h, r.model, r.stopReason, r.role, r.content);
}

}  // namespace mcp
