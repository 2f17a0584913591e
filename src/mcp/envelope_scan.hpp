// The envelope of a plain request or notification, read straight from its
// text: the server's fast way in, with no JSON tree of the whole message.
#pragma once

#include "json/json.hpp"
#include "mcp/envelope.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace mcp {

// What reading one received message may build. Its tree is copied up to
// twice more on its way to a handler (protocol values, then a tool's
// arguments): with the line itself this keeps a message under 256 MB.
inline constexpr json::ReadBudget kMessageReadBudget{500'000, 16u * 1024 * 1024};

// A request or notification of the plain form, found in its text but not
// yet read: one object holding "jsonrpc": "2.0", "method" (a string),
// perhaps "id" (an integer or a string) and perhaps "params", each once, in
// any order, with keys, method and id free of escapes and of bytes past
// ASCII. `params` is the text of "params", found by its brackets and
// strings only: readPlainParams reads it, or a handler that takes the text.
struct PlainEnvelope {
    std::optional<ID> id;  // absent for a notification
    std::string_view method;
    std::optional<std::string_view> params;
};
std::optional<PlainEnvelope> scanPlainMessage(std::string_view text);

// A plain message's "params" (null when absent): straight into a Value when
// the direct reading takes it, else by json::parse. Nullopt if it does not
// parse: the message must then be read the general way, which gives the
// same reading for every text a plain reading accepts. Throws
// json::TooLarge over kMessageReadBudget.
std::optional<Value> readPlainParams(std::optional<std::string_view> params);

// Both steps: the message, or nullopt where it has not the plain form or
// its "params" do not parse.
std::optional<std::variant<AnyRequest, AnyMessage>> readPlainMessage(std::string_view text);

// The tool name of a tools/call whose "params" text reads, directly and
// within kMessageReadBudget, as an object whose "name" is a string and whose
// "arguments" are an object, null or absent (a repeated key's later value
// counts): what the direct reading of that text gives, without building it.
// Nullopt for any other text, which must then be read.
std::optional<std::string> plainToolCallName(std::string_view params);

// The "id" of the object `text` begins with, found by walking its members
// from the start without reading their values: an integer or a string free
// of escapes, seen whole. `text` may be the start of a message cut short.
// Nullopt when the walk meets anything else first (the message refused as
// too large is then answered under id null).
std::optional<ID> leadingRequestId(std::string_view text);

namespace detail {

// The direct reading readPlainMessage gives "params", of one whole text
// (whitespace around the value allowed): the Value, or nullopt where it
// declines. For the checks that it reads what decoding
// json::parse(text, kMessageReadBudget) reads.
std::optional<Value> readValueDirectly(std::string_view text);

}  // namespace detail

}  // namespace mcp
