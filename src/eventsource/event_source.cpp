#include "eventsource/event_source.hpp"

#include "http/curl_http_client.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

namespace eventsource {

namespace {
// Longer waits than this are taken as this (about a century): the clock's
// arithmetic must not overflow, and nobody waits that long anyway.
constexpr std::int64_t kMaxReconnectionMs = std::int64_t{100} * 366 * 24 * 60 * 60 * 1000;

bool isEventStream(const std::string& contentType) {
    constexpr std::string_view kType = "text/event-stream";
    return contentType.size() >= kType.size() && http::equalsIgnoringCase(contentType.substr(0, kType.size()), kType);
}
}  // namespace

struct EventSource::State {
    http::Request request;
    std::shared_ptr<http::HttpClient> client;
    std::size_t sizeLimit;

    std::atomic<bool> closed{false};
    std::atomic<std::int64_t> maximumFinalizationEventCount{100};

    mutable std::mutex mutex;
    std::condition_variable idle;  // a handler call ended
    ReadyState readyState = ReadyState::connecting;
    OpenHandler onOpen;
    MessageHandler onMessage;
    ErrorHandler onError;
    bool delivering = false;
    std::thread::id loopThread;

    // Moves to `state` unless closed; false when closed.
    bool setState(ReadyState state) {
        std::lock_guard lock(mutex);
        if (readyState == ReadyState::closed) return false;
        readyState = state;
        return true;
    }

    // Calls the handler `pick` selects, unless closed; one call at a time.
    template <class Pick, class Call>
    void deliver(Pick pick, Call call) {
        std::unique_lock lock(mutex);
        if (closed) return;
        auto handler = pick(*this);
        if (!handler) return;
        delivering = true;
        lock.unlock();
        try {
            call(handler);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "EventSource: a handler failed: %s\n", e.what());
        } catch (...) {
            std::fprintf(stderr, "EventSource: a handler failed\n");
        }
        lock.lock();
        delivering = false;
        lock.unlock();
        idle.notify_all();
    }

    void deliverOpen() {
        deliver([](State& s) { return s.onOpen; }, [](const OpenHandler& h) { h(); });
    }
    void deliverMessage(const Event& event) {
        deliver([](State& s) { return s.onMessage; }, [&](const MessageHandler& h) { h(event); });
    }
    void deliverError(std::exception_ptr error) {
        deliver([](State& s) { return s.onError; }, [&](const ErrorHandler& h) { h(error); });
    }

    static void run(const std::shared_ptr<State>& self, std::stop_token stop);
};

void EventSource::State::run(const std::shared_ptr<State>& self, std::stop_token stop) {
    State& s = *self;
    Parser parser(s.sizeLimit);
    auto ending = [&] { return stop.stop_requested() || s.closed; };

    while (!ending()) {
        if (!s.setState(ReadyState::connecting)) break;
        // A stream that failed may have left half a line or block behind.
        parser.discardIncomplete();
        http::Request request = s.request;
        if (!parser.getLastEventId().empty()) request.headers.set("Last-Event-ID", parser.getLastEventId());

        std::exception_ptr failure;
        try {
            const auto response = s.client->start(std::move(request), stop);
            if (response->status() != 200) throw EventSourceError::invalidHTTPStatus(response->status());
            const auto contentType = response->headers().get("Content-Type");
            if (!contentType || !isEventStream(*contentType)) throw EventSourceError::invalidContentType(contentType);
            if (!s.setState(ReadyState::open)) break;
            s.deliverOpen();
            // Every event a byte completes is delivered before the next byte.
            bool interrupted = false;
            while (!interrupted) {
                const auto chunk = response->readChunk(stop);
                if (!chunk) break;
                for (const char byte : *chunk) {
                    if (ending()) {
                        interrupted = true;
                        break;
                    }
                    parser.parse(static_cast<std::uint8_t>(byte));
                    while (auto event = parser.nextEvent()) s.deliverMessage(*event);
                }
            }
            // The end of the stream: only a last block without a closing
            // blank line can still be pending.
            parser.finish();
        } catch (const rt::Cancelled&) {
            break;
        } catch (...) {
            failure = std::current_exception();
        }

        if (!failure) {
            const std::int64_t limit = std::max<std::int64_t>(0, s.maximumFinalizationEventCount);
            std::int64_t delivered = 0;
            while (auto event = parser.nextEvent()) {
                if (delivered++ < limit) s.deliverMessage(*event);
            }
            if (ending()) break;
            s.deliverError(nullptr);
            if (ending()) break;
        } else {
            if (s.closed) break;
            s.deliverError(failure);
            try {
                std::rethrow_exception(failure);
            } catch (const EventSourceError&) {
                break;  // the server's answer will not change by asking again
            } catch (...) {
            }
            if (ending()) break;
        }

        const auto wait = std::clamp<std::int64_t>(parser.getReconnectionTime(), 0, kMaxReconnectionMs);
        try {
            rt::sleepFor(std::chrono::milliseconds(wait), stop);
        } catch (const rt::Cancelled&) {
            break;
        }
    }
    std::lock_guard lock(s.mutex);
    s.closed = true;
    s.readyState = ReadyState::closed;
}

namespace {
http::Request requestFor(std::string url) {
    http::Request request;
    request.method = "GET";
    request.url = std::move(url);
    request.headers.set("Accept", "text/event-stream");
    request.headers.set("Cache-Control", "no-cache");
    request.timeout = std::chrono::seconds(60);
    return request;
}
}  // namespace

EventSource::EventSource(std::string url, Options options)
    : EventSource(requestFor(std::move(url)), std::make_shared<http::CurlHttpClient>(), std::move(options)) {}

EventSource::EventSource(http::Request request, http::Configuration configuration, Options options)
    : EventSource(std::move(request), std::make_shared<http::CurlHttpClient>(configuration), std::move(options)) {}

EventSource::EventSource(http::Request request, std::shared_ptr<http::HttpClient> client, Options options)
    : state_(std::make_shared<State>()) {
    state_->request = std::move(request);
    state_->client = std::move(client);
    state_->sizeLimit = options.sizeLimit;
    state_->onOpen = std::move(options.onOpen);
    state_->onMessage = std::move(options.onMessage);
    state_->onError = std::move(options.onError);
    std::unique_lock lock(state_->mutex);
    // The loop holds the state, never this object: it may outlive it briefly.
    task_ = rt::Task([state = state_](std::stop_token stop) { State::run(state, stop); });
    state_->loopThread = task_.id();
}

EventSource::~EventSource() {
    close();
    task_.join();
}

void EventSource::onOpen(OpenHandler handler) {
    if (!handler) return;
    std::lock_guard lock(state_->mutex);
    state_->onOpen = std::move(handler);
}

void EventSource::onMessage(MessageHandler handler) {
    if (!handler) return;
    std::lock_guard lock(state_->mutex);
    state_->onMessage = std::move(handler);
}

void EventSource::onError(ErrorHandler handler) {
    if (!handler) return;
    std::lock_guard lock(state_->mutex);
    state_->onError = std::move(handler);
}

ReadyState EventSource::readyState() const {
    std::lock_guard lock(state_->mutex);
    return state_->readyState;
}

std::int64_t EventSource::maximumFinalizationEventCount() const { return state_->maximumFinalizationEventCount; }

void EventSource::setMaximumFinalizationEventCount(std::int64_t count) {
    state_->maximumFinalizationEventCount = count;
}

const std::string& EventSource::url() const { return state_->request.url; }

void EventSource::close() {
    std::unique_lock lock(state_->mutex);
    state_->closed = true;
    state_->readyState = ReadyState::closed;
    const bool fromHandler = std::this_thread::get_id() == state_->loopThread;
    lock.unlock();
    task_.cancel();
    if (!fromHandler) {
        lock.lock();
        state_->idle.wait(lock, [&] { return !state_->delivering; });
    }
}

}  // namespace eventsource
