#include "mcp/lifecycle.hpp"

#include <algorithm>

namespace mcp {

const std::set<std::string, std::less<>>& Version::supported() {
    static const std::set<std::string, std::less<>> revisions{"2025-03-26", "2024-11-05"};
    return revisions;
}

const std::string& Version::latest() {
    static const std::string greatest = *std::max_element(supported().begin(), supported().end());
    return greatest;
}

json::Value toJson(const Initialize::Parameters& p) {
    ObjectEncoder out;
    out.set("protocolVersion", p.protocolVersion);
    out.set("capabilities", p.capabilities);
    out.set("clientInfo", p.clientInfo);
    return std::move(out).finish();
}

Initialize::Parameters fromJson(const json::Value& v, json::CodingPath& path,
                                std::type_identity<Initialize::Parameters>) {
    ObjectDecoder in(v, path);
    Initialize::Parameters p;
    p.protocolVersion = in.optional<std::string>("protocolVersion", Version::latest());
    p.capabilities = in.optional<ClientCapabilities>("capabilities", ClientCapabilities{});
    p.clientInfo = in.optional<ClientInfo>("clientInfo", ClientInfo{"unknown", "0.0.0"});
    return p;
}

void hashInto(Hasher& h, const Initialize::Parameters& p) {
    hashAll(h, p.protocolVersion, p.capabilities, p.clientInfo);
}

json::Value toJson(const Initialize::Result& r) {
    ObjectEncoder out;
    out.set("protocolVersion", r.protocolVersion);
    out.set("capabilities", r.capabilities);
    out.set("serverInfo", r.serverInfo);
    out.setOptional("instructions", r.instructions);
    return std::move(out).finish();
}

Initialize::Result fromJson(const json::Value& v, json::CodingPath& path, std::type_identity<Initialize::Result>) {
    ObjectDecoder in(v, path);
    Initialize::Result r;
    r.protocolVersion = in.required<std::string>("protocolVersion");
    r.capabilities = in.required<ServerCapabilities>("capabilities");
    r.serverInfo = in.required<ServerInfo>("serverInfo");
    r.instructions = in.optional<std::string>("instructions");
    return r;
}

void hashInto(Hasher& h, const Initialize::Result& r) {
    hashAll(h, r.protocolVersion, r.capabilities, r.serverInfo, r.instructions);
}

}  // namespace mcp
