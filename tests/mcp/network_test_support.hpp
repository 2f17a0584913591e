// Helpers of the network transport tests: a scriptable connection and a
// loopback listener.
#pragma once

#include "logging/logger.hpp"
#include "support/recording_handler.hpp"
#include "mcp/network_connection.hpp"
#include "runtime/runtime.hpp"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace networktest {
using namespace std::chrono_literals;
using State = mcp::NetworkConnection::State;

constexpr auto kTimeout = 10s;

// A logger labelled like the transport's own, recording at level trace.
inline logging::Logger networkLogger(const std::shared_ptr<logging::testing::RecordSink>& sink) {
    return logging::testing::recordingLogger(sink, "mcp.transport.network");
}

// Every operation is recorded; states are delivered on the thread that causes
// them (start(), cancel(), deliver()), as a real connection may do.
class FakeNetworkConnection final : public mcp::NetworkConnection {
public:
    // The states the next start() delivers, one list per call; a start without
    // a list delivers nothing.
    void scriptStart(std::vector<State> states);
    void deliver(const State& state);

    // What receive() hands out, in order; it waits while there is nothing.
    // cancel() drops what is still queued.
    void pushChunk(std::string bytes) { push({std::move(bytes), false, std::nullopt}); }
    void pushEnd() { push({std::nullopt, true, std::nullopt}); }
    void pushError(int errnoValue) { push({std::nullopt, false, mcp::PlatformError::fromErrno(errnoValue)}); }
    void failNextSend(int errnoValue);

    int startCount() const { return locked(starts_); }
    int cancelCount() const { return locked(cancels_); }
    bool receiveWaiting() const { return locked(waitingReceives_) > 0; }

    State state() const override;
    StateUpdateHandler stateUpdateHandler() const override;
    void setStateUpdateHandler(StateUpdateHandler handler) override;
    void start() override;
    void cancel() override;
    std::optional<mcp::PlatformError> send(std::string_view content, bool isComplete,
                                           std::stop_token stop = {}) override;
    ReceiveResult receive(std::size_t minimumIncompleteLength, std::int64_t maximumLength,
                          std::stop_token stop = {}) override;

private:
    void changed();
    void push(ReceiveResult result);
    int locked(const int& count) const;

    mutable std::mutex mutex_;
    mutable std::condition_variable_any cv_;
    std::recursive_mutex deliveryMutex_;
    State state_ = State::setup();
    StateUpdateHandler handler_;
    std::deque<std::vector<State>> startScripts_;
    std::deque<ReceiveResult> receives_;
    std::deque<int> sendFailures_;
    int starts_ = 0;
    int cancels_ = 0;
    std::uint64_t cancelEpoch_ = 0;
    int waitingReceives_ = 0;
};

// A listening TCP socket on 127.0.0.1 (an ephemeral port unless one is given).
class LoopbackListener {
public:
    explicit LoopbackListener(std::uint16_t port = 0);
    ~LoopbackListener();
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;

    std::uint16_t port() const { return port_; }
    int accept(rt::Clock::duration timeout = kTimeout);

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

// A raw peer socket for the tests that drive the far end by hand.
class RawPeer {
public:
    explicit RawPeer(int fd) : fd_(fd) {}
    ~RawPeer();
    RawPeer(const RawPeer&) = delete;
    RawPeer& operator=(const RawPeer&) = delete;

    bool write(std::string_view bytes);
    // Reads until `count` newline-terminated lines arrived; nullopt on time-out
    // or end of stream.
    std::optional<std::vector<std::string>> readLines(std::size_t count, rt::Clock::duration timeout = kTimeout);
    // Closes with a reset (SO_LINGER 0).
    void reset();

private:
    int fd_;
    std::string pending_;
};

}  // namespace networktest
