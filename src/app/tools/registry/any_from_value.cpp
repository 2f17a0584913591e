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

std::size_t argumentBytes(const mcp::Object& object) {
    // The measure of the registry's argumentBytes, node for node.
    constexpr std::size_t kNode = 2 * sizeof(AnyValue);
    struct Measure {
        std::size_t operator()(const mcp::Value& value) const {
            std::size_t bytes = kNode;
            if (const auto* text = value.stringValue()) bytes += text->size();
            if (const auto* data = value.dataValue()) bytes += data->bytes.size();
            if (const auto* list = value.arrayValue())
                for (const auto& item : *list) bytes += (*this)(item);
            if (const auto* map = value.objectValue())
                for (const auto& [key, item] : *map) bytes += key.size() + sizeof(std::string) + (*this)(item);
            return bytes;
        }
    };
    std::size_t bytes = 0;
    for (const auto& [key, value] : object) bytes += key.size() + sizeof(std::string) + Measure{}(value);
    return bytes;
}

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
