#include "mcp/codec.hpp"

#include <cmath>

namespace mcp {

void expectKind(const json::Value& value, json::Kind kind, std::string_view expected,
                const json::CodingPath& path) {
    if (value.kind() == kind) return;
    if (value.isNull()) throw json::DecodingError::valueNotFound(expected, path);
    throw json::DecodingError::typeMismatch(expected, path);
}

std::int64_t decodeInteger(const json::Value& v, const json::CodingPath& path, std::int64_t min,
                           std::int64_t max) {
    std::int64_t n;
    if (v.isInt()) {
        n = v.asInt();
    } else if (v.isDouble() && std::trunc(v.asDouble()) == v.asDouble() && v.asDouble() >= -0x1p63 &&
               v.asDouble() < 0x1p63) {
        // A DOM built in memory may hold 2.0 where the text "2" would read as an integer.
        n = static_cast<std::int64_t>(v.asDouble());
    } else {
        expectKind(v, json::Kind::Int, typeName::integer, path);
        throw json::DecodingError::typeMismatch(typeName::integer, path);
    }
    if (n < min || n > max) {
        throw json::DecodingError::dataCorrupted(
            "Parsed JSON number <" + std::to_string(n) + "> does not fit.", path);
    }
    return n;
}

bool fromJson(const json::Value& v, json::CodingPath& path, std::type_identity<bool>) {
    expectKind(v, json::Kind::Bool, typeName::boolean, path);
    return v.asBool();
}

double fromJson(const json::Value& v, json::CodingPath& path, std::type_identity<double>) {
    if (v.isInt()) return static_cast<double>(v.asInt());
    expectKind(v, json::Kind::Double, typeName::number, path);
    return v.asDouble();
}

std::string fromJson(const json::Value& v, json::CodingPath& path, std::type_identity<std::string>) {
    expectKind(v, json::Kind::String, typeName::string, path);
    return v.asString();
}

std::string fromJson(json::Value&& v, json::CodingPath& path, std::type_identity<std::string>) {
    expectKind(v, json::Kind::String, typeName::string, path);
    return std::move(v.asString());
}

ObjectDecoder::ObjectDecoder(const json::Value& value, json::CodingPath& path) : path_(path) {
    expectKind(value, json::Kind::Object, typeName::object, path);
    object_ = &value.asObject();
}

}  // namespace mcp
