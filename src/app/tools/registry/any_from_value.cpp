#include "app/tools/registry/any_from_value.hpp"

#include <cmath>

namespace app::tools {

namespace {

AnyValue fromDouble(double d) {
    // [-2^63, 2^63): the range an int64 holds exactly at these magnitudes.
    if (std::isfinite(d) && std::trunc(d) == d && d >= -0x1p63 && d < 0x1p63) {
        return AnyValue(static_cast<std::int64_t>(d));
    }
    return AnyValue(d);
}

}  // namespace

AnyValue anyFromValue(const mcp::Value& value) {
    switch (value.kind()) {
        case mcp::Value::Kind::Null: return AnyValue();
        case mcp::Value::Kind::Bool: return AnyValue(*value.boolValue());
        case mcp::Value::Kind::Int: return AnyValue(*value.intValue());
        case mcp::Value::Kind::Double: return fromDouble(*value.doubleValue());
        case mcp::Value::Kind::String: return AnyValue(*value.stringValue());
        case mcp::Value::Kind::Data: {
            const mcp::Data& d = *value.dataValue();
            return AnyValue(AnyData{d.mimeType, d.bytes});
        }
        case mcp::Value::Kind::Array: {
            AnyList list;
            list.reserve(value.arrayValue()->size());
            for (const auto& element : *value.arrayValue()) list.push_back(anyFromValue(element));
            return AnyValue(std::move(list));
        }
        case mcp::Value::Kind::Object: return AnyValue(anyFromValue(*value.objectValue()));
    }
    return AnyValue();
}

Arguments anyFromValue(const mcp::Object& object) {
    Arguments map;
    for (const auto& [key, member] : object) map.emplace(key, anyFromValue(member));
    return map;
}

namespace {

// One measure for both kinds of value, node for node.
const std::string* textOf(const AnyValue& v) { return v.ifText(); }
const std::string* textOf(const mcp::Value& v) { return v.stringValue(); }
std::size_t dataSize(const AnyValue& v) { return v.ifData() ? v.ifData()->bytes.size() : 0; }
std::size_t dataSize(const mcp::Value& v) { return v.dataValue() ? v.dataValue()->bytes.size() : 0; }
const AnyList* listOf(const AnyValue& v) { return v.ifList(); }
const mcp::Array* listOf(const mcp::Value& v) { return v.arrayValue(); }
const AnyMap* mapOf(const AnyValue& v) { return v.ifMap(); }
const mcp::Object* mapOf(const mcp::Value& v) { return v.objectValue(); }

template <class Map>
std::size_t measureMembers(const Map& map);

template <class Value>
std::size_t measure(const Value& value) {
    // A node's own size and a share of its container's spare room, plus text.
    std::size_t bytes = 2 * sizeof(AnyValue) + dataSize(value);
    if (const auto* text = textOf(value)) bytes += text->size();
    if (const auto* list = listOf(value))
        for (const auto& item : *list) bytes += measure(item);
    if (const auto* map = mapOf(value)) bytes += measureMembers(*map);
    return bytes;
}

template <class Map>
std::size_t measureMembers(const Map& map) {
    std::size_t bytes = 0;
    for (const auto& [key, item] : map) bytes += key.size() + sizeof(std::string) + measure(item);
    return bytes;
}

}  // namespace

std::size_t argumentBytes(const Arguments& arguments) { return measureMembers(arguments); }
std::size_t argumentBytes(const mcp::Object& object) { return measureMembers(object); }

mcp::Value valueFromAny(const AnyValue& value) {
    switch (value.kind()) {
        case AnyValue::Kind::Null: return mcp::Value();
        case AnyValue::Kind::Bool: return mcp::Value(*value.ifBool());
        case AnyValue::Kind::Int: return mcp::Value(*value.ifInt());
        case AnyValue::Kind::Double: return mcp::Value(*value.ifDouble());
        case AnyValue::Kind::Text: return mcp::Value(*value.ifText());
        case AnyValue::Kind::Data: return mcp::Value::data(value.ifData()->bytes, value.ifData()->mimeType);
        case AnyValue::Kind::List: {
            mcp::Array array;
            array.reserve(value.ifList()->size());
            for (const auto& element : *value.ifList()) array.push_back(valueFromAny(element));
            return mcp::Value(std::move(array));
        }
        case AnyValue::Kind::Map: {
            mcp::Object object;
            for (const auto& [key, member] : *value.ifMap()) object.emplace(key, valueFromAny(member));
            return mcp::Value(std::move(object));
        }
    }
    return mcp::Value();
}

}  // namespace app::tools
