#include "eventsource/event_sequence.hpp"

namespace eventsource {

AsyncServerSentEventsSequence::AsyncServerSentEventsSequence(ByteSource base, std::size_t sizeLimit)
    : base_(std::move(base)), parser_(sizeLimit) {}

std::optional<Event> AsyncServerSentEventsSequence::next(std::stop_token stop) {
    for (;;) {
        if (auto event = parser_.nextEvent()) return event;
        if (failure_) std::rethrow_exception(failure_);
        std::optional<std::string> chunk = base_(stop);
        try {
            if (!chunk) {
                parser_.finish();
                break;
            }
            parser_.parse(*chunk);
        } catch (const SizeLimitError&) {
            failure_ = std::current_exception();
        }
    }
    if (auto event = parser_.nextEvent()) return event;
    if (failure_) std::rethrow_exception(failure_);
    return std::nullopt;
}

AsyncServerSentEventsSequence events(http::Response& response, std::size_t sizeLimit) {
    return AsyncServerSentEventsSequence([&response](std::stop_token stop) { return response.readChunk(stop); },
                                         sizeLimit);
}

}  // namespace eventsource
