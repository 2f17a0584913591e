#include "mcp/server_records.hpp"

namespace mcp {

json::Value toJson(const ServerConfiguration& c) {
    ObjectEncoder out;
    out.set("strict", c.strict);
    return std::move(out).finish();
}

ServerConfiguration fromJson(const json::Value& v, json::CodingPath& path,
                             std::type_identity<ServerConfiguration>) {
    ObjectDecoder in(v, path);
    return ServerConfiguration{in.required<bool>("strict")};
}

void hashInto(Hasher& h, const ServerConfiguration& c) { hashInto(h, c.strict); }

json::Value toJson(const ServerInfo& info) {
    ObjectEncoder out;
    out.set("name", info.name);
    out.set("version", info.version);
    return std::move(out).finish();
}

ServerInfo fromJson(const json::Value& v, json::CodingPath& path, std::type_identity<ServerInfo>) {
    ObjectDecoder in(v, path);
    ServerInfo info;
    info.name = in.required<std::string>("name");
    info.version = in.required<std::string>("version");
    return info;
}

void hashInto(Hasher& h, const ServerInfo& info) { hashAll(h, info.name, info.version); }

json::Value toJson(const ServerCapabilities::Logging&) { return json::Value(json::Object()); }

ServerCapabilities::Logging fromJson(const json::Value& v, json::CodingPath& path,
                                     std::type_identity<ServerCapabilities::Logging>) {
    ObjectDecoder in(v, path);
    return {};
}

void hashInto(Hasher&, const ServerCapabilities::Logging&) {}

json::Value toJson(const ServerCapabilities::Prompts& p) {
    ObjectEncoder out;
    out.setOptional("listChanged", p.listChanged);
    return std::move(out).finish();
}

ServerCapabilities::Prompts fromJson(const json::Value& v, json::CodingPath& path,
                                     std::type_identity<ServerCapabilities::Prompts>) {
    ObjectDecoder in(v, path);
    return ServerCapabilities::Prompts{in.optional<bool>("listChanged")};
}

void hashInto(Hasher& h, const ServerCapabilities::Prompts& p) { hashInto(h, p.listChanged); }

json::Value toJson(const ServerCapabilities::Resources& r) {
    ObjectEncoder out;
    out.setOptional("subscribe", r.subscribe);
    out.setOptional("listChanged", r.listChanged);
    return std::move(out).finish();
}

ServerCapabilities::Resources fromJson(const json::Value& v, json::CodingPath& path,
                                       std::type_identity<ServerCapabilities::Resources>) {
    ObjectDecoder in(v, path);
    ServerCapabilities::Resources r;
    r.subscribe = in.optional<bool>("subscribe");
    r.listChanged = in.optional<bool>("listChanged");
    return r;
}

void hashInto(Hasher& h, const ServerCapabilities::Resources& r) { hashAll(h, r.subscribe, r.listChanged); }

json::Value toJson(const ServerCapabilities::Sampling&) { return json::Value(json::Object()); }

ServerCapabilities::Sampling fromJson(const json::Value& v, json::CodingPath& path,
                                      std::type_identity<ServerCapabilities::Sampling>) {
    ObjectDecoder in(v, path);
    return {};
}

void hashInto(Hasher&, const ServerCapabilities::Sampling&) {}

json::Value toJson(const ServerCapabilities::Tools& t) {
    ObjectEncoder out;
    out.setOptional("listChanged", t.listChanged);
    return std::move(out).finish();
}

ServerCapabilities::Tools fromJson(const json::Value& v, json::CodingPath& path,
                                   std::type_identity<ServerCapabilities::Tools>) {
    ObjectDecoder in(v, path);
    return ServerCapabilities::Tools{in.optional<bool>("listChanged")};
}

void hashInto(Hasher& h, const ServerCapabilities::Tools& t) { hashInto(h, t.listChanged); }

json::Value toJson(const ServerCapabilities& c) {
    ObjectEncoder out;
    out.setOptional("logging", c.logging);
    out.setOptional("prompts", c.prompts);
    out.setOptional("resources", c.resources);
    out.setOptional("sampling", c.sampling);
    out.setOptional("tools", c.tools);
    return std::move(out).finish();
}

ServerCapabilities fromJson(const json::Value& v, json::CodingPath& path,
                            std::type_identity<ServerCapabilities>) {
    ObjectDecoder in(v, path);
    ServerCapabilities c;
    c.logging = in.optional<ServerCapabilities::Logging>("logging");
    c.prompts = in.optional<ServerCapabilities::Prompts>("prompts");
    c.resources = in.optional<ServerCapabilities::Resources>("resources");
    c.sampling = in.optional<ServerCapabilities::Sampling>("sampling");
    c.tools = in.optional<ServerCapabilities::Tools>("tools");
    return c;
}

void hashInto(Hasher& h, const ServerCapabilities& c) {
    hashAll(h, c.logging, c.prompts, c.resources, c.sampling, c.tools);
}

}  // namespace mcp
