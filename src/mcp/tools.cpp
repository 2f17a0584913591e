#include "mcp/tools.hpp"

namespace mcp {

json::Value toJson(const Tool& t) {
    ObjectEncoder out;
    out.set("name", t.name);
    out.set("description", t.description);  // null when absent, unlike every other optional
    out.set("inputSchema", t.inputSchema);
    if (!t.annotations.empty()) out.set("annotations", t.annotations);
    return std::move(out).finish();
}

Tool fromJson(const json::Value& v, json::CodingPath& path, std::type_identity<Tool>) {
    ObjectDecoder in(v, path);
    Tool t;
    t.name = in.required<std::string>("name");
    t.description = in.optional<std::string>("description");
    t.inputSchema = in.required<Value>("inputSchema");
    t.annotations = in.optional<Tool::Annotations>("annotations", Tool::Annotations());
    return t;
}

void hashInto(Hasher& h, const Tool& t) { hashAll(h, t.name, t.description, t.inputSchema, t.annotations); }

json::Value toJson(const Tool::Annotations& a) {
    ObjectEncoder out;
    out.setOptional("title", a.title);
    out.setOptional("destructiveHint", a.destructiveHint);
    out.setOptional("idempotentHint", a.idempotentHint);
    out.setOptional("openWorldHint", a.openWorldHint);
    out.setOptional("readOnlyHint", a.readOnlyHint);
    return std::move(out).finish();
}

Tool::Annotations fromJson(const json::Value& v, json::CodingPath& path, std::type_identity<Tool::Annotations>) {
    Tool::Annotations a;
    if (v.isNull()) return a;
    ObjectDecoder in(v, path);
    a.title = in.optional<std::string>("title");
    a.destructiveHint = in.optional<bool>("destructiveHint");
    a.idempotentHint = in.optional<bool>("idempotentHint");
    a.openWorldHint = in.optional<bool>("openWorldHint");
    a.readOnlyHint = in.optional<bool>("readOnlyHint");
    return a;
}

void hashInto(Hasher& h, const Tool::Annotations& a) {
    hashAll(h, a.title, a.destructiveHint, a.idempotentHint, a.openWorldHint, a.readOnlyHint);
}

json::Value toJson(const Tool::Content& c) {
    ObjectEncoder out;
    if (const auto* text = c.get<Tool::Content::Text>()) {
        out.set("type", std::string("text"));
        out.set("text", text->text);
    } else if (const auto* image = c.get<Tool::Content::Image>()) {
        out.set("type", std::string("image"));
        out.set("data", image->data);
        out.set("mimeType", image->mimeType);
        out.setOptional("metadata", image->metadata);
    } else if (const auto* audio = c.get<Tool::Content::Audio>()) {
        out.set("type", std::string("audio"));
        out.set("data", audio->data);
        out.set("mimeType", audio->mimeType);
    } else if (const auto* resource = c.get<Tool::Content::Resource>()) {
        out.set("type", std::string("resource"));
        out.set("uri", resource->uri);
        out.set("mimeType", resource->mimeType);
        out.setOptional("text", resource->text);
    }
    return std::move(out).finish();
}

Tool::Content fromJson(const json::Value& v, json::CodingPath& path, std::type_identity<Tool::Content>) {
    ObjectDecoder in(v, path);
    const auto type = in.required<std::string>("type");
    if (type == "text") return Tool::Content::Text{in.required<std::string>("text")};
    if (type == "image") {
        Tool::Content::Image image;
        image.data = in.required<std::string>("data");
        image.mimeType = in.required<std::string>("mimeType");
        image.metadata = in.optional<std::map<std::string, std::string>>("metadata");
        return image;
    }
    if (type == "audio") {
        Tool::Content::Audio audio;
        audio.data = in.required<std::string>("data");
        audio.mimeType = in.required<std::string>("mimeType");
        return audio;
    }
    if (type == "resource") {
        Tool::Content::Resource resource;
        resource.uri = in.required<std::string>("uri");
        resource.mimeType = in.required<std::string>("mimeType");
        resource.text = in.optional<std::string>("text");
        return resource;
    }
    PathGuard guard(path, "type");
    throw json::DecodingError::dataCorrupted("Unknown tool content type", path);
}

void hashInto(Hasher& h, const Tool::Content& c) {
    h.combine(c.index());
    std::visit(
        [&h](const auto& payload) {
            using T = std::decay_t<decltype(payload)>;
            if constexpr (std::is_same_v<T, Tool::Content::Text>) {
                hashInto(h, payload.text);
            } else if constexpr (std::is_same_v<T, Tool::Content::Image>) {
                hashAll(h, payload.data, payload.mimeType, payload.metadata);
            } else if constexpr (std::is_same_v<T, Tool::Content::Audio>) {
                hashAll(h, payload.data, payload.mimeType);
            } else {
                hashAll(h, payload.uri, payload.mimeType, payload.text);
            }
        },
        c.variant());
}

json::Value toJson(const ListTools::Result& r) {
    ObjectEncoder out;
    out.set("tools", r.tools);
    out.setOptional("nextCursor", r.nextCursor);
    return std::move(out).finish();
}

ListTools::Result fromJson(const json::Value& v, json::CodingPath& path, std::type_identity<ListTools::Result>) {
    ObjectDecoder in(v, path);
    ListTools::Result r;
    r.tools = in.required<std::vector<Tool>>("tools");
    r.nextCursor = in.optional<std::string>("nextCursor");
    return r;
}

void hashInto(Hasher& h, const ListTools::Result& r) { hashAll(h, r.tools, r.nextCursor); }

json::Value toJson(const CallTool::Parameters& p) {
    ObjectEncoder out;
    out.set("name", p.name);
    out.setOptional("arguments", p.arguments);
    return std::move(out).finish();
}

CallTool::Parameters fromJson(const json::Value& v, json::CodingPath& path,
                              std::type_identity<CallTool::Parameters>) {
    ObjectDecoder in(v, path);
    CallTool::Parameters p;
    p.name = in.required<std::string>("name");
    p.arguments = in.optional<std::map<std::string, Value>>("arguments");
    return p;
}

void hashInto(Hasher& h, const CallTool::Parameters& p) { hashAll(h, p.name, p.arguments); }

json::Value toJson(const CallTool::Result& r) {
    ObjectEncoder out;
    out.set("content", r.content);
    out.setOptional("isError", r.isError);
    return std::move(out).finish();
}

CallTool::Result fromJson(const json::Value& v, json::CodingPath& path, std::type_identity<CallTool::Result>) {
    ObjectDecoder in(v, path);
    CallTool::Result r;
    r.content = in.required<std::vector<Tool::Content>>("content");
    r.isError = in.optional<bool>("isError");
    return r;
}

void hashInto(Hasher& h, const CallTool::Result& r) { hashAll(h, r.content, r.isError); }

}  // namespace mcp
