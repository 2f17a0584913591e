// The client side of the streamable HTTP transport: every message goes out as
// the body of its own POST to one endpoint; the reply carries the server's
// answers as one JSON document or as an event stream. With streaming on, a
// background task also keeps a GET event stream open for what the server sends
// on its own.
//
//   mcp::HTTPClientTransport transport("http://127.0.0.1:3001/mcp");
//   client.connect(transport);
#pragma once

#include "http/http_client.hpp"
#include "logging/logger.hpp"
#include "mcp/transport.hpp"
#include "runtime/runtime.hpp"

#include <chrono>
#include <cstddef>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace mcp {

struct HTTPClientTransportConfiguration {
    // The HTTP session: its idle time-out (no byte for that long fails a
    // request, 60 s by default) applies to every POST and GET.
    http::Configuration session;
    // The largest JSON reply body, and the largest line or event data of
    // an event stream; past it that read fails.
    std::size_t messageSizeLimit = std::size_t{64} << 20;
    // The pause before reopening the event stream after a failed GET, or
    // after one that ended without an event sooner than this; kept within
    // 0 to 24 hours.
    std::chrono::milliseconds reconnectionPause{1000};
};

// One transport serves one connection: disconnect() cancels the requests in
// flight, ends the message stream for good and refuses a later connect().
class HTTPClientTransport final : public Transport {
public:
    using RequestModifier = std::function<http::Request(http::Request)>;
    using Configuration = HTTPClientTransportConfiguration;

    // No network work, no task. Without a logger: label
    // "mcp.transport.http.client", records discarded. sseInitializationTimeout
    // is in seconds; a negative or NaN value counts as 0.
    explicit HTTPClientTransport(std::string endpoint, Configuration configuration = {}, bool streaming = true,
                                 double sseInitializationTimeout = 10, RequestModifier requestModifier = {},
                                 std::optional<logging::Logger> logger = std::nullopt);
    ~HTTPClientTransport() override;
    HTTPClientTransport(const HTTPClientTransport&) = delete;
    HTTPClientTransport& operator=(const HTTPClientTransport&) = delete;

    const logging::Logger& logger() const override { return logger_; }

    // Does nothing while connected; after disconnect() throws internalError.
    void connect(std::stop_token stop = {}) override;
    void disconnect() override;
    // POSTs the message and returns once the reply was handled: a JSON reply
    // read; an event-stream reply as soon as it carried the answers to the
    // message's requests (at once for a message without requests), the rest
    // of the stream being read on by a task of its own. Throws MCPError: internalError for
    // the status map and limits, transportError wrapping the HTTP failure
    // (also a request cancelled by disconnect()); rt::Cancelled when `stop`
    // is requested.
    void send(std::string message, std::stop_token stop = {}) override;
    MessageStream receive() override { return stream_; }

    const std::string& endpoint() const { return endpoint_; }
    std::optional<std::string> sessionID() const;
    bool isConnected() const;

private:
    using Signal = rt::OneShot<std::monostate>;

    void storeSessionID(const std::string& id);
    void triggerInitialSessionIDSignal();
    // The ids (as written JSON) of the requests a POST waits the answers of.
    struct AwaitedAnswers {
        explicit AwaitedAnswers(std::vector<std::string> ids) : pending(std::move(ids)) {}
        // Crosses off the answers the data carries; true when none is left.
        bool answeredBy(std::string_view data);
        std::vector<std::string> pending;  // touched by the reader only
        rt::OneShot<std::monostate> answered;
    };
    struct PostReader {
        rt::Task task;
        std::shared_ptr<std::atomic<bool>> done;
    };
    static std::vector<std::string> requestIdsOf(std::string_view message);

    void processResponse(std::unique_ptr<http::Response>& response, std::stop_token stop,
                         const std::shared_ptr<AwaitedAnswers>& awaited);
    void processHTTPResponse(int status, const std::string& contentType);
    // Reads a POST's event stream on a task; returns when its answers came,
    // the stream ended or failed (thrown), or the sender stopped.
    void readPostStream(std::unique_ptr<http::Response> response, std::shared_ptr<AwaitedAnswers> awaited,
                        std::stop_token senderStop);
    // The number of events read; returns early once `stop` is requested.
    std::size_t processSSE(http::Response& response, std::stop_token stop, AwaitedAnswers* awaited = nullptr);

    void startListeningForServerEvents(std::stop_token stop, std::shared_ptr<Signal> signal);
    void waitForInitialSessionID(const std::shared_ptr<Signal>& signal);
    // True when the stream delivered at least one event.
    bool connectToEventStream(std::stop_token stop);
    void cancelStreamingTask();
    void pause(std::stop_token stop) const;

    const std::string endpoint_;
    const Configuration configuration_;
    const std::unique_ptr<http::HttpClient> session_;
    const bool streaming_;
    const std::chrono::nanoseconds sseInitializationTimeout_;
    const RequestModifier requestModifier_;
    const logging::Logger logger_;
    const MessageStream stream_;

    std::mutex lifecycleMutex_;  // connect and disconnect, one at a time
    rt::Task streamingTask_;     // touched under lifecycleMutex_ only

    mutable std::mutex mutex_;  // never held while calling out
    bool connected_ = false;
    bool disconnected_ = false;  // disconnect() ran: session and stream are spent
    std::optional<std::string> sessionID_;
    std::stop_source streamingStop_{std::nostopstate};
    std::shared_ptr<Signal> initialSessionIDSignal_;
    std::vector<PostReader> postReaders_;  // reading POST event streams
};

}  // namespace mcp
