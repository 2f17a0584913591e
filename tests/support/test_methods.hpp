// Methods and notifications of the tests' own, for the protocol library's
// typed handlers: an echo request and a note, both carrying one text.
#pragma once

#include "mcp/envelope.hpp"

#include <string>
#include <string_view>

namespace testsupport {
struct Text {
    std::string text;
    friend bool operator==(const Text&, const Text&) = default;
};
inline json::Value toJson(const Text& t) { return json::Value(json::Object{{"text", t.text}}); }
inline Text fromJson(const json::Value& v, json::CodingPath& path, std::type_identity<Text>) {
    mcp::ObjectDecoder in(v, path);
    return {in.required<std::string>("text")};
}

struct Echo {
    static constexpr std::string_view name = "test/echo";
    using Parameters = Text;
    using Result = Text;
};

struct Note {
    static constexpr std::string_view name = "test/note";
    using Parameters = Text;
};

// Handled in order with everything else: once it is seen, what came before it was handled.
struct Sync {
    static constexpr std::string_view name = "test/sync";
    using Parameters = mcp::Empty;
};

}  // namespace testsupport
