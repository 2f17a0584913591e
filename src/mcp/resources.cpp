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

json::Value toJson(const Resource& r) {
    ObjectEncoder out;
    out.set("name", r.name);
    out.set("uri", r.uri);
    out.setOptional("description", r.description);
    out.setOptional("mimeType", r.mimeType);
    out.setOptional("metadata", r.metadata);
    return std::move(out).finish();
}

Resource fromJson(const json::Value& v, json::CodingPath& path, std::type_identity<Resource>) {
    ObjectDecoder in(v, path);
    Resource r;
    r.name = in.required<std::string>("name");
    r.uri = in.required<std::string>("uri");
    r.description = in.optional<std::string>("description");
    r.mimeType = in.optional<std::string>("mimeType");
    r.metadata = in.optional<std::map<std::string, std::string>>("metadata");
    return r;
}

void hashInto(Hasher& h, const Resource& r) { hashAll(h, r.name, r.uri, r.description, r.mimeType, r.metadata); }

json::Value toJson(const Resource::Content& c) {
    ObjectEncoder out;
    out.set("uri", c.uri());
    out.setOptional("mimeType", c.mimeType());
    out.setOptional("text", c.text());
    out.setOptional("blob", c.blob());
    return std::move(out).finish();
}

Resource::Content fromJson(const json::Value& v, json::CodingPath& path, std::type_identity<Resource::Content>) {
    ObjectDecoder in(v, path);
    auto uri = in.required<std::string>("uri");
    auto mimeType = in.optional<std::string>("mimeType");
    auto text = in.optional<std::string>("text");
    auto blob = in.optional<std::string>("blob");
    return Resource::Content(std::move(uri), std::move(mimeType), std::move(text), std::move(blob));
}

void hashInto(Hasher& h, const Resource::Content& c) { hashAll(h, c.uri(), c.mimeType(), c.text(), c.blob()); }

json::Value toJson(const Resource::Template& t) {
    ObjectEncoder out;
    out.set("uriTemplate", t.uriTemplate);
    out.set("name", t.name);
    out.setOptional("description", t.description);
    out.setOptional("mimeType", t.mimeType);
    return std::move(out).finish();
}

Resource::Template fromJson(const json::Value& v, json::CodingPath& path, std::type_identity<Resource::Template>) {
    ObjectDecoder in(v, path);
    Resource::Template t;
    t.uriTemplate = in.required<std::string>("uriTemplate");
    t.name = in.required<std::string>("name");
    t.description = in.optional<std::string>("description");
    t.mimeType = in.optional<std::string>("mimeType");
    return t;
}

void hashInto(Hasher& h, const Resource::Template& t) {
    hashAll(h, t.uriTemplate, t.name, t.description, t.mimeType);
}

json::Value toJson(const ListResources::Result& r) {
    ObjectEncoder out;
    out.set("resources", r.resources);
    out.setOptional("nextCursor", r.nextCursor);
    return std::move(out).finish();
}

ListResources::Result fromJson(const json::Value& v, json::CodingPath& path,
                               std::type_identity<ListResources::Result>) {
    ObjectDecoder in(v, path);
    ListResources::Result r;
    r.resources = in.required<std::vector<Resource>>("resources");
    r.nextCursor = in.optional<std::string>("nextCursor");
    return r;
}

void hashInto(Hasher& h, const ListResources::Result& r) { hashAll(h, r.resources, r.nextCursor); }

json::Value toJson(const ReadResource::Parameters& p) {
    ObjectEncoder out;
    out.set("uri", p.uri);
    return std::move(out).finish();
}

ReadResource::Parameters fromJson(const json::Value& v, json::CodingPath& path,
                                  std::type_identity<ReadResource::Parameters>) {
    ObjectDecoder in(v, path);
    return ReadResource::Parameters{in.required<std::string>("uri")};
}

void hashInto(Hasher& h, const ReadResource::Parameters& p) { hashInto(h, p.uri); }

json::Value toJson(const ReadResource::Result& r) {
    ObjectEncoder out;
    out.set("contents", r.contents);
    return std::move(out).finish();
}

ReadResource::Result fromJson(const json::Value& v, json::CodingPath& path,
                              std::type_identity<ReadResource::Result>) {
    ObjectDecoder in(v, path);
    return ReadResource::Result{in.required<std::vector<Resource::Content>>("contents")};
}

void hashInto(Hasher& h, const ReadResource::Result& r) { hashInto(h, r.contents); }

json::Value toJson(const ListResourceTemplates::Result& r) {
    ObjectEncoder out;
    out.set("resourceTemplates", r.templates);
    out.setOptional("nextCursor", r.nextCursor);
    return std::move(out).finish();
}

ListResourceTemplates::Result fromJson(const json::Value& v, json::CodingPath& path,
                                       std::type_identity<ListResourceTemplates::Result>) {
    ObjectDecoder in(v, path);
    ListResourceTemplates::Result r;
    r.templates = in.required<std::vector<Resource::Template>>("resourceTemplates");
    r.nextCursor = in.optional<std::string>("nextCursor");
    return r;
}

void hashInto(Hasher& h, const ListResourceTemplates::Result& r) { hashAll(h, r.templates, r.nextCursor); }

json::Value toJson(const ResourceSubscribe::Parameters& p) {
    ObjectEncoder out;
    out.set("uri", p.uri);
    return std::move(out).finish();
}

ResourceSubscribe::Parameters fromJson(const json::Value& v, json::CodingPath& path,
                                       std::type_identity<ResourceSubscribe::Parameters>) {
    ObjectDecoder in(v, path);
    return ResourceSubscribe::Parameters{in.required<std::string>("uri")};
}

void hashInto(Hasher& h, const ResourceSubscribe::Parameters& p) { hashInto(h, p.uri); }

json::Value toJson(const ResourceUpdatedNotification::Parameters& p) {
    ObjectEncoder out;
    out.set("uri", p.uri);
    return std::move(out).finish();
}

ResourceUpdatedNotification::Parameters fromJson(const json::Value& v, json::CodingPath& path,
                                                 std::type_identity<ResourceUpdatedNotification::Parameters>) {
    ObjectDecoder in(v, path);
    return ResourceUpdatedNotification::Parameters{in.required<std::string>("uri")};
}

void hashInto(Hasher& h, const ResourceUpdatedNotification::Parameters& p) { hashInto(h, p.uri); }

}  // namespace mcp
