#include "eventsource/event.hpp"

#include "json/json.hpp"

#include <functional>

namespace eventsource {

namespace {

const json::Value* member(const json::Object& object, std::string_view key) {
    const json::Value* v = object.find(key);
    return v && !v->isNull() ? v : nullptr;
}

std::optional<std::string> optionalString(const json::Object& object, std::string_view key) {
    const json::Value* v = member(object, key);
    if (!v) return std::nullopt;
    if (!v->isString()) throw json::DecodingError::typeMismatch("String", {json::PathElement::member(std::string(key))});
    return v->asString();
}

}  // namespace

json::Value encode(const Event& event) {
    json::Object object;
    if (event.id) object.set("id", *event.id);
    if (event.event) object.set("event", *event.event);
    object.set("data", event.data);
    if (event.retry) object.set("retry", static_cast<long long>(*event.retry));
    return object;
}

Event decodeEvent(const json::Value& value) {
    if (!value.isObject()) throw json::DecodingError::typeMismatch("Dictionary<String, Any>");
    const json::Object& object = value.asObject();
    Event event;
    event.id = optionalString(object, "id");
    event.event = optionalString(object, "event");
    const json::Value* data = object.find("data");
    if (!data) throw json::DecodingError::keyNotFound("data");
    const json::CodingPath dataPath{json::PathElement::member("data")};
    if (data->isNull()) throw json::DecodingError::valueNotFound("String", dataPath);
    if (!data->isString()) throw json::DecodingError::typeMismatch("String", dataPath);
    event.data = data->asString();
    if (const json::Value* retry = member(object, "retry")) {
        if (!retry->isInt()) throw json::DecodingError::typeMismatch("Int64", {json::PathElement::member("retry")});
        event.retry = retry->asInt();
    }
    return event;
}

std::optional<ReadyState> readyStateFromInt(std::int64_t value) {
    switch (value) {
        case 0: return ReadyState::connecting;
        case 1: return ReadyState::open;
        case 2: return ReadyState::closed;
        default: return std::nullopt;
    }
}

std::string_view toString(ReadyState state) {
    switch (state) {
        case ReadyState::connecting: return "connecting";
        case ReadyState::open: return "open";
        case ReadyState::closed: return "closed";
    }
    return "closed";
}

json::Value encode(ReadyState state) { return static_cast<int>(state); }

ReadyState decodeReadyState(const json::Value& value) {
    if (value.isNull()) throw json::DecodingError::valueNotFound("Int");
    if (!value.isInt()) throw json::DecodingError::typeMismatch("Int");
    if (auto state = readyStateFromInt(value.asInt())) return *state;
    throw json::DecodingError::dataCorrupted("Cannot initialize ReadyState from invalid Int value " +
                                             std::to_string(value.asInt()));
}

EventSourceError EventSourceError::invalidHTTPStatus(int status) {
    return EventSourceError(Kind::invalidHTTPStatus, "Invalid HTTP response status code: " + std::to_string(status),
                            status, std::nullopt);
}

EventSourceError EventSourceError::invalidContentType(std::optional<std::string> contentType) {
    std::string text = contentType ? "Invalid Content-Type for SSE: " + *contentType
                                   : std::string("Missing Content-Type header in SSE response");
    return EventSourceError(Kind::invalidContentType, text, 0, std::move(contentType));
}

}  // namespace eventsource

std::size_t std::hash<eventsource::Event>::operator()(const eventsource::Event& e) const noexcept {
    // Each optional contributes a presence flag, then its value when present.
    std::size_t h = 0;
    auto mix = [&h](std::size_t v) { h ^= v + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2); };
    mix(e.id.has_value());
    if (e.id) mix(std::hash<std::string>{}(*e.id));
    mix(e.event.has_value());
    if (e.event) mix(std::hash<std::string>{}(*e.event));
    mix(std::hash<std::string>{}(e.data));
    mix(e.retry.has_value());
    if (e.retry) mix(std::hash<std::int64_t>{}(*e.retry));
    return h;
}
