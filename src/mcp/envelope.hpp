// JSON-RPC 2.0 envelopes over typed methods and notifications, their untyped
// forms, and the type-erased handler boxes the server keeps in its tables.
//
// A method is a tag type:
//     struct Ping {
//         static constexpr std::string_view name = "ping";
//         using Parameters = Empty;
//         using Result = Empty;
//     };
// a notification likewise with `name` and `Parameters` only. Parameter types
// that a message may leave out opt in with
//     template <> inline constexpr bool enableNotRequired<ListParameters> = true;
// (default-constructed when "params" is missing or null).
//
// Typed and untyped envelopes convert into each other only by encoding to JSON
// and decoding again, never field by field.
#pragma once

#include "mcp/codec.hpp"
#include "mcp/error.hpp"
#include "mcp/hash.hpp"
#include "mcp/id.hpp"
#include "mcp/value.hpp"

#include <concepts>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

namespace mcp {

// Parameters or result that carry nothing.
struct Empty {
    friend bool operator==(Empty, Empty) { return true; }
};
template <>
inline constexpr bool enableFieldless<Empty> = true;

// Parameter types that a message may leave out.
template <class T>
inline constexpr bool enableNotRequired = false;
template <>
inline constexpr bool enableNotRequired<Empty> = true;
template <>
inline constexpr bool enableNotRequired<Value> = true;

// Only the flag: clang 14 finds mcp::Value not default-initializable (its
// variant holds containers of the still-incomplete Value), which made its
// builds refuse every request without "params".
template <class T>
concept NotRequired = enableNotRequired<T>;

// The parameters of every list method ("tools/list", "prompts/list",
// "resources/list", "resources/templates/list"): where the page starts.
// "cursor" is left out when absent.
struct ListParameters {
    std::optional<std::string> cursor{};
    friend bool operator==(const ListParameters&, const ListParameters&) = default;
};
template <>
inline constexpr bool enableNotRequired<ListParameters> = true;

BRISOLET_MCP_CODABLE(ListParameters);

template <class T>
concept Payload = Codable<T> && std::equality_comparable<T> && std::copy_constructible<T>;

template <class M>
concept Method = requires {
    typename M::Parameters;
    typename M::Result;
    { M::name } -> std::convertible_to<std::string_view>;
} && Payload<typename M::Parameters> && Payload<typename M::Result>;

template <class N>
concept Notification = requires {
    typename N::Parameters;
    { N::name } -> std::convertible_to<std::string_view>;
} && Payload<typename N::Parameters>;

// The untyped method: the method text comes from the message itself.
struct AnyMethod {
    static constexpr std::string_view name = "";
    using Parameters = Value;
    using Result = Value;
};

struct AnyNotification {
    static constexpr std::string_view name = "";
    using Parameters = Value;
    friend bool operator==(AnyNotification, AnyNotification) { return true; }
};
template <>
inline constexpr bool enableFieldless<AnyNotification> = true;

// ---- Envelopes ----------------------------------------------------------

template <Method M>
struct Request {
    using Parameters = typename M::Parameters;
    ID id;
    std::string method;
    Parameters params;

    friend bool operator==(const Request&, const Request&) = default;
};

template <Method M>
struct Response {
    using Result = typename M::Result;
    ID id;
    std::variant<Result, MCPError> result;

    Response(ID id, Result success) : id(std::move(id)), result(std::in_place_index<0>, std::move(success)) {}
    Response(ID id, MCPError failure) : id(std::move(id)), result(std::in_place_index<1>, std::move(failure)) {}

    bool isSuccess() const { return result.index() == 0; }
    const Result* success() const { return std::get_if<0>(&result); }
    const MCPError* error() const { return std::get_if<1>(&result); }

    friend bool operator==(const Response&, const Response&) = default;
};

// A notification: no id.
template <Notification N>
struct Message {
    using Parameters = typename N::Parameters;
    std::string method;
    Parameters params;

    friend bool operator==(const Message&, const Message&) = default;
};

using AnyRequest = Request<AnyMethod>;
using AnyResponse = Response<AnyMethod>;
using AnyMessage = Message<AnyNotification>;

template <Method M>
    requires Hashable<typename M::Parameters>
void hashInto(Hasher& h, const Request<M>& r) {
    hashAll(h, r.id, r.method, r.params);
}
template <Method M>
    requires Hashable<typename M::Result>
void hashInto(Hasher& h, const Response<M>& r) {
    hashInto(h, r.id);
    if (const auto* s = r.success()) {
        h.combine(0);
        hashInto(h, *s);
    } else {
        h.combine(1);
        hashInto(h, *r.error());
    }
}
template <Notification N>
    requires Hashable<typename N::Parameters>
void hashInto(Hasher& h, const Message<N>& m) {
    hashAll(h, m.method, m.params);
}

// ---- Builders -----------------------------------------------------------

template <Method M>
Request<M> request(ID id, typename M::Parameters params) {
    return Request<M>{std::move(id), std::string(M::name), std::move(params)};
}
template <Method M>
    requires std::same_as<typename M::Parameters, Empty>
Request<M> request(ID id) {
    return Request<M>{std::move(id), std::string(M::name), Empty{}};
}
template <Method M>
Response<M> response(ID id, typename M::Result result) {
    return Response<M>(std::move(id), std::move(result));
}
template <Method M>
    requires std::same_as<typename M::Result, Empty>
Response<M> response(ID id) {
    return Response<M>(std::move(id), Empty{});
}
template <Method M>
Response<M> response(ID id, MCPError error) {
    return Response<M>(std::move(id), std::move(error));
}
template <Notification N>
Message<N> message(typename N::Parameters params) {
    return Message<N>{std::string(N::name), std::move(params)};
}
template <Notification N>
    requires std::same_as<typename N::Parameters, Empty>
Message<N> message() {
    return Message<N>{std::string(N::name), Empty{}};
}

// ---- JSON form ----------------------------------------------------------

namespace detail {
inline constexpr std::string_view jsonrpcVersion = "2.0";

// Reads and checks "jsonrpc" ("Invalid JSON-RPC version").
void checkVersion(const ObjectDecoder& in);

// Decodes one member, moving out of it when `move` is set.
template <class T>
T decodeMember(json::Value& member, bool move, json::CodingPath& path, std::string_view key) {
    PathGuard guard(path, key);
    if (move) return decode<T>(std::move(member), path);
    return decode<T>(std::as_const(member), path);
}

// The "params" member (null when absent) of the envelope at `path`.
template <class P>
P decodeParamsMember(json::Value* params, bool move, json::CodingPath& path) {
    if constexpr (NotRequired<P>) {
        if (!params || params->isNull()) return P();
        return decodeMember<P>(*params, move, path, "params");
    } else {
        try {
            if (params) return decodeMember<P>(*params, move, path, "params");
        } catch (const json::DecodingError&) {
            // Replaced by the envelope's own description below.
        }
        throw json::DecodingError::dataCorrupted(
            (!params || params->isNull()) ? "Missing required params field" : "Invalid params field", path);
    }
}

template <class P>
P decodeParams(const ObjectDecoder& in, json::Value& envelope, bool move) {
    return decodeParamsMember<P>(envelope.asObject().find("params"), move, in.path());
}

// `move` is only set when the caller handed over the envelope as an rvalue.
template <Method M>
Request<M> decodeRequest(json::Value& v, bool move, json::CodingPath& path) {
    ObjectDecoder in(v, path);
    checkVersion(in);
    ID id = in.required<ID>("id");
    std::string method = in.required<std::string>("method");
    auto params = decodeParams<typename M::Parameters>(in, v, move);
    return Request<M>{std::move(id), std::move(method), std::move(params)};
}

template <Notification N>
Message<N> decodeMessage(json::Value& v, bool move, json::CodingPath& path) {
    ObjectDecoder in(v, path);
    checkVersion(in);
    std::string method = in.required<std::string>("method");
    auto params = decodeParams<typename N::Parameters>(in, v, move);
    return Message<N>{std::move(method), std::move(params)};
}

template <Method M>
Response<M> decodeResponse(json::Value& v, bool move, json::CodingPath& path) {
    ObjectDecoder in(v, path);
    checkVersion(in);
    ID id = in.required<ID>("id");
    if (json::Value* result = v.asObject().find("result")) {
        // Decoded before `id` is handed over: argument order is unspecified, and a
        // failed result must leave the id intact for the error reading below.
        std::optional<typename M::Result> success;
        try {
            success.emplace(decodeMember<typename M::Result>(*result, move, path, "result"));
        } catch (const json::DecodingError&) {
            // Not a success; try the error below.
        }
        if (success) return Response<M>(std::move(id), std::move(*success));
    }
    if (json::Value* error = v.asObject().find("error")) {
        try {
            return Response<M>(std::move(id), decodeMember<MCPError>(*error, false, path, "error"));
        } catch (const json::DecodingError&) {
            // Neither reading fits.
        }
    }
    throw json::DecodingError::dataCorrupted("Invalid response", path);
}

inline json::Object envelopeHead() {
    json::Object o;
    o.reserve(4);
    o.appendUnchecked("jsonrpc", json::Value(std::string(jsonrpcVersion)));
    return o;
}
}  // namespace detail

// "jsonrpc", "id", "method", "params" (always written).
template <Method M>
json::Value toJson(const Request<M>& r) {
    json::Object o = detail::envelopeHead();
    o.appendUnchecked("id", encode(r.id));
    o.appendUnchecked("method", json::Value(r.method));
    o.appendUnchecked("params", encode(r.params));
    return json::Value(std::move(o));
}

// "jsonrpc", "id", then "error" on failure or "result" on success.
template <Method M>
json::Value toJson(const Response<M>& r) {
    json::Object o = detail::envelopeHead();
    o.appendUnchecked("id", encode(r.id));
    if (const auto* s = r.success()) {
        o.appendUnchecked("result", encode(*s));
    } else {
        o.appendUnchecked("error", encode(*r.error()));
    }
    return json::Value(std::move(o));
}

// "jsonrpc", "method", "params" (left out when the parameters are Empty).
template <Notification N>
json::Value toJson(const Message<N>& m) {
    json::Object o = detail::envelopeHead();
    o.appendUnchecked("method", json::Value(m.method));
    if constexpr (!std::is_same_v<typename N::Parameters, Empty>) {
        o.appendUnchecked("params", encode(m.params));
    }
    return json::Value(std::move(o));
}

template <Method M>
Request<M> fromJson(const json::Value& v, json::CodingPath& path, std::type_identity<Request<M>>) {
    return detail::decodeRequest<M>(const_cast<json::Value&>(v), false, path);
}
template <Method M>
Request<M> fromJson(json::Value&& v, json::CodingPath& path, std::type_identity<Request<M>>) {
    return detail::decodeRequest<M>(v, true, path);
}
template <Method M>
Response<M> fromJson(const json::Value& v, json::CodingPath& path, std::type_identity<Response<M>>) {
    return detail::decodeResponse<M>(const_cast<json::Value&>(v), false, path);
}
template <Method M>
Response<M> fromJson(json::Value&& v, json::CodingPath& path, std::type_identity<Response<M>>) {
    return detail::decodeResponse<M>(v, true, path);
}
template <Notification N>
Message<N> fromJson(const json::Value& v, json::CodingPath& path, std::type_identity<Message<N>>) {
    return detail::decodeMessage<N>(const_cast<json::Value&>(v), false, path);
}
template <Notification N>
Message<N> fromJson(json::Value&& v, json::CodingPath& path, std::type_identity<Message<N>>) {
    return detail::decodeMessage<N>(v, true, path);
}

// Through JSON: encode the typed request, decode it as the untyped one.
template <Method M>
AnyRequest eraseToAnyRequest(const Request<M>& r) {
    return decode<AnyRequest>(encode(r));
}

// ---- Handler boxes ------------------------------------------------------

// The typed form of an untyped request; parameters that do not decode are the
// caller's fault: invalidParams with the decoder's message.
template <Method M>
Request<M> typedRequest(const AnyRequest& request) {
    try {
        // Only the parameters need reading again: the rest is typed already.
        json::Value params = encode(request.params);
        json::CodingPath path;
        return Request<M>{request.id, request.method,
                          detail::decodeParamsMember<typename M::Parameters>(&params, true, path)};
    } catch (const json::DecodingError& e) {
        throw MCPError::invalidParams(std::string(e.what()));
    }
}

// A written answer: its text, or a text with a part the handler keeps in its
// middle (`head`, `*shared`, `tail`), so that a large answer that rarely
// changes can leave without being copied.
struct WrittenAnswer {
    WrittenAnswer(std::string text) : head(std::move(text)) {}
    WrittenAnswer(std::string head, std::shared_ptr<const std::string> shared, std::string tail)
        : head(std::move(head)), shared(std::move(shared)), tail(std::move(tail)) {}
    // The whole text.
    std::string joined() &&;

    std::string head;
    std::shared_ptr<const std::string> shared;  // null: `head` is the whole text
    std::string tail;
};

class Transport;

// Where an answer made later goes: back through the transport its request
// came by (null: there was no connection). A failed send is answered like a
// failed handler. From any thread.
struct AnswerRoute {
    std::shared_ptr<Transport> transport;
    std::stop_token stop;  // the reading loop's
    void send(const ID& id, std::string written) const;
};

// A handler of one method; `stop` is requested when the caller gives up. A
// box overrides handleWritten, handleDeferred or both.
class RequestHandlerBox {
public:
    virtual ~RequestHandlerBox() = default;

    // The answer as the JSON text a server sends, written with `options`.
    // Typed handlers write their answer straight from the typed result: the
    // untyped value in between costs time, and would read a result text that
    // looks like a data URL as data and write it back changed. By default,
    // the answer handleDeferred gives, waited for: a box that answers later
    // answers a caller that must wait (a batch item) the same way.
    virtual WrittenAnswer handleWritten(const AnyRequest& request, const json::WriteOptions& options,
                                        std::stop_token stop) const;

    // Called with the written answer, once, from any thread.
    using Answer = std::function<void(std::string written)>;
    // Takes the request and answers it later through `answer`, so that the
    // caller need not wait for the work: true when it did, false (the
    // default) when the box only answers through handleWritten, and left
    // the request as it was. What it throws before taking the request is
    // answered like a failed handler; what it took of the request (its
    // parameters) need not be left behind.
    virtual bool handleDeferred(AnyRequest&&, const json::WriteOptions&, std::stop_token, Answer) const {
        return false;
    }

    // A box may take a plain request's "params" as text (empty when absent)
    // instead, on the reading thread, to read them where it runs the work.
    // handleText answers like handleDeferred, through `route`, or returns
    // false, having done nothing, for params it wants read: the request then
    // comes to handleDeferred.
    virtual bool takesParamsText() const { return false; }
    virtual bool handleText(const ID&, std::string_view, const json::WriteOptions&, const AnswerRoute&) const {
        return false;
    }
};

// A compact successful response up to its result, `reserveMore` bytes
// reserved beyond: the members in the order the writer would put them
// ("result" is last in either order). The caller appends the result and "}".
std::string compactResponseHead(const ID& id, const json::WriteOptions& options, std::size_t reserveMore);

// The text of a successful response whose result was written beforehand with
// the same options: lets a handler keep an answer that rarely changes.
std::string writeResponse(const ID& id, std::string_view writtenResult, const json::WriteOptions& options);
// The same around a result the caller keeps: shared, not copied, in compact text.
WrittenAnswer writeResponse(const ID& id, std::shared_ptr<const std::string> writtenResult,
                            const json::WriteOptions& options);

template <Method M>
class TypedRequestHandler final : public RequestHandlerBox {
public:
    using Function = std::function<Response<M>(const Request<M>&, std::stop_token)>;

    // Takes f(request, stop) or f(request).
    template <class F>
        requires std::invocable<const F&, const Request<M>&, std::stop_token> ||
                 std::invocable<const F&, const Request<M>&>
    explicit TypedRequestHandler(F f) : handle_(wrap(std::move(f))) {}

    // Handler failures reach the caller as thrown; parameters that do not
    // decode as invalidParams.
    WrittenAnswer handleWritten(const AnyRequest& request, const json::WriteOptions& options,
                                std::stop_token stop) const override {
        return json::write(encode(handle_(typedRequest<M>(request), std::move(stop))), options);
    }

private:
    template <class F>
    static Function wrap(F f) {
        if constexpr (std::invocable<const F&, const Request<M>&, std::stop_token>) {
            return Function(std::move(f));
        } else {
            return [f = std::move(f)](const Request<M>& r, std::stop_token) { return f(r); };
        }
    }

    const Function handle_;
};

class NotificationHandlerBox {
public:
    virtual ~NotificationHandlerBox() = default;
    // The base does nothing.
    virtual void handle(const AnyMessage&, std::stop_token) const {}
};

// Handlers per notification name. A list is replaced, never changed in place,
// so dispatch can run a list it took under a lock after letting the lock go.
using NotificationHandlerList = std::vector<std::shared_ptr<const NotificationHandlerBox>>;
using NotificationHandlerMap = std::unordered_map<std::string, std::shared_ptr<const NotificationHandlerList>>;

// Adds `box` after the handlers already registered for `name`. The caller
// holds the lock that guards `handlers`.
void appendNotificationHandler(NotificationHandlerMap& handlers, std::string_view name,
                               std::shared_ptr<const NotificationHandlerBox> box);

template <Notification N>
class TypedNotificationHandler final : public NotificationHandlerBox {
public:
    using Function = std::function<void(const Message<N>&, std::stop_token)>;

    // Takes f(message, stop) or f(message).
    template <class F>
        requires std::invocable<const F&, const Message<N>&, std::stop_token> ||
                 std::invocable<const F&, const Message<N>&>
    explicit TypedNotificationHandler(F f) : handle_(wrap(std::move(f))) {}

    void handle(const AnyMessage& message, std::stop_token stop) const override {
        handle_(decode<Message<N>>(encode(message)), std::move(stop));
    }

private:
    template <class F>
    static Function wrap(F f) {
        if constexpr (std::invocable<const F&, const Message<N>&, std::stop_token>) {
            return Function(std::move(f));
        } else {
            return [f = std::move(f)](const Message<N>& m, std::stop_token) { f(m); };
        }
    }

    const Function handle_;
};

}  // namespace mcp
