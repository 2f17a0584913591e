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
    if (options.pretty) {
        // Indentation depends on depth: write the result again in place.
        json::Object o = detail::envelopeHead();
        o.appendUnchecked("id", encode(id));
        o.appendUnchecked("result", json::parse(writtenResult));
        return json::write(json::Value(std::move(o)), options);
    }
    // Compact: the three members in the order the writer would put them.
    const std::string idText = json::write(encode(id), options);
    constexpr std::string_view version = R"("jsonrpc":"2.0")";
    std::string text;
    text.reserve(idText.size() + writtenResult.size() + 40);
    if (options.sortedKeys) {
        text.append(R"({"id":)").append(idText).append(",").append(version);
    } else {
        text.append("{").append(version).append(R"(,"id":)").append(idText);
    }
    text.append(R"(,"result":)").append(writtenResult).append("}");
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
