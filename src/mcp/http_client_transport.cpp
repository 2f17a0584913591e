#include "mcp/http_client_transport.hpp"

#include "eventsource/event_sequence.hpp"
#include "http/curl_http_client.hpp"
#include "logging/log_handlers.hpp"
#include "mcp/error.hpp"

#include "json/json.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <exception>
#include <utility>

namespace mcp {

namespace {

constexpr const char* kLogFile = "MCP/http_client_transport.cpp";

// Far beyond any sensible wait, and still clear of the clock's range.
constexpr double kMaxInitializationTimeoutSeconds = 1e9;
constexpr std::chrono::milliseconds kMaxReconnectionPause = std::chrono::hours(24);
// Received messages waiting for their reader, at most.
constexpr std::size_t kMaxQueuedMessages = 1024;

using Metadata = logging::Logger::Metadata;

std::chrono::nanoseconds clampedSeconds(double seconds) {
    if (!(seconds > 0)) return std::chrono::nanoseconds::zero();  // also NaN
    seconds = std::min(seconds, kMaxInitializationTimeoutSeconds);
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::duration<double>(seconds));
}

// A pause the clock can add to now without overflowing.
HTTPClientTransport::Configuration clamped(HTTPClientTransport::Configuration configuration) {
    configuration.reconnectionPause =
        std::clamp(configuration.reconnectionPause, std::chrono::milliseconds::zero(), kMaxReconnectionPause);
    return configuration;
}

std::string describe(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const MCPError& e) {
        return e.errorDescription();
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown error";
    }
}

int errnoFor(http::Error::Kind kind) {
    switch (kind) {
        case http::Error::Kind::invalidRequest: return EINVAL;
        case http::Error::Kind::connectionFailed: return ECONNREFUSED;
        case http::Error::Kind::timedOut: return ETIMEDOUT;
        case http::Error::Kind::transferFailed: return EIO;
    }
    return EIO;
}

// What a POST's sender gets: the protocol error, or the HTTP failure wrapped as
// a transport error. A cancellation is the sender's own only when its stop
// token asked for it; otherwise disconnect() cut the request off.
[[noreturn]] void rethrowForSender(std::exception_ptr error, const std::stop_token& stop) {
    try {
        std::rethrow_exception(error);
    } catch (const rt::Cancelled&) {
        if (stop.stop_requested()) throw;
        throw MCPError::transportError(
            PlatformError("http", ECANCELED, "HTTP POST cancelled: the transport disconnected"));
    } catch (const http::Error& e) {
        throw MCPError::transportError(PlatformError("http", errnoFor(e.kind()), e.what()));
    } catch (const eventsource::SizeLimitError& e) {
        throw MCPError::internalError(e.what());
    }
}

// Each object of a message or of a batch.
template <class F>
void forEachMessage(const json::Value& message, F&& f) {
    if (message.isObject()) f(message);
    if (!message.isArray()) return;
    for (const auto& item : message.asArray()) {
        if (item.isObject()) f(item);
    }
}

}  // namespace

HTTPClientTransport::HTTPClientTransport(std::string endpoint, Configuration configuration, bool streaming,
                                         double sseInitializationTimeout, RequestModifier requestModifier,
                                         std::optional<logging::Logger> logger)
    : endpoint_(std::move(endpoint)),
      configuration_(clamped(configuration)),
      session_(std::make_unique<http::CurlHttpClient>(configuration.session)),
      streaming_(streaming),
      sseInitializationTimeout_(clampedSeconds(sseInitializationTimeout)),
      requestModifier_(std::move(requestModifier)),
      logger_(logger ? std::move(*logger) : discardingLogger("mcp.transport.http.client")),
      stream_(rt::AsyncStream<std::string>::make(kMaxQueuedMessages)) {}

HTTPClientTransport::~HTTPClientTransport() {
    disconnect();
    // A task cancelled by a 405 while still connected is joined here at the latest.
    std::lock_guard lifecycle(lifecycleMutex_);
    if (streamingTask_.joinable()) streamingTask_.join();
}

std::optional<std::string> HTTPClientTransport::sessionID() const {
    std::lock_guard lock(mutex_);
    return sessionID_;
}

bool HTTPClientTransport::isConnected() const {
    std::lock_guard lock(mutex_);
    return connected_;
}

void HTTPClientTransport::connect(std::stop_token) {
    std::lock_guard lifecycle(lifecycleMutex_);
    std::shared_ptr<Signal> signal;
    std::stop_source stop{std::nostopstate};
    {
        std::lock_guard lock(mutex_);
        if (connected_) return;
        // The session is invalidated and the stream finished: a reconnect
        // could only fail every request, so say so now.
        if (disconnected_) {
            throw MCPError::internalError("Transport was disconnected; a new connection needs a new transport");
        }
        connected_ = true;
        signal = std::make_shared<Signal>();
        initialSessionIDSignal_ = signal;
        if (streaming_) {
            stop = std::stop_source();
            streamingStop_ = stop;
        }
    }
    if (streaming_) {
        streamingTask_ = rt::Task([this, token = stop.get_token(), signal](std::stop_token) {
            startListeningForServerEvents(token, signal);
        });
    }
    logger_.debug(kLogFile, "HTTP transport connected");
}

void HTTPClientTransport::disconnect() {
    std::lock_guard lifecycle(lifecycleMutex_);
    std::stop_source stop{std::nostopstate};
    std::shared_ptr<Signal> signal;
    {
        std::lock_guard lock(mutex_);
        if (!connected_) return;
        connected_ = false;
        disconnected_ = true;
        stop = std::exchange(streamingStop_, std::stop_source(std::nostopstate));
        signal = std::move(initialSessionIDSignal_);
    }
    if (stop.stop_possible()) stop.request_stop();
    session_->invalidate();
    std::vector<PostReader> readers;
    {
        std::lock_guard lock(mutex_);
        readers.swap(postReaders_);
    }
    readers.clear();  // each reader is stopped and joined; its sender wakes up
    stream_->finish();
    // Ends a wait for the first session id, so the task sees the disconnect.
    if (signal) signal->resume(std::monostate{});
    if (streamingTask_.joinable()) streamingTask_.join();
    logger_.debug(kLogFile, "HTTP clienttransport disconnected");
}

void HTTPClientTransport::send(std::string message, std::stop_token stop) {
    std::optional<std::string> sessionID;
    {
        std::lock_guard lock(mutex_);
        if (!connected_) throw MCPError::internalError("Transport not connected");
        sessionID = sessionID_;
    }

    auto awaited = std::make_shared<AwaitedAnswers>(requestIdsOf(message));
    http::Request request;
    request.method = "POST";
    request.url = endpoint_;
    // No request time-out of its own: the session's idle time-out applies.
    request.headers.add("Accept", "application/json, text/event-stream");
    request.headers.add("Content-Type", "application/json");
    request.body = std::move(message);
    if (sessionID) request.headers.add("Mcp-Session-Id", *sessionID);
    if (requestModifier_) request = requestModifier_(std::move(request));

    try {
        std::unique_ptr<http::Response> response = session_->start(std::move(request), stop);
        processResponse(response, stop, awaited);
    } catch (...) {
        rethrowForSender(std::current_exception(), stop);
    }
}

std::vector<std::string> HTTPClientTransport::requestIdsOf(std::string_view message) {
    std::vector<std::string> ids;
    json::Value parsed;
    try {
        parsed = json::parse(message);
    } catch (const json::DecodingError&) {
        return ids;
    }
    forEachMessage(parsed, [&](const json::Value& item) {
        const json::Value* id = item.find("id");
        if (item.find("method") && id) ids.push_back(json::write(*id));
    });
    return ids;
}

bool HTTPClientTransport::AwaitedAnswers::answeredBy(std::string_view data) {
    if (pending.empty()) return false;
    json::Value parsed;
    try {
        parsed = json::parse(data);
    } catch (const json::DecodingError&) {
        return false;
    }
    forEachMessage(parsed, [&](const json::Value& item) {
        const json::Value* id = item.find("method") ? nullptr : item.find("id");
        if (!id) return;
        const auto it = std::find(pending.begin(), pending.end(), json::write(*id));
        if (it != pending.end()) pending.erase(it);
    });
    return pending.empty();
}

void HTTPClientTransport::readPostStream(std::unique_ptr<http::Response> response,
                                         std::shared_ptr<AwaitedAnswers> awaited, std::stop_token senderStop) {
    // The server may keep the stream open after the answer, for what it sends
    // later: read on, on a task of its own, while the sender goes on.
    // A message without requests has no answer to wait for.
    if (awaited->pending.empty()) awaited->answered.resume(std::monostate{});
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::shared_ptr<http::Response> owned(std::move(response));
    rt::Task reader([this, owned, awaited, done](std::stop_token stop) {
        try {
            processSSE(*owned, stop, awaited.get());
            awaited->answered.resume(std::monostate{});
        } catch (...) {
            awaited->answered.fail(std::current_exception());
        }
        done->store(true);
    });
    std::vector<PostReader> finished;
    {
        std::lock_guard lock(mutex_);
        for (auto it = postReaders_.begin(); it != postReaders_.end();) {
            if (it->done->load()) {
                finished.push_back(std::move(*it));
                it = postReaders_.erase(it);
            } else {
                ++it;
            }
        }
        if (connected_) {
            postReaders_.push_back(PostReader{std::move(reader), done});
        } else {
            reader.cancel();
            owned->cancel();
            finished.push_back(PostReader{std::move(reader), done});
        }
    }
    finished.clear();  // joined outside the lock
    try {
        awaited->answered.wait(senderStop);
    } catch (const rt::Cancelled&) {
        if (senderStop.stop_requested()) owned->cancel();
        throw;
    }
}

void HTTPClientTransport::storeSessionID(const std::string& id) {
    bool wasAbsent = false;
    {
        std::lock_guard lock(mutex_);
        wasAbsent = !sessionID_.has_value();
        sessionID_ = id;
    }
    if (wasAbsent) triggerInitialSessionIDSignal();
    logger_.debug(kLogFile, "Session ID received", [&] { return Metadata{{"sessionID", id}}; });
}

void HTTPClientTransport::triggerInitialSessionIDSignal() {
    std::shared_ptr<Signal> signal;
    {
        std::lock_guard lock(mutex_);
        signal = std::move(initialSessionIDSignal_);
    }
    if (!signal) return;
    signal->resume(std::monostate{});
    logger_.trace(kLogFile, "Initial session ID signal triggered for SSE task.");
}

void HTTPClientTransport::processResponse(std::unique_ptr<http::Response>& owned, std::stop_token stop,
                                          const std::shared_ptr<AwaitedAnswers>& awaited) {
    http::Response& response = *owned;
    const std::string contentType = response.headers().get("Content-Type").value_or("");
    // Before the status check: an error reply's id is taken too.
    if (const auto id = response.headers().get("Mcp-Session-Id")) storeSessionID(*id);

    processHTTPResponse(response.status(), contentType);

    // Media types are case-insensitive: "Application/JSON" is JSON.
    if (http::containsIgnoringCase(contentType, "text/event-stream")) {
        logger_.trace(kLogFile, "Received SSE response, processing in streaming task");
        readPostStream(std::move(owned), awaited, stop);
    } else if (http::containsIgnoringCase(contentType, "application/json")) {
        const std::size_t limit = configuration_.messageSizeLimit;
        std::string body;
        while (auto chunk = response.readChunk(stop)) {
            if (chunk->size() > limit - body.size()) {
                throw MCPError::internalError("JSON response body exceeds the limit of " + std::to_string(limit) +
                                              " bytes");
            }
            body += *chunk;
        }
        logger_.trace(kLogFile, "Received JSON response",
                      [&] { return Metadata{{"size", std::to_string(body.size())}}; });
        stream_->push(std::move(body), stop);
    } else {
        logger_.warning(kLogFile, [&] { return "Unexpected content type: " + contentType; });
    }
}

void HTTPClientTransport::processHTTPResponse(int status, const std::string& contentType) {
    if (status >= 200 && status <= 299) return;
    switch (status) {
        case 400: throw MCPError::internalError("Bad request");
        case 401: throw MCPError::internalError("Authentication required");
        case 403: throw MCPError::internalError("Access forbidden");
        case 404: {
            bool hadSession = false;
            {
                std::lock_guard lock(mutex_);
                hadSession = sessionID_.has_value();
                sessionID_.reset();
            }
            if (!hadSession) throw MCPError::internalError("Endpoint not found");
            logger_.warning(kLogFile, "Session has expired");
            throw MCPError::internalError("Session expired");
        }
        case 405:
            if (!streaming_) throw MCPError::internalError("Method not allowed");
            cancelStreamingTask();
            throw MCPError::internalError("Server does not support streaming");
        case 408: throw MCPError::internalError("Request timeout");
        case 429: throw MCPError::internalError("Too many requests");
        default: break;
    }
    if (status >= 500 && status <= 599) throw MCPError::internalError("Server error: " + std::to_string(status));
    throw MCPError::internalError("Unexpected HTTP response: " + std::to_string(status) + " (" + contentType + ")");
}

std::size_t HTTPClientTransport::processSSE(http::Response& response, std::stop_token stop,
                                           AwaitedAnswers* awaited) {
    auto events = eventsource::events(response, configuration_.messageSizeLimit);
    std::size_t count = 0;
    try {
        while (auto event = events.next(stop)) {
            if (stop.stop_requested()) break;
            ++count;
            logger_.trace(kLogFile, "SSE event received", [&] {
                return Metadata{{"type", event->event.value_or("message")}, {"id", event->id.value_or("none")}};
            });
            // The parser hands out repaired UTF-8, so the data always converts.
            if (event->data.empty()) continue;
            const bool answered = awaited && awaited->answeredBy(event->data);
            // Waits while the queue is full: the server then waits on the connection.
            stream_->push(std::move(event->data), stop);
            if (answered) awaited->answered.resume(std::monostate{});
        }
    } catch (...) {
        const auto error = std::current_exception();
        logger_.error(kLogFile, [&] { return "Error processing SSE events: " + describe(error); });
        throw;
    }
    return count;
}

void HTTPClientTransport::cancelStreamingTask() {
    std::stop_source stop{std::nostopstate};
    {
        std::lock_guard lock(mutex_);
        stop = streamingStop_;  // the handle stays stored
    }
    if (stop.stop_possible()) stop.request_stop();
}

void HTTPClientTransport::pause(std::stop_token stop) const {
    try {
        sleepOnContinuousClock(configuration_.reconnectionPause, std::nullopt, stop);
    } catch (const rt::Cancelled&) {
        // The loop test that follows ends the task.
    }
}

void HTTPClientTransport::startListeningForServerEvents(std::stop_token stop, std::shared_ptr<Signal> signal) {
    std::optional<std::string> sessionID;
    {
        std::lock_guard lock(mutex_);
        if (!connected_) return;
        sessionID = sessionID_;
    }
    if (sessionID) {
        logger_.trace(kLogFile,
                      "Initial sessionID already available. Proceeding with SSE streaming task immediately.");
    } else {
        logger_.trace(kLogFile, "SSE streaming task waiting for initial sessionID signal...");
        waitForInitialSessionID(signal);
    }

    while (isConnected() && !stop.stop_requested()) {
        const auto started = rt::Clock::now();
        try {
            const bool sawEvent = connectToEventStream(stop);
            // A server that closes the stream at once must not be hammered.
            if (!sawEvent && rt::Clock::now() - started < configuration_.reconnectionPause) pause(stop);
        } catch (...) {
            if (stop.stop_requested()) continue;
            const auto error = std::current_exception();
            logger_.error(kLogFile, [&] { return "SSE connection error: " + describe(error); });
            pause(stop);
        }
    }
}

void HTTPClientTransport::waitForInitialSessionID(const std::shared_ptr<Signal>& signal) {
    // Only the signal (the first session id, or disconnect()) or the time-out
    // ends the wait; a cancellation is seen by the loop test afterwards.
    bool signalReceived = true;
    try {
        if (signal) signal->wait({}, rt::Clock::now() + sseInitializationTimeout_);
    } catch (const rt::TimedOut&) {
        signalReceived = false;
    }
    if (signalReceived) {
        logger_.trace(kLogFile, "SSE streaming task proceeding after initial sessionID signal.");
    } else {
        logger_.warning(kLogFile,
                        "Timeout waiting for initial sessionID signal. SSE stream will proceed (sessionID might be nil).");
    }
}

bool HTTPClientTransport::connectToEventStream(std::stop_token stop) {
    std::optional<std::string> sessionID;
    {
        std::lock_guard lock(mutex_);
        if (!connected_) return false;
        sessionID = sessionID_;
    }

    http::Request request;
    request.method = "GET";
    request.url = endpoint_;
    request.headers.add("Accept", "text/event-stream");
    request.headers.add("Cache-Control", "no-cache");
    if (sessionID) request.headers.add("Mcp-Session-Id", *sessionID);
    if (requestModifier_) request = requestModifier_(std::move(request));

    logger_.debug(kLogFile, "Starting SSE connection");
    const auto response = session_->start(std::move(request), stop);

    const int status = response->status();
    if (status != 200) {
        // Ends the loop after this attempt: the server has no event stream.
        if (status == 405) cancelStreamingTask();
        throw MCPError::internalError("HTTP error: " + std::to_string(status));
    }
    if (const auto id = response->headers().get("Mcp-Session-Id")) storeSessionID(*id);
    return processSSE(*response, stop) > 0;
}

}  // namespace mcp
