#include "mcp/envelope.hpp"

#include "mcp/record.hpp"
#include "runtime/runtime.hpp"

#include <charconv>
#include <memory>
#include <stdexcept>

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

BRISOLET_MCP_RECORD(ListParameters, field::optional("cursor", &ListParameters::cursor));

namespace {

// A compact successful response up to its result: the members in the order
// the writer would put them ("result" is last in either order).
// The id as the writer writes its JSON form.
void appendId(std::string& text, const ID& id, const json::WriteOptions& options) {
    if (const std::string* s = id.stringValue()) {
        json::writeString(text, *s, options.escapeSlashes);
    } else if (id.isNull()) {
        text += "null";
    } else {
        char digits[24];
        const auto end = std::to_chars(digits, digits + sizeof digits, *id.numberValue()).ptr;
        text.append(digits, end);
    }
}

}  // namespace

std::string compactResponseHead(const ID& id, const json::WriteOptions& options, std::size_t reserveMore) {
    constexpr std::string_view version = R"("jsonrpc":"2.0")";
    std::string text;
    const std::string* textId = id.stringValue();
    text.reserve((textId ? textId->size() + 2 : 20) + reserveMore + 40);
    if (options.sortedKeys) {
        text.append(R"({"id":)");
        appendId(text, id, options);
        text.append(",").append(version);
    } else {
        text.append("{").append(version).append(R"(,"id":)");
        appendId(text, id, options);
    }
    return text.append(R"(,"result":)");
}

std::string writeResponse(const ID& id, std::string_view writtenResult, const json::WriteOptions& options) {
    if (options.pretty) {
        // Indentation depends on depth: write the result again in place.
        json::Object o = detail::envelopeHead();
        o.appendUnchecked("id", encode(id));
        o.appendUnchecked("result", json::parse(writtenResult));
        return json::write(json::Value(std::move(o)), options);
    }
    std::string text = compactResponseHead(id, options, writtenResult.size() + 1);
    text.append(writtenResult).append("}");
    return text;
}

WrittenAnswer writeResponse(const ID& id, std::shared_ptr<const std::string> writtenResult,
                            const json::WriteOptions& options) {
    if (options.pretty) return writeResponse(id, std::string_view(*writtenResult), options);
    return WrittenAnswer(compactResponseHead(id, options, 0), std::move(writtenResult), "}");
}

WrittenAnswer RequestHandlerBox::handleWritten(const AnyRequest& request, const json::WriteOptions& options,
                                               std::stop_token stop) const {
    auto written = std::make_shared<rt::OneShot<std::string>>();
    if (!handleDeferred(AnyRequest(request), options, stop,
                        [written](std::string text) { written->resume(std::move(text)); }))
        throw std::logic_error("Request handler answers neither at once nor later: " + request.method);
    return written->wait(stop);
}

std::string WrittenAnswer::joined() && {
    if (!shared) return std::move(head);
    head.reserve(head.size() + shared->size() + tail.size());
    return std::move(head.append(*shared).append(tail));
}

void appendNotificationHandler(NotificationHandlerMap& handlers, std::string_view name,
                               std::shared_ptr<const NotificationHandlerBox> box) {
    auto& list = handlers[std::string(name)];
    auto extended = list ? std::make_shared<NotificationHandlerList>(*list) : std::make_shared<NotificationHandlerList>();
    extended->push_back(std::move(box));
    list = std::move(extended);
}

}  // namespace mcp
