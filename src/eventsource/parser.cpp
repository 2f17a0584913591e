#include "eventsource/parser.hpp"

#include "json/utf8.hpp"

#include <charconv>
#include <limits>

namespace eventsource {

Parser::Parser(std::size_t sizeLimit) : sizeLimit_(sizeLimit == 0 ? 1 : sizeLimit) {}

void Parser::parse(std::uint8_t byte) {
    const char c = static_cast<char>(byte);
    parse(std::string_view(&c, 1));
}

void Parser::parse(std::string_view bytes) {
    std::size_t i = 0;
    while (i < bytes.size()) {
        const char c = bytes[i];
        if (c == '\r') {
            endLine();
            sawCR_ = true;
            ++i;
        } else if (c == '\n') {
            if (sawCR_) {
                sawCR_ = false;  // the LF of a CR LF pair
            } else {
                endLine();
            }
            ++i;
        } else {
            sawCR_ = false;
            std::size_t end = bytes.find_first_of("\r\n", i);
            if (end == std::string_view::npos) end = bytes.size();
            append(bytes.substr(i, end - i));
            i = end;
        }
    }
}

void Parser::append(std::string_view bytes) {
    if (lineBuffer_.size() + bytes.size() > sizeLimit_) overflow("line");
    lineBuffer_.append(bytes);
}

void Parser::resetBlock() {
    currentEventId_.reset();
    currentEventType_.reset();
    currentData_.clear();
    currentRetry_.reset();
}

void Parser::discardIncomplete() {
    lineBuffer_.clear();
    sawCR_ = false;
    resetBlock();
    sawData_ = false;
}

void Parser::overflow(const char* what) {
    discardIncomplete();
    throw SizeLimitError(std::string("Server-sent event ") + what + " exceeds the limit of " +
                         std::to_string(sizeLimit_) + " bytes");
}

void Parser::endLine() {
    const std::string line = currentLine();
    processLine(line);
}

std::string Parser::currentLine() {
    std::string_view bytes = lineBuffer_;
    if (bytes.starts_with("\xEF\xBB\xBF")) bytes.remove_prefix(3);
    std::string line = json::repairUtf8(bytes);
    lineBuffer_.clear();  // keeps its capacity
    return line;
}

std::optional<Event> Parser::nextEvent() {
    if (eventQueue_.empty()) return std::nullopt;
    Event event = std::move(eventQueue_.front());
    eventQueue_.pop_front();
    return event;
}

namespace {

// An optional sign, then ASCII digits only, within a signed 64-bit integer.
std::optional<std::int64_t> parseRetry(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    // An unsigned parse takes digits only: no second sign, no space.
    std::uint64_t magnitude = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), magnitude);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    if (negative) {
        if (magnitude > kMax + 1) return std::nullopt;
        return magnitude == kMax + 1 ? std::numeric_limits<std::int64_t>::min() : -static_cast<std::int64_t>(magnitude);
    }
    if (magnitude > kMax) return std::nullopt;
    return static_cast<std::int64_t>(magnitude);
}

}  // namespace

void Parser::processLine(std::string_view line) {
    if (line.empty()) {
        dispatchEvent();
        sawData_ = false;
        return;
    }
    if (line.front() == ':') return;  // a comment
    std::string_view name = line;
    std::string_view value;
    if (const auto colon = line.find(':'); colon != std::string_view::npos) {
        name = line.substr(0, colon);
        value = line.substr(colon + 1);
        if (value.starts_with(' ')) value.remove_prefix(1);
    }
    if (name == "event") {
        currentEventType_ = std::string(value);
    } else if (name == "data") {
        const std::size_t separator = currentData_.empty() ? 0 : 1;
        if (currentData_.size() + separator + value.size() > sizeLimit_) overflow("data");
        if (separator) currentData_.push_back('\n');
        currentData_.append(value);
        sawData_ = true;
    } else if (name == "id") {
        if (value.find('\0') == std::string_view::npos) {
            currentEventId_ = std::string(value);
            lastEventId_ = std::string(value);
        }
    } else if (name == "retry") {
        if (const auto retry = parseRetry(value); retry && *retry > 0) {
            reconnectionTime_ = *retry;
            currentRetry_ = *retry;
        }
    }
}

void Parser::dispatchEvent() {
    if (!currentData_.empty() || currentEventId_ || currentEventType_ || sawData_) {
        eventQueue_.push_back(Event{std::move(currentEventId_), std::move(currentEventType_), std::move(currentData_),
                                    currentRetry_});
    }
    resetBlock();
}

void Parser::finish() {
    // A stream that ends inside an event was cut short: the part read is no
    // event, and a cut message must never reach a reader.
    discardIncomplete();
}

}  // namespace eventsource
