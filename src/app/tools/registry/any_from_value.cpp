#include "app/tools/registry/any_from_value.hpp"

#include "json/fast_reader.hpp"

#include <array>
#include <cmath>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace app::tools {

namespace {

AnyValue fromDouble(double d) {
    // [-2^63, 2^63): the range an int64 holds exactly at these magnitudes.
    if (std::isfinite(d) && std::trunc(d) == d && d >= -0x1p63 && d < 0x1p63) {
        return AnyValue(static_cast<std::int64_t>(d));
    }
    return AnyValue(d);
}

template <class Value>
std::size_t measure(const Value& value);

// Builds plain values straight from the JSON reader's events, numbers
// classified as the protocol values' reading and anyFromValue would, and
// measures them as argumentBytes would as it goes: the measure costs no walk.
class AnySink {
public:
    explicit AnySink(AnyValue& root) : root_(root) {}

    bool null() { return put(AnyValue()); }
    bool boolean(bool b) { return put(AnyValue(b)); }
    bool number_integer(std::int64_t i) { return put(AnyValue(i)); }
    bool number_unsigned(std::uint64_t u) { return put(json::detail::unsignedNumber<AnyValue>(u)); }
    bool number_exact(double d, bool) { return put(fromDouble(d)); }
    bool string(std::string& s) {
        if (depth_ > 0) bytes += s.size();
        return put(AnyValue(std::move(s)));
    }
    bool start_object(std::size_t) { return enter(AnyValue(AnyMap())); }
    bool key(std::string& k) {
        bytes += k.size() + sizeof(std::string);
        const auto [member, added] = stack_[depth_ - 1]->ifMap()->try_emplace(std::move(k));
        // A repeated key's later value replaces the earlier one, and its measure.
        if (!added) {
            bytes -= member->first.size() + sizeof(std::string) + measure(member->second);
            member->second = AnyValue();
        }
        member_ = &member->second;
        return true;
    }
    bool end_object() { return --depth_, true; }
    bool start_array(std::size_t) { return enter(AnyValue(AnyList())); }
    bool end_array() { return --depth_, true; }

private:
    AnyValue& nextSlot() {
        if (depth_ == 0) return root_;
        if (AnyList* list = stack_[depth_ - 1]->ifList()) return list->emplace_back();
        return *member_;
    }
    bool put(AnyValue&& v) {
        if (depth_ > 0) bytes += kNodeBytes;
        nextSlot() = std::move(v);
        return true;
    }
    bool enter(AnyValue&& container) {
        if (depth_ >= stack_.size()) return false;
        if (depth_ > 0) bytes += kNodeBytes;
        AnyValue& slot = nextSlot();
        slot = std::move(container);
        stack_[depth_++] = &slot;
        return true;
    }

public:
    // What argumentBytes gives for the members of the root.
    std::size_t bytes = 0;

private:
    static constexpr std::size_t kNodeBytes = 2 * sizeof(AnyValue);

    AnyValue& root_;
    // The open containers: no allocation of its own for a reading.
    std::array<AnyValue*, json::kMaxDepth> stack_;
    std::size_t depth_ = 0;
    AnyValue* member_ = nullptr;
};

// Of a tools/call's params, builds the member "arguments" only (the later
// one when repeated) and reads past the rest.
class ArgumentsSink {
public:
    bool null() { return scalar([&](AnySink& to) { return to.null(); }); }
    bool boolean(bool b) { return scalar([&](AnySink& to) { return to.boolean(b); }); }
    bool number_integer(std::int64_t i) { return scalar([&](AnySink& to) { return to.number_integer(i); }); }
    bool number_unsigned(std::uint64_t u) { return scalar([&](AnySink& to) { return to.number_unsigned(u); }); }
    bool number_exact(double d, bool literal) {
        return scalar([&](AnySink& to) { return to.number_exact(d, literal); });
    }
    bool string(std::string& text) { return scalar([&](AnySink& to) { return to.string(text); }); }
    bool start_object(std::size_t n) {
        if (depth_ == 0) rootIsObject_ = true;
        return open([&](AnySink& to) { return to.start_object(n); });
    }
    bool key(std::string& k) {
        if (depth_ == 1) {
            building_ = k == "arguments";
            if (building_) arguments_.emplace(arguments);
            return true;
        }
        return !building_ || arguments_->key(k);
    }
    bool end_object() { return close([](AnySink& to) { return to.end_object(); }); }
    bool start_array(std::size_t n) {
        return open([&](AnySink& to) { return to.start_array(n); });
    }
    bool end_array() { return close([](AnySink& to) { return to.end_array(); }); }

    bool rootIsObject() const { return rootIsObject_; }
    std::size_t argumentBytes() const { return arguments_ ? arguments_->bytes : 0; }
    AnyValue arguments;  // null when absent

private:
    template <class Event>
    bool scalar(Event&& event) {
        return depth_ == 0 || !building_ || event(*arguments_);
    }
    template <class Event>
    bool open(Event&& event) {
        if (depth_ >= json::kMaxDepth) return false;
        const bool taken = depth_ == 0 || !building_ || event(*arguments_);
        ++depth_;
        return taken;
    }
    template <class Event>
    bool close(Event&& event) {
        --depth_;
        return depth_ == 0 || !building_ || event(*arguments_);
    }

    std::size_t depth_ = 0;
    bool rootIsObject_ = false;
    bool building_ = false;
    std::optional<AnySink> arguments_;
};

}  // namespace

std::optional<Arguments> argumentsFromParamsText(std::string_view params, std::size_t* bytes) {
    ArgumentsSink sink;
    if (!json::detail::FastReader<ArgumentsSink>(params, sink).read() || !sink.rootIsObject()) return std::nullopt;
    if (bytes) *bytes = sink.argumentBytes();
    if (sink.arguments.isNull()) return Arguments();
    if (AnyMap* given = sink.arguments.ifMap()) return std::move(*given);
    return std::nullopt;
}

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
