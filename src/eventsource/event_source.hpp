// A client of one server-sent event stream: it opens the request, checks the
// answer, hands every event to its handler and reconnects after the stream
// ends or fails, sending the last event id it saw, until it is closed.
#pragma once

#include "eventsource/event.hpp"
#include "eventsource/parser.hpp"
#include "http/http_client.hpp"
#include "runtime/runtime.hpp"

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>

namespace eventsource {

struct EventSourceOptions {
    // Handlers given here see everything from the first attempt on. The error
    // handler gets nullptr when the stream ended, otherwise the failure.
    std::function<void()> onOpen;
    std::function<void(const Event&)> onMessage;
    std::function<void(std::exception_ptr)> onError;
    // Limit on one line and on the data of one event.
    std::size_t sizeLimit = kDefaultSizeLimit;
};

class EventSource {
public:
    using OpenHandler = std::function<void()>;
    using MessageHandler = std::function<void(const Event&)>;
    using ErrorHandler = std::function<void(std::exception_ptr)>;
    using Options = EventSourceOptions;

    // GET url with "Accept: text/event-stream", "Cache-Control: no-cache" and a
    // 60 s idle time-out, on a client of its own.
    explicit EventSource(std::string url, Options options = {});
    // The request as given (no header added), on a client made from configuration.
    EventSource(http::Request request, http::Configuration configuration, Options options = {});
    // The request as given, on the client given.
    EventSource(http::Request request, std::shared_ptr<http::HttpClient> client, Options options = {});

    // Closes and waits for the connection loop to end (unless called from a handler).
    ~EventSource();
    EventSource(const EventSource&) = delete;
    EventSource& operator=(const EventSource&) = delete;

    // Handlers are called one at a time on the client's own thread. Setting an
    // empty function keeps the previous handler.
    void onOpen(OpenHandler handler);
    void onMessage(MessageHandler handler);
    void onError(ErrorHandler handler);

    ReadyState readyState() const;
    // The most events delivered from what is still queued when a stream ends
    // (a last block without a closing blank line); negative counts as 0.
    std::int64_t maximumFinalizationEventCount() const;
    void setMaximumFinalizationEventCount(std::int64_t count);
    const std::string& url() const;

    // Final: stops the connection, and no handler runs once this returned.
    void close();

    struct State;

private:
    std::shared_ptr<State> state_;
    rt::Task task_;
};

}  // namespace eventsource
