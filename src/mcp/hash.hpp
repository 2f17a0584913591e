// A streaming hasher for protocol values: feed it fields in order, then finish.
// Records that want to be hashable provide
//     void hashInto(Hasher& h, const X& x);
// found by argument-dependent lookup; overloads for built-in types are here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace mcp {

class Hasher {
public:
    void combineBytes(const void* data, std::size_t size) {
        const auto* p = static_cast<const unsigned char*>(data);
        for (std::size_t i = 0; i < size; ++i) {
            state_ ^= p[i];
            state_ *= 0x100000001b3ULL;
        }
    }
    void combine(std::uint64_t word) { combineBytes(&word, sizeof word); }
    // Avalanches the state so that nearby inputs spread over the table.
    std::uint64_t finish() const {
        std::uint64_t z = state_ + 0x9e3779b97f4a7c15ULL;
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }

private:
    std::uint64_t state_ = 0xcbf29ce484222325ULL;
};

inline void hashInto(Hasher& h, bool b) { h.combineBytes(&b, 1); }
template <class T>
    requires(std::is_integral_v<T> && !std::is_same_v<T, bool>)
void hashInto(Hasher& h, T i) {
    h.combine(static_cast<std::uint64_t>(static_cast<std::int64_t>(i)));
}
// -0.0 hashes as 0.0, matching their equality.
inline void hashInto(Hasher& h, double d) {
    if (d == 0) d = 0;
    h.combineBytes(&d, sizeof d);
}
// Length first so that consecutive texts cannot run into each other.
inline void hashInto(Hasher& h, std::string_view s) {
    h.combine(s.size());
    h.combineBytes(s.data(), s.size());
}
inline void hashInto(Hasher& h, const std::string& s) { hashInto(h, std::string_view(s)); }
template <class T>
void hashInto(Hasher& h, const std::optional<T>& o) {
    if (o) {
        hashInto(h, true);
        hashInto(h, *o);
    } else {
        hashInto(h, false);
    }
}
template <class T>
void hashInto(Hasher& h, const std::vector<T>& items) {
    h.combine(items.size());
    for (const auto& item : items) hashInto(h, item);
}
template <class T, class C>
void hashInto(Hasher& h, const std::map<std::string, T, C>& entries) {
    h.combine(entries.size());
    for (const auto& [key, item] : entries) {
        hashInto(h, key);
        hashInto(h, item);
    }
}

template <class T>
concept Hashable = requires(Hasher& h, const T& t) { hashInto(h, t); };

template <class... Ts>
void hashAll(Hasher& h, const Ts&... fields) {
    (hashInto(h, fields), ...);
}

template <class T>
std::size_t hashValue(const T& value) {
    Hasher h;
    hashInto(h, value);
    return static_cast<std::size_t>(h.finish());
}

}  // namespace mcp
