// How the protocol layer exchanges whole messages with one peer.
#pragma once

#include "logging/logger.hpp"
#include "runtime/runtime.hpp"

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

namespace mcp {

// One message per element, without framing bytes.
using MessageStream = rt::StreamHandle<std::string>;

// What a transport that reads on its consumer's thread hands the messages to.
class MessageReader {
public:
    virtual ~MessageReader() = default;
    // One message: a view into the transport's buffer, valid during the call.
    virtual void message(std::string_view text) = 0;
    // Everything read so far is handled; the transport waits for more next.
    virtual void drained() = 0;
};

// Implementations are safe to call from any thread; they serialise their own
// operations, and none holds a lock while it waits.
class Transport {
public:
    virtual ~Transport() = default;

    // Fixed for the transport's life: readable without waiting.
    virtual const logging::Logger& logger() const = 0;

    // May fail (with the transport's error).
    virtual void connect(std::stop_token stop = {}) = 0;
    // Never fails; ends the message stream.
    virtual void disconnect() = 0;
    // One encoded message without framing; the transport adds its own.
    // Throws MCPError on failure, rt::Cancelled when `stop` is requested.
    virtual void send(std::string message, std::stop_token stop = {}) = 0;
    // One message made of `head`, `*shared` and `tail`: a transport that can
    // write the shared text where it is saves copying it; the default joins.
    virtual void sendShared(std::string head, std::shared_ptr<const std::string> shared, std::string tail,
                            std::stop_token stop = {}) {
        head.reserve(head.size() + shared->size() + tail.size());
        send(std::move(head.append(*shared).append(tail)), std::move(stop));
    }
    // The stream of received messages; one consumer.
    virtual MessageStream receive() = 0;
    // Reads on the calling thread, handing each message to `reader` straight
    // from the transport's buffer, until the input ends, the transport
    // disconnects or `stop` is requested. False, with nothing read, from a
    // transport that delivers only through receive() (the default), or once
    // receive() has taken the input.
    virtual bool readInto(MessageReader&, std::stop_token) { return false; }
    // Sends what the transport held back to write together; its consumer
    // calls it whenever the received stream runs empty. Most hold nothing.
    virtual void flush(std::stop_token = {}) {}
};

// The logger of a transport given none: labelled, and discarding every record.
logging::Logger discardingLogger(std::string label);

// Sleeps on the clock that runs through system sleep; throws rt::Cancelled
// when stop is requested.
// The tolerance is accepted for the callers' sake and not used.
void sleepOnContinuousClock(std::chrono::nanoseconds duration,
                            std::optional<std::chrono::nanoseconds> tolerance = std::nullopt,
                            std::stop_token stop = {});

}  // namespace mcp
