// The events of a byte stream, handed out one at a time: bytes are pulled only
// until an event is ready, and events one read completed are returned before
// the next read.
#pragma once

#include "eventsource/parser.hpp"
#include "http/http_client.hpp"

#include <exception>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>

namespace eventsource {

// The next piece of a byte stream, or nullopt at its end; may throw.
using ByteSource = std::function<std::optional<std::string>(std::stop_token)>;

class AsyncServerSentEventsSequence {
public:
    explicit AsyncServerSentEventsSequence(ByteSource base, std::size_t sizeLimit = kDefaultSizeLimit);

    // The next event, or nullopt at the end of the stream. Errors of the byte
    // source are rethrown unchanged; a SizeLimitError is thrown once the
    // events completed before it were handed out, and again on later calls.
    std::optional<Event> next(std::stop_token stop = {});

    const Parser& parser() const { return parser_; }

private:
    ByteSource base_;
    Parser parser_;
    std::exception_ptr failure_;
};

// The events of a response body; the response must outlive the sequence.
AsyncServerSentEventsSequence events(http::Response& response, std::size_t sizeLimit = kDefaultSizeLimit);

}  // namespace eventsource
