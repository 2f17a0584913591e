// The content union: one item of a tool's answer, a prompt message or a
// sampling message, a flat JSON object told apart by its "type" text.
//
// Each union is ContentUnion<Cases>, where Cases names its case records (each
// with `static constexpr std::string_view type` and a field list), their
// std::variant in case-index order, and the text that an unknown "type" fails
// with. The union derives from Cases, so Tool::Content::Image names a case.
#pragma once

#include "mcp/codec.hpp"
#include "mcp/hash.hpp"
#include "mcp/record.hpp"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

namespace mcp {

// The cases the unions share.
namespace content {

struct Text {
    static constexpr std::string_view type = "text";
    std::string text{};
    friend bool operator==(const Text&, const Text&) = default;
};

struct Image {
    static constexpr std::string_view type = "image";
    std::string data{};  // usually base64; never checked here
    std::string mimeType{};
    friend bool operator==(const Image&, const Image&) = default;
};

struct Audio {
    static constexpr std::string_view type = "audio";
    std::string data{};
    std::string mimeType{};
    friend bool operator==(const Audio&, const Audio&) = default;
};

}  // namespace content

BRISOLET_MCP_FIELDS(content::Text, field::required("text", &content::Text::text));
BRISOLET_MCP_FIELDS(content::Image, field::required("data", &content::Image::data),
                    field::required("mimeType", &content::Image::mimeType));
BRISOLET_MCP_FIELDS(content::Audio, field::required("data", &content::Audio::data),
                    field::required("mimeType", &content::Audio::mimeType));

template <class Cases>
class ContentUnion : public Cases {
public:
    using Variant = typename Cases::Variant;
    using Text = typename Cases::Text;

private:
    template <class C, std::size_t... I>
    static constexpr bool isCase(std::index_sequence<I...>) {
        return (std::is_same_v<C, std::variant_alternative_t<I, Variant>> || ...);
    }

public:
    template <class C>
        requires(isCase<std::remove_cvref_t<C>>(std::make_index_sequence<std::variant_size_v<Variant>>{}))
    ContentUnion(C&& c) : v_(std::forward<C>(c)) {}
    // From a text: the text case.
    ContentUnion(std::string text) : v_(Text{std::move(text)}) {}
    ContentUnion(const char* text) : v_(Text{text}) {}

    static ContentUnion text(std::string text) { return ContentUnion(Text{std::move(text)}); }
    template <class... A>
    static ContentUnion image(A&&... a) {
        return ContentUnion(typename Cases::Image{std::forward<A>(a)...});
    }
    template <class... A>
    static ContentUnion audio(A&&... a) {
        return ContentUnion(typename Cases::Audio{std::forward<A>(a)...});
    }
    template <class... A>
    static ContentUnion resource(A&&... a) {
        return ContentUnion(typename Cases::Resource{std::forward<A>(a)...});
    }

    std::size_t index() const { return v_.index(); }
    const Variant& variant() const { return v_; }
    template <class C>
    const C* get() const {
        return std::get_if<C>(&v_);
    }

    friend bool operator==(const ContentUnion& a, const ContentUnion& b) { return a.v_ == b.v_; }

private:
    Variant v_;
};

// "type", then the case's fields.
template <class U>
json::Value encodeContent(const U& c) {
    json::Object out;
    std::visit(
        [&out](const auto& item) {
            out.appendUnchecked("type", json::Value(item.type));
            writeFields(out, item);
        },
        c.variant());
    return json::Value(std::move(out));
}

template <class U, std::size_t... I>
U decodeCase(const ObjectDecoder& in, std::string_view type, std::index_sequence<I...>) {
    using Variant = typename U::Variant;
    std::optional<U> out;
    ((type == std::variant_alternative_t<I, Variant>::type
          ? (out.emplace(readFields<std::variant_alternative_t<I, Variant>>(in)), true)
          : false) ||
     ...);
    if (out) return std::move(*out);
    PathGuard guard(in.path(), "type");
    throw json::DecodingError::dataCorrupted(std::string(U::unknownType), in.path());
}

// "type" is compared exactly with each case's text, in case order.
template <class U>
U decodeContent(const json::Value& v, json::CodingPath& path) {
    ObjectDecoder in(v, path);
    const auto type = in.required<std::string>("type");
    return decodeCase<U>(in, type, std::make_index_sequence<std::variant_size_v<typename U::Variant>>{});
}

// The case index, then the case's fields.
template <class U>
void hashContent(Hasher& h, const U& c) {
    h.combine(c.index());
    std::visit([&h](const auto& item) { hashFields(h, item); }, c.variant());
}

}  // namespace mcp

// The codec of a content union.
#define BRISOLET_MCP_CONTENT_CODEC(Type) BRISOLET_MCP_DEFINE_CODEC(Type, encodeContent, decodeContent, hashContent)
