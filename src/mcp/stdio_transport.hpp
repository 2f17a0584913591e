// Newline-delimited messages over a pair of file descriptors (standard input
// and output by default).
#pragma once

#include "logging/logger.hpp"
#include "mcp/transport.hpp"
#include "runtime/runtime.hpp"

#include <atomic>
#include <condition_variable>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include <sys/uio.h>

namespace mcp {

// Reads the input in non-blocking mode and delivers each line that is not
// blank (carriage return kept) as one message, an unterminated last line too
// at end of input: on the consumer's thread through readInto(), or through
// the stream of receive() from a thread of its own. Writes each message followed by
// one newline byte, whole: concurrent sends never interleave.
//
// Input is bounded: a line longer than the message limit is skipped to its
// newline without being held whole, and answered with invalidRequest under the
// id its first bytes hold (leadingRequestId), else under id null; at most kMaxQueuedMessages wait in the stream, beyond that the reader
// stops reading until the consumer catches up (readInto reads only when its
// consumer is done with the last read).
//
// While connected both descriptors are non-blocking; the mode is put back at
// disconnect, at destruction and at process exit (standard descriptors share
// it with the terminal and with standard error). Descriptors are never closed.
class StdioTransport final : public Transport {
public:
    static constexpr std::size_t kMaxQueuedMessages = 1024;
    // Answer bytes copied and held back at most while input waits: the
    // reader writes them once the input in hand is handled, and a sender
    // never waits for a full pipe meanwhile (large kept texts are shared,
    // not copied). Past it, the sender writes, and waits.
    static constexpr std::size_t kCoalesceLimit = 1024 * 1024;
    // Bytes held back at most with shared texts, which are not copied.
    static constexpr std::size_t kGatherLimit = 4 * 1024 * 1024;

    // Without a logger: label "mcp.transport.stdio", records discarded.
    explicit StdioTransport(int input = 0, int output = 1, std::optional<logging::Logger> logger = std::nullopt,
                            std::size_t maxMessageSize = std::size_t{64} << 20);
    ~StdioTransport() override;
    StdioTransport(const StdioTransport&) = delete;
    StdioTransport& operator=(const StdioTransport&) = delete;

    const logging::Logger& logger() const override { return logger_; }

    // Switches both descriptors to non-blocking mode and starts reading; a
    // second call while connected does nothing. Throws MCPError::transportError
    // with the errno of a failing fcntl. Ignores SIGPIPE if it is at its default.
    void connect(std::stop_token stop = {}) override;
    // Finishes the stream, stops the reader and puts the descriptors' mode back.
    // A send waiting for room gives up with ENOTCONN.
    void disconnect() override;
    // Not connected: MCPError::transportError(ENOTCONN), nothing written.
    // Waits for room with poll(); rt::Cancelled when `stop` is requested then
    // (bytes already written stay written).
    void send(std::string message, std::stop_token stop = {}) override;
    // Holds or writes the shared text where it is, without copying it.
    void sendShared(std::string head, std::shared_ptr<const std::string> shared, std::string tail,
                    std::stop_token stop = {}) override;
    // Writes the answers held back while more input was waiting.
    void flush(std::stop_token stop = {}) override;
    // The same stream on every call, made at construction; the first call
    // has a thread read into it (from connect on).
    MessageStream receive() override;
    bool readInto(MessageReader& reader, std::stop_token stop) override;

    bool isConnected() const { return connected_.load(std::memory_order_acquire); }
    // The errno of the write that failed (the reader went away, the device is
    // full, the descriptor closed), or 0. After such a failure the stream ends
    // with that error, what was queued is dropped, and every send fails.
    int outputError() const { return outputError_.load(); }

private:
    // Reads until the input ends, hands each line to onLine, and calls
    // onDrained whenever the lines read so far are handled.
    template <class OnLine, class OnDrained>
    void readLines(std::stop_token stop, int cancelFd, OnLine&& onLine, OnDrained&& onDrained);
    void startReaderLocked();
    // Blocks until input is readable or the transport (or `cancelFd`) is
    // woken; false when woken.
    bool waitReadable(int cancelFd);
    void waitWritable(std::stop_token& stop);
    // Writes what is held and then `more`, and forgets what was held; only
    // with the output's turn.
    void writeHeldAnd(std::initializer_list<std::string_view> more, std::stop_token& stop);
    // One answer: `head`, the shared text if any, `tail` and a newline.
    void sendParts(std::string_view head, const std::shared_ptr<const std::string>& shared, std::string_view tail,
                   std::stop_token& stop);
    void outputFailed(int error);
    bool inputWaits() const { return inputInHand_.load() || stream_->size() > 0; }

    // The output for one writer at a time: waits for its turn (ENOTCONN once
    // disconnected, rt::Cancelled on stop) and gives it back at scope end.
    struct OutputTurn {
        OutputTurn(StdioTransport& transport, std::stop_token& stop);
        ~OutputTurn();
        OutputTurn(const OutputTurn&) = delete;
        OutputTurn& operator=(const OutputTurn&) = delete;
        StdioTransport& self;
    };

    const int input_;
    const int output_;
    const std::size_t maxMessageSize_;
    const logging::Logger logger_;
    const MessageStream stream_;

    std::atomic<bool> connected_{false};
    int wakeFd_ = -1;  // eventfd: readable once disconnect() was called or the output failed
    std::atomic<int> outputError_{0};

    std::mutex lifecycleMutex_;  // connect and disconnect, one at a time; the two flags below
    rt::Task reader_;
    bool streamWanted_ = false;  // receive() was called: a thread reads into the stream
    bool readingDirect_ = false;  // readInto() runs
    std::atomic<bool> inputInHand_{false};  // readInto is handling lines it read

    std::mutex writeMutex_;  // guards writing_ and held_
    std::condition_variable_any writeCv_;
    bool writing_ = false;  // a send owns the output
    int turnWaiters_ = 0;   // callers waiting for writing_ to clear
    // Answers held back while input waits: runs of `text` and shared texts,
    // in order.
    struct Piece {
        std::size_t from = 0;
        std::size_t size = 0;
        std::shared_ptr<const std::string> shared;  // null: bytes [from, from + size) of text
    };
    struct Held {
        std::string text;
        std::vector<Piece> pieces;
        std::size_t bytes = 0;  // with the shared texts
        void append(std::string_view more);
        void clear();
    };
    static constexpr std::size_t kMaxPieces = 64;
    Held held_;
    // What the output's owner took out of held_ to write: a sender goes on
    // holding its answers meanwhile, and never waits for that write.
    Held outgoing_;
    std::vector<iovec> iovecs_;  // writeHeldAnd's, kept for its capacity
};

}  // namespace mcp
