#include "mcp/client_records.hpp"

namespace mcp {

json::Value toJson(const ClientConfiguration& c) {
    ObjectEncoder out;
    out.set("strict", c.strict);
    return std::move(out).finish();
}

ClientConfiguration fromJson(const json::Value& v, json::CodingPath& path,
                             std::type_identity<ClientConfiguration>) {
    ObjectDecoder in(v, path);
    return ClientConfiguration{in.required<bool>("strict")};
}

void hashInto(Hasher& h, const ClientConfiguration& c) { hashInto(h, c.strict); }

json::Value toJson(const ClientInfo& info) {
    ObjectEncoder out;
    out.set("name", info.name);
    out.set("version", info.version);
    return std::move(out).finish();
}

ClientInfo fromJson(const json::Value& v, json::CodingPath& path, std::type_identity<ClientInfo>) {
    ObjectDecoder in(v, path);
    ClientInfo info;
    info.name = in.required<std::string>("name");
    info.version = in.required<std::string>("version");
    return info;
}

void hashInto(Hasher& h, const ClientInfo& info) { hashAll(h, info.name, info.version); }

json::Value toJson(const ClientCapabilities::Roots& r) {
    ObjectEncoder out;
    out.setOptional("listChanged", r.listChanged);
    return std::move(out).finish();
}

ClientCapabilities::Roots fromJson(const json::Value& v, json::CodingPath& path,
                                   std::type_identity<ClientCapabilities::Roots>) {
    ObjectDecoder in(v, path);
    return ClientCapabilities::Roots{in.optional<bool>("listChanged")};
}

void hashInto(Hasher& h, const ClientCapabilities::Roots& r) { hashInto(h, r.listChanged); }

namespace {

// A string member is kept as the string case even when it reads like a data
// URL, so that what a client announced is echoed unchanged.
std::map<std::string, Value> decodeExperimental(const json::Value& v, json::CodingPath& path) {
    expectKind(v, json::Kind::Object, typeName::object, path);
    std::map<std::string, Value> out;
    for (const auto& [key, item] : v.asObject()) {
        PathGuard guard(path, key);
        out.insert_or_assign(key, item.isString() ? Value(item.asString()) : decode<Value>(item, path));
    }
    return out;
}

}  // namespace

json::Value toJson(const ClientCapabilities& c) {
    ObjectEncoder out;
    out.setOptional("sampling", c.sampling);
    out.setOptional("experimental", c.experimental);
    out.setOptional("roots", c.roots);
    return std::move(out).finish();
}

ClientCapabilities fromJson(const json::Value& v, json::CodingPath& path,
                            std::type_identity<ClientCapabilities>) {
    ObjectDecoder in(v, path);
    ClientCapabilities c;
    c.sampling = in.optional<ClientCapabilities::Sampling>("sampling");
    if (in.hasValue("experimental")) {
        PathGuard guard(in.path(), "experimental");
        c.experimental = decodeExperimental(*in.find("experimental"), in.path());
    }
    c.roots = in.optional<ClientCapabilities::Roots>("roots");
    return c;
}

void hashInto(Hasher& h, const ClientCapabilities& c) { hashAll(h, c.sampling, c.experimental, c.roots); }

}  // namespace mcp
