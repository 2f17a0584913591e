// A small HTTP/1.1 server on 127.0.0.1 (an ephemeral port) for tests: every
// request goes to a handler that scripts the answer byte by byte if it wants
// (complete responses, chunked streams, raw bytes, stalls, closing).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace testsupport {
using HeaderList = std::vector<std::pair<std::string, std::string>>;

struct RecordedRequest {
    std::string method;
    std::string target;
    HeaderList headers;
    std::string body;

    std::optional<std::string> header(std::string_view name) const;
};

// One request and the connection it came on, handed to the handler.
class Exchange {
public:
    const RecordedRequest& request() const { return request_; }
    std::size_t index() const { return index_; }  // 0 for the server's first request
    // Requested when the server shuts down: handlers that wait use it.
    std::stop_token stopToken() const { return stop_; }

    // A complete answer with Content-Length; the connection stays open for
    // the next request. False when the client is gone.
    bool respond(int status, const HeaderList& headers = {}, std::string_view body = {});
    // A body in chunked transfer coding: the head, chunks, the last chunk.
    bool startChunked(int status, const HeaderList& headers = {});
    bool sendChunk(std::string_view data);
    bool endChunked();
    bool sendRaw(std::string_view bytes);
    void closeConnection();
    bool waitForClientClose(std::chrono::milliseconds timeout);

private:
    friend class ScriptedHttpServer;
    Exchange(int fd, RecordedRequest request, std::size_t index, std::stop_token stop)
        : fd_(fd), request_(std::move(request)), index_(index), stop_(stop) {}

    int fd_;
    RecordedRequest request_;
    std::size_t index_;
    std::stop_token stop_;
    bool complete_ = false;  // a whole response went out: the connection may go on
    bool closed_ = false;
};

class ScriptedHttpServer {
public:
    using Handler = std::function<void(Exchange&)>;

    explicit ScriptedHttpServer(Handler handler);
    // Stops the handlers (stop token), closes every connection and joins.
    ~ScriptedHttpServer();
    ScriptedHttpServer(const ScriptedHttpServer&) = delete;
    ScriptedHttpServer& operator=(const ScriptedHttpServer&) = delete;

    std::string url(std::string_view path = "/") const;

    std::vector<RecordedRequest> requests() const;
    // The first `count` requests, waiting for them at most `timeout`; throws
    // std::runtime_error when they did not all arrive.
    std::vector<RecordedRequest> waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const;
    std::size_t connectionCount() const;

private:
    void acceptLoop();
    void serve(int fd);
    std::optional<RecordedRequest> readRequest(int fd, std::string& pending);

    Handler handler_;
    int listenFd_ = -1;
    int wakeFd_ = -1;  // eventfd: readable once stopping
    std::uint16_t port_ = 0;
    std::stop_source stop_;

    mutable std::mutex mutex_;
    mutable std::condition_variable_any changed_;
    std::vector<RecordedRequest> requests_;
    std::vector<int> connections_;
    std::vector<std::thread> threads_;
    std::size_t connectionCount_ = 0;
    std::thread acceptThread_;
};

}  // namespace testsupport
