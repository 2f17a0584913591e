// The stream connection under a NetworkTransport, and its implementation on
// blocking POSIX TCP sockets.
#pragma once

#include "mcp/error.hpp"
#include "runtime/runtime.hpp"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

namespace mcp {

// What a NetworkTransport needs of a connection. Errors are PlatformErrors
// whose code is an errno value (compared by name: ECONNRESET, ENOTCONN, ...).
class NetworkConnection {
public:
    class State {
    public:
        enum class Kind { setup, waiting, preparing, ready, failed, cancelled };

        static State setup() { return State(Kind::setup); }
        static State waiting(PlatformError error) { return State(Kind::waiting, std::move(error)); }
        static State preparing() { return State(Kind::preparing); }
        static State ready() { return State(Kind::ready); }
        static State failed(PlatformError error) { return State(Kind::failed, std::move(error)); }
        static State cancelled() { return State(Kind::cancelled); }

        Kind kind() const { return kind_; }
        // Present for waiting and failed.
        const std::optional<PlatformError>& error() const { return error_; }

        // Any kind, also one a newer connection may add; for tests and adapters.
        explicit State(Kind kind, std::optional<PlatformError> error = std::nullopt)
            : kind_(kind), error_(std::move(error)) {}

    private:
        Kind kind_;
        std::optional<PlatformError> error_;
    };

    // Called with every new state, on a thread of the connection or on the
    // thread whose call caused the change. Deliveries arrive in order and do
    // not overlap, except that a handler may cancel the connection from within.
    using StateUpdateHandler = std::function<void(const State&)>;

    struct ReceiveResult {
        std::optional<std::string> content;
        bool isComplete = false;  // the peer ended its side of the stream
        std::optional<PlatformError> error;
    };

    virtual ~NetworkConnection() = default;

    virtual State state() const = 0;
    virtual StateUpdateHandler stateUpdateHandler() const = 0;
    virtual void setStateUpdateHandler(StateUpdateHandler handler) = 0;

    // Begins connecting and returns at once; the outcome arrives as states.
    // After cancel() or a failure it starts over; while preparing or ready it
    // does nothing.
    virtual void start() = 0;
    // Closes the connection: pending and later sends and receives fail.
    virtual void cancel() = 0;
    // Blocks until the bytes were handed to the system, or fails. Sends never
    // interleave. rt::Cancelled when `stop` ends the wait before any byte went.
    virtual std::optional<PlatformError> send(std::string_view content, bool isComplete,
                                              std::stop_token stop = {}) = 0;
    // Blocks until at least `minimumIncompleteLength` bytes (at most
    // `maximumLength`), the end of the peer's stream, or an error.
    // rt::Cancelled when `stop` ends the wait.
    virtual ReceiveResult receive(std::size_t minimumIncompleteLength, std::int64_t maximumLength,
                                  std::stop_token stop = {}) = 0;
};

// A TCP connection on blocking POSIX sockets.
//
// Made from a host and port it resolves and connects on a thread of its own
// (reporting preparing, then ready or failed), each start after cancel() or a
// failure on a fresh socket. Made from an accepted socket it reports ready at
// the first start and takes ownership of the descriptor; it cannot be opened
// again, so a later start reports failed (ENOTCONN).
class TcpConnection final : public NetworkConnection {
public:
    TcpConnection(std::string host, std::uint16_t port,
                  std::chrono::milliseconds connectTimeout = std::chrono::seconds(30));
    explicit TcpConnection(int connectedSocket);
    ~TcpConnection() override;
    TcpConnection(const TcpConnection&) = delete;
    TcpConnection& operator=(const TcpConnection&) = delete;

    State state() const override;
    StateUpdateHandler stateUpdateHandler() const override;
    void setStateUpdateHandler(StateUpdateHandler handler) override;

    void start() override;
    void cancel() override;
    // Not ready: ENOTCONN. Interrupted by cancel(): ECANCELED. Once the first
    // byte is out the message is finished whatever `stop` says, so a cancelled
    // send never leaves half a message on the stream.
    std::optional<PlatformError> send(std::string_view content, bool isComplete, std::stop_token stop = {}) override;
    // Not ready: ENOTCONN. Interrupted by cancel(): ECANCELED.
    ReceiveResult receive(std::size_t minimumIncompleteLength, std::int64_t maximumLength,
                          std::stop_token stop = {}) override;

private:
    struct Session;

    // Changes the state and delivers it, unless the run is over or the
    // connection was cancelled meanwhile (or, with fromReady, left ready).
    void transition(State next, std::uint64_t run, bool onlyFromReady = false);
    void connectBody(const std::shared_ptr<Session>& session, std::uint64_t run);
    // The current session when ready.
    std::shared_ptr<Session> readySession(std::uint64_t& run) const;

    const std::string host_;
    const std::uint16_t port_ = 0;
    const std::chrono::milliseconds connectTimeout_{0};
    const bool accepted_ = false;
    int adoptedSocket_ = -1;  // until the first start takes it

    std::recursive_mutex deliveryMutex_;  // one delivery at a time, in order
    mutable std::mutex mutex_;            // the fields below
    State state_ = State::setup();
    StateUpdateHandler handler_;
    std::shared_ptr<Session> session_;
    std::uint64_t run_ = 0;

    std::mutex startMutex_;
    rt::Task connector_;

    std::mutex writeMutex_;
    std::condition_variable_any writeCv_;
    bool writing_ = false;
};

}  // namespace mcp
