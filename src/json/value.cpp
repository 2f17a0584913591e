#include "json/value.hpp"

#include <algorithm>

namespace json {

Object::Object(std::initializer_list<Member> members) {
    members_.reserve(members.size());
    for (const Member& m : members) set(m.first, m.second);
}

const Value* Object::find(std::string_view key) const {
    for (const Member& m : members_)
        if (m.first == key) return &m.second;
    return nullptr;
}

Value* Object::find(std::string_view key) {
    for (Member& m : members_)
        if (m.first == key) return &m.second;
    return nullptr;
}

Value& Object::set(std::string key, Value value) {
    if (Value* existing = find(key)) {
        *existing = std::move(value);
        return *existing;
    }
    return members_.emplace_back(std::move(key), std::move(value)).second;
}

Value& Object::operator[](std::string_view key) {
    if (Value* existing = find(key)) return *existing;
    return members_.emplace_back(std::string(key), Value()).second;
}

bool Object::erase(std::string_view key) {
    auto it = std::find_if(members_.begin(), members_.end(),
                           [&](const Member& m) { return m.first == key; });
    if (it == members_.end()) return false;
    members_.erase(it);
    return true;
}

void Object::appendUnchecked(std::string key, Value value) {
    members_.emplace_back(std::move(key), std::move(value));
}

bool operator==(const Object& a, const Object& b) {
    if (a.size() != b.size()) return false;
    for (const Object::Member& m : a.members_) {
        const Value* other = b.find(m.first);
        if (other == nullptr || !(*other == m.second)) return false;
    }
    return true;
}

// The variant compares the index first, then the payloads: Int never equals
// Double, doubles compare as IEEE numbers (NaN unequal to itself, -0.0 == 0.0).
bool operator==(const Value& a, const Value& b) { return a.v_ == b.v_; }

}  // namespace json
