// The incremental server-sent-event parser: fed the bytes of an event stream
// in any pieces, it queues the events they complete. Malformed input is
// skipped or repaired; only a line or event beyond the size limit fails.
// One parser belongs to one reader: it is not safe to share between threads.
#pragma once

#include "eventsource/event.hpp"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

namespace eventsource {

// Default limit on one line and on the data of one event.
inline constexpr std::size_t kDefaultSizeLimit = std::size_t{64} << 20;

class Parser {
public:
    explicit Parser(std::size_t sizeLimit = kDefaultSizeLimit);

    // Feeds bytes; CR, LF and CR LF end a line, also when split across calls.
    // Throws SizeLimitError when a line or the data of one event grows past the
    // limit; that line and the pending event are then dropped.
    void parse(std::uint8_t byte);
    void parse(std::string_view bytes);

    // The oldest queued event, removed from the queue.
    std::optional<Event> nextEvent();
    bool hasEvent() const { return !eventQueue_.empty(); }

    // The last accepted id of the whole stream (survives dispatches).
    const std::string& getLastEventId() const { return lastEventId_; }
    // Milliseconds; 3000 until the stream sends a positive "retry".
    std::int64_t getReconnectionTime() const { return reconnectionTime_; }

    // The end of the input: an event not closed by its blank line, and an
    // unterminated last line, are dropped.
    void finish();

    // Forgets a line and a block cut off by a failed stream, so that they do
    // not run into the first line of the next one. Keeps the last event id,
    // the reconnection time and the queued events.
    void discardIncomplete();

    std::size_t sizeLimit() const { return sizeLimit_; }

private:
    void endLine();
    void append(std::string_view bytes);
    std::string currentLine();
    void processLine(std::string_view line);
    void dispatchEvent();
    void resetBlock();
    [[noreturn]] void overflow(const char* what);

    std::optional<std::string> currentEventId_;
    std::optional<std::string> currentEventType_;
    std::string currentData_;
    std::optional<std::int64_t> currentRetry_;
    std::string lastEventId_;
    std::int64_t reconnectionTime_ = 3000;
    std::string lineBuffer_;
    bool sawCR_ = false;
    std::deque<Event> eventQueue_;
    bool sawData_ = false;  // a "data" line since the last blank line
    std::size_t sizeLimit_;
};

}  // namespace eventsource
