#include "mcp/prompts.hpp"

namespace mcp {

json::Value toJson(const Prompt& p) {
    ObjectEncoder out;
    out.set("name", p.name);
    out.setOptional("description", p.description);
    out.setOptional("arguments", p.arguments);
    return std::move(out).finish();
}

Prompt fromJson(const json::Value& v, json::CodingPath& path, std::type_identity<Prompt>) {
    ObjectDecoder in(v, path);
    Prompt p;
    p.name = in.required<std::string>("name");
    p.description = in.optional<std::string>("description");
    p.arguments = in.optional<std::vector<Prompt::Argument>>("arguments");
    return p;
}

void hashInto(Hasher& h, const Prompt& p) { hashAll(h, p.name, p.description, p.arguments); }

json::Value toJson(const Prompt::Argument& a) {
    ObjectEncoder out;
    out.set("name", a.name);
    out.setOptional("description", a.description);
    out.setOptional("required", a.required);
    return std::move(out).finish();
}

Prompt::Argument fromJson(const json::Value& v, json::CodingPath& path, std::type_identity<Prompt::Argument>) {
    ObjectDecoder in(v, path);
    Prompt::Argument a;
    a.name = in.required<std::string>("name");
    a.description = in.optional<std::string>("description");
    a.required = in.optional<bool>("required");
    return a;
}

void hashInto(Hasher& h, const Prompt::Argument& a) { hashAll(h, a.name, a.description, a.required); }

using PromptContent = Prompt::Message::Content;

json::Value toJson(const PromptContent& c) {
    ObjectEncoder out;
    if (const auto* text = c.get<PromptContent::Text>()) {
        out.set("type", std::string("text"));
        out.set("text", text->text);
    } else if (const auto* image = c.get<PromptContent::Image>()) {
        out.set("type", std::string("image"));
        out.set("data", image->data);
        out.set("mimeType", image->mimeType);
    } else if (const auto* audio = c.get<PromptContent::Audio>()) {
        out.set("type", std::string("audio"));
        out.set("data", audio->data);
        out.set("mimeType", audio->mimeType);
    } else if (const auto* resource = c.get<PromptContent::Resource>()) {
        out.set("type", std::string("resource"));
        out.set("uri", resource->uri);
        out.set("mimeType", resource->mimeType);
        out.setOptional("text", resource->text);
        out.setOptional("blob", resource->blob);
    }
    return std::move(out).finish();
}

PromptContent fromJson(const json::Value& v, json::CodingPath& path, std::type_identity<PromptContent>) {
    ObjectDecoder in(v, path);
    const auto type = in.required<std::string>("type");
    if (type == "text") return PromptContent::Text{in.required<std::string>("text")};
    if (type == "image" || type == "audio") {
        auto data = in.required<std::string>("data");
        auto mimeType = in.required<std::string>("mimeType");
        if (type == "image") return PromptContent::Image{std::move(data), std::move(mimeType)};
        return PromptContent::Audio{std::move(data), std::move(mimeType)};
    }
    if (type == "resource") {
        PromptContent::Resource resource;
        resource.uri = in.required<std::string>("uri");
        resource.mimeType = in.required<std::string>("mimeType");
        resource.text = in.optional<std::string>("text");
        resource.blob = in.optional<std::string>("blob");
        return resource;
    }
    PathGuard guard(path, "type");
    throw json::DecodingError::dataCorrupted("Unknown content type", path);
}

void hashInto(Hasher& h, const PromptContent& c) {
    h.combine(c.index());
    std::visit(
        [&h](const auto& payload) {
            using T = std::decay_t<decltype(payload)>;
            if constexpr (std::is_same_v<T, PromptContent::Text>) {
                hashInto(h, payload.text);
            } else if constexpr (std::is_same_v<T, PromptContent::Resource>) {
                hashAll(h, payload.uri, payload.mimeType, payload.text, payload.blob);
            } else {
                hashAll(h, payload.data, payload.mimeType);
            }
        },
        c.variant());
}

json::Value toJson(const Prompt::Message& m) {
    ObjectEncoder out;
    out.set("role", m.role);
    out.set("content", m.content);
    return std::move(out).finish();
}

Prompt::Message fromJson(const json::Value& v, json::CodingPath& path, std::type_identity<Prompt::Message>) {
    ObjectDecoder in(v, path);
    auto role = in.required<Prompt::Message::Role>("role");
    return Prompt::Message{role, in.required<PromptContent>("content")};
}

void hashInto(Hasher& h, const Prompt::Message& m) { hashAll(h, m.role, m.content); }

json::Value toJson(const Prompt::Reference& r) {
    ObjectEncoder out;
    out.set("type", std::string(Prompt::Reference::type));
    out.set("name", r.name);
    return std::move(out).finish();
}

Prompt::Reference fromJson(const json::Value& v, json::CodingPath& path, std::type_identity<Prompt::Reference>) {
    ObjectDecoder in(v, path);
    in.required<std::string>("type");  // must be a string; its text is not checked
    return Prompt::Reference{in.required<std::string>("name")};
}

void hashInto(Hasher& h, const Prompt::Reference& r) { hashInto(h, r.name); }

json::Value toJson(const ListPrompts::Result& r) {
    ObjectEncoder out;
    out.set("prompts", r.prompts);
    out.setOptional("nextCursor", r.nextCursor);
    return std::move(out).finish();
}

ListPrompts::Result fromJson(const json::Value& v, json::CodingPath& path, std::type_identity<ListPrompts::Result>) {
    ObjectDecoder in(v, path);
    ListPrompts::Result r;
    r.prompts = in.required<std::vector<Prompt>>("prompts");
    r.nextCursor = in.optional<std::string>("nextCursor");
    return r;
}

void hashInto(Hasher& h, const ListPrompts::Result& r) { hashAll(h, r.prompts, r.nextCursor); }

json::Value toJson(const GetPrompt::Parameters& p) {
    ObjectEncoder out;
    out.set("name", p.name);
    out.setOptional("arguments", p.arguments);
    return std::move(out).finish();
}

GetPrompt::Parameters fromJson(const json::Value& v, json::CodingPath& path,
                               std::type_identity<GetPrompt::Parameters>) {
    ObjectDecoder in(v, path);
    GetPrompt::Parameters p;
    p.name = in.required<std::string>("name");
    p.arguments = in.optional<std::map<std::string, Value>>("arguments");
    return p;
}

void hashInto(Hasher& h, const GetPrompt::Parameters& p) { hashAll(h, p.name, p.arguments); }

json::Value toJson(const GetPrompt::Result& r) {
    ObjectEncoder out;
    out.setOptional("description", r.description);
    out.set("messages", r.messages);
    return std::move(out).finish();
}

GetPrompt::Result fromJson(const json::Value& v, json::CodingPath& path, std::type_identity<GetPrompt::Result>) {
    ObjectDecoder in(v, path);
    GetPrompt::Result r;
    r.description = in.optional<std::string>("description");
    r.messages = in.required<std::vector<Prompt::Message>>("messages");
    return r;
}

void hashInto(Hasher& h, const GetPrompt::Result& r) { hashAll(h, r.description, r.messages); }

}  // namespace mcp
