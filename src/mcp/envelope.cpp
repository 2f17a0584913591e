#include "mcp/envelope.hpp"

namespace mcp::detail {

void checkVersion(const ObjectDecoder& in) {
    auto version = in.required<std::string>("jsonrpc");
    if (version != jsonrpcVersion) {
        json::CodingPath at = in.path();
        at.push_back(json::PathElement::member("jsonrpc"));
        throw json::DecodingError::dataCorrupted("Invalid JSON-RPC version", std::move(at));
    }
}

}  // namespace mcp::detail

namespace mcp {

std::string writeResponse(const ID& id, std::string_view writtenResult, const json::WriteOptions& options) {
    json::Object o = detail::envelopeHead();
    o.appendUnchecked("id", encode(id));
    if (options.pretty) {
        // Indentation depends on depth: write the result again in place.
        o.appendUnchecked("result", json::parse(writtenResult));
        return json::write(json::Value(std::move(o)), options);
    }
    // "result" comes last in either key order, so its placeholder is the
    // last "null" of the text.
    o.appendUnchecked("result", json::Value());
    std::string text = json::write(json::Value(std::move(o)), options);
    const std::size_t at = text.rfind("null");
    text.replace(at, 4, writtenResult);
    return text;
}

void appendNotificationHandler(NotificationHandlerMap& handlers, std::string_view name,
                               std::shared_ptr<const NotificationHandlerBox> box) {
    auto& list = handlers[std::string(name)];
    auto extended = list ? std::make_shared<NotificationHandlerList>(*list) : std::make_shared<NotificationHandlerList>();
    extended->push_back(std::move(box));
    list = std::move(extended);
}

}  // namespace mcp
