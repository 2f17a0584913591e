#include "app/tools/registry/any_value.hpp"

namespace app::tools {

namespace {

const AnyValue* lookup(const Arguments& arguments, std::string_view key) {
    auto it = arguments.find(key);
    return it == arguments.end() ? nullptr : &it->second;
}

template <class T, class Get>
std::optional<T> read(const Arguments& arguments, std::string_view key, Get get) {
    const AnyValue* v = lookup(arguments, key);
    if (!v) return std::nullopt;
    const T* p = (v->*get)();
    if (!p) return std::nullopt;
    return *p;
}

}  // namespace

std::optional<std::string> textArgument(const Arguments& arguments, std::string_view key) {
    return read<std::string>(arguments, key, &AnyValue::ifText);
}
std::optional<std::int64_t> intArgument(const Arguments& arguments, std::string_view key) {
    return read<std::int64_t>(arguments, key, &AnyValue::ifInt);
}
std::optional<double> doubleArgument(const Arguments& arguments, std::string_view key) {
    return read<double>(arguments, key, &AnyValue::ifDouble);
}
std::optional<bool> boolArgument(const Arguments& arguments, std::string_view key) {
    return read<bool>(arguments, key, &AnyValue::ifBool);
}
const AnyList* listArgument(const Arguments& arguments, std::string_view key) {
    const AnyValue* v = lookup(arguments, key);
    return v ? v->ifList() : nullptr;
}
const AnyMap* mapArgument(const Arguments& arguments, std::string_view key) {
    const AnyValue* v = lookup(arguments, key);
    return v ? v->ifMap() : nullptr;
}

}  // namespace app::tools
