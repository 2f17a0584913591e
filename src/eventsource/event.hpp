// The value types of server-sent events: one event, the client's ready state
// and the client's errors.
#pragma once

#include "json/value.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace eventsource {

// One dispatched event. `id` and `event` are those of its own block only.
struct Event {
    std::optional<std::string> id;
    std::optional<std::string> event;
    std::string data;
    std::optional<std::int64_t> retry;  // milliseconds, positive

    friend bool operator==(const Event&, const Event&) = default;
};

// {"id", "event", "data", "retry"}: the optional members only when present.
json::Value encode(const Event& event);
// "data" is required; throws json::DecodingError.
Event decodeEvent(const json::Value& value);

enum class ReadyState : int { connecting = 0, open = 1, closed = 2 };

std::optional<ReadyState> readyStateFromInt(std::int64_t value);
// "connecting", "open", "closed".
std::string_view toString(ReadyState state);
json::Value encode(ReadyState state);
ReadyState decodeReadyState(const json::Value& value);

// The event-source client's refusal of a response.
class EventSourceError : public std::runtime_error {
public:
    enum class Kind { invalidHTTPStatus, invalidContentType };

    // "Invalid HTTP response status code: <status>"
    static EventSourceError invalidHTTPStatus(int status);
    // "Missing Content-Type header in SSE response", or
    // "Invalid Content-Type for SSE: <content type>"
    static EventSourceError invalidContentType(std::optional<std::string> contentType);

    Kind kind() const { return kind_; }
    int statusCode() const { return status_; }
    const std::optional<std::string>& contentType() const { return contentType_; }

private:
    EventSourceError(Kind kind, const std::string& text, int status, std::optional<std::string> contentType)
        : std::runtime_error(text), kind_(kind), status_(status), contentType_(std::move(contentType)) {}

    Kind kind_;
    int status_;
    std::optional<std::string> contentType_;
};

// A line or the data of one event that grew past the configured limit.
class SizeLimitError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace eventsource

template <>
struct std::hash<eventsource::Event> {
    std::size_t operator()(const eventsource::Event& e) const noexcept;
};
