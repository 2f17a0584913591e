// What every fuzz target shares: a failed property ends the run with a message,
// so libFuzzer saves the input as a reproducer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string_view>

#define FUZZ_CHECK(condition)                                                              \
    do {                                                                                   \
        if (!(condition)) {                                                                \
            std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                  \
        }                                                                                  \
    } while (0)

inline std::string_view fuzzText(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

// The JSON document the bytes hold, or nothing when they hold none.
#include "json/json.hpp"
inline std::optional<json::Value> fuzzJson(const std::uint8_t* data, std::size_t size) {
    try {
        return json::parse(fuzzText(data, size));
    } catch (const json::DecodingError&) {
        return std::nullopt;
    }
}
