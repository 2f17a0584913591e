#include "mcp/stdio_transport.hpp"

#include "logging/log_handlers.hpp"
#include "mcp/envelope.hpp"
#include "mcp/envelope_scan.hpp"
#include "mcp/error.hpp"
#include "mcp/line_splitter.hpp"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/uio.h>
#include <unistd.h>

namespace mcp {

namespace {

constexpr const char* kLogFile = "MCP/StdioTransport";
// Large enough that a burst of requests costs few reads.
constexpr std::size_t kReadBufferSize = 64 * 1024;

[[noreturn]] void throwErrno(int error) { throw MCPError::transportError(PlatformError::fromErrno(error)); }

// Who switched which descriptor to non-blocking mode, so that the mode is put
// back when the last user lets go, and at process exit for those still held.
// Counting users matters when one descriptor serves two transports (or both
// sides of one), and recording the mode found first keeps a descriptor that was
// non-blocking before us non-blocking after us.
class NonBlockingRegistry {
public:
    static NonBlockingRegistry& shared() {
        // Never destroyed: the exit handler may run after static destructors.
        static auto* registry = new NonBlockingRegistry();
        return *registry;
    }

    void acquire(int fd) {
        std::call_once(exitHandlerOnce_, [] { std::atexit([] { shared().restoreAll(); }); });
        std::lock_guard lock(mutex_);
        auto it = entries_.find(fd);
        if (it != entries_.end()) {
            ++it->second.users;
            return;
        }
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags < 0) throwErrno(errno);
        const bool wasBlocking = (flags & O_NONBLOCK) == 0;
        if (wasBlocking && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) throwErrno(errno);
        entries_.emplace(fd, Entry{1, wasBlocking});
    }

    void release(int fd) {
        std::lock_guard lock(mutex_);
        auto it = entries_.find(fd);
        if (it == entries_.end()) return;
        if (--it->second.users > 0) return;
        if (it->second.wasBlocking) makeBlocking(fd);
        entries_.erase(it);
    }

private:
    struct Entry {
        int users;
        bool wasBlocking;
    };

    static void makeBlocking(int fd) {
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags >= 0 && (flags & O_NONBLOCK) != 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    }

    void restoreAll() {
        std::lock_guard lock(mutex_);
        for (const auto& [fd, entry] : entries_) {
            if (entry.wasBlocking) makeBlocking(fd);
        }
        entries_.clear();
    }

    std::mutex mutex_;
    std::map<int, Entry> entries_;
    std::once_flag exitHandlerOnce_;
};

// A write to a closed pipe must fail with EPIPE, not end the process.
void ignoreSigpipeIfDefault() {
    struct sigaction current {};
    if (::sigaction(SIGPIPE, nullptr, &current) != 0) return;
    if (current.sa_handler != SIG_DFL || (current.sa_flags & SA_SIGINFO) != 0) return;
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGPIPE, &ignore, nullptr);
}

void signalEventFd(int fd) {
    const std::uint64_t one = 1;
    while (::write(fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void drainEventFd(int fd) {
    std::uint64_t value = 0;
    while (::read(fd, &value, sizeof value) < 0 && errno == EINTR) {
    }
}

// poll() retrying on EINTR; on any other failure waits 10 ms so that callers
// looping on it never spin.
void pollOnce(pollfd* fds, nfds_t count, int timeoutMs = -1) {
    for (;;) {
        if (::poll(fds, count, timeoutMs) >= 0) return;
        if (errno == EINTR) continue;
        for (nfds_t i = 0; i < count; ++i) fds[i].revents = 0;
        rt::sleepFor(std::chrono::milliseconds(10));
        return;
    }
}

}  // namespace

StdioTransport::StdioTransport(int input, int output, std::optional<logging::Logger> logger,
                               std::size_t maxMessageSize)
    : input_(input),
      output_(output),
      maxMessageSize_(maxMessageSize),
      logger_(logger ? std::move(*logger) : discardingLogger("mcp.transport.stdio")),
      stream_(rt::AsyncStream<std::string>::make(kMaxQueuedMessages)) {
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0) throwErrno(errno);
}

StdioTransport::~StdioTransport() {
    disconnect();
    if (reader_.joinable()) reader_.join();
    ::close(wakeFd_);
}

void StdioTransport::connect(std::stop_token) {
    std::lock_guard lifecycle(lifecycleMutex_);
    if (connected_.load(std::memory_order_acquire)) return;
    if (reader_.joinable()) reader_.join();
    drainEventFd(wakeFd_);

    auto& registry = NonBlockingRegistry::shared();
    registry.acquire(input_);
    try {
        registry.acquire(output_);
    } catch (...) {
        registry.release(input_);
        throw;
    }
    ignoreSigpipeIfDefault();
    // A pipe to the client holds a megabyte of answers rather than 64 KB: a
    // large answer then leaves in one write, not one wait for room in each
    // 64 KB. Not a pipe, larger already, or past the system's allowance:
    // left as it is.
    constexpr int kPipeBytes = 1 << 20;
    if (const int size = ::fcntl(output_, F_GETPIPE_SZ); size >= 0 && size < kPipeBytes)
        ::fcntl(output_, F_SETPIPE_SZ, kPipeBytes);
    connected_.store(true, std::memory_order_release);
    logger_.debug(logging::Logger::Site(kLogFile, "connect()", __LINE__), "Transport connected successfully");

    if (streamWanted_) startReaderLocked();
}

void StdioTransport::startReaderLocked() {
    // A finished stream can take nothing more: leave the input unread then.
    if (reader_.joinable() || readingDirect_ || stream_->isFinished()) return;
    reader_ = rt::Task([this](std::stop_token stop) {
        // Waits while the queue is full: the peer's writes then block on the pipe.
        readLines(stop, -1, [&](std::string_view line) { stream_->push(std::string(line), stop); }, [] {});
        // Also after a read error: the consumer sees a plain end.
        stream_->finish();
    });
}

MessageStream StdioTransport::receive() {
    std::lock_guard lifecycle(lifecycleMutex_);
    streamWanted_ = true;
    if (connected_.load(std::memory_order_acquire)) startReaderLocked();
    return stream_;
}

bool StdioTransport::readInto(MessageReader& reader, std::stop_token stop) {
    {
        std::lock_guard lifecycle(lifecycleMutex_);
        if (!connected_.load(std::memory_order_acquire) || streamWanted_ || readingDirect_) return false;
        readingDirect_ = true;
    }
    // poll() does not see the stop token: a stop callback signals this eventfd.
    const int cancelFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    {
        std::optional<std::stop_callback<std::function<void()>>> onStop;
        if (cancelFd >= 0) onStop.emplace(stop, std::function<void()>([cancelFd] { signalEventFd(cancelFd); }));
        readLines(
            stop, cancelFd,
            [&](std::string_view line) {
                // Answers to what was read gather until all of it is handled.
                inputInHand_.store(true, std::memory_order_relaxed);
                // Nobody reads the answers any more: the rest goes unhandled.
                if (outputError_.load(std::memory_order_relaxed) == 0) reader.message(line);
            },
            [&] {
                // While more input is there to read, answers go on gathering:
                // made elsewhere in a flood, they would otherwise leave one
                // write each between two reads.
                pollfd more{input_, POLLIN, 0};
                pollOnce(&more, 1, 0);
                if (more.revents == 0) inputInHand_.store(false);
                reader.drained();
            });
    }
    inputInHand_.store(false);
    if (cancelFd >= 0) ::close(cancelFd);
    std::lock_guard lifecycle(lifecycleMutex_);
    readingDirect_ = false;
    return true;
}

void StdioTransport::disconnect() {
    std::lock_guard lifecycle(lifecycleMutex_);
    if (!connected_.load(std::memory_order_acquire)) return;
    connected_.store(false, std::memory_order_release);
    signalEventFd(wakeFd_);
    stream_->finish();
    {
        // Wakes senders waiting for their turn, then waits for the one that is
        // writing: it gives up at its next wait for room.
        std::unique_lock lock(writeMutex_);
        writeCv_.notify_all();
        ++turnWaiters_;
        writeCv_.wait(lock, [&] { return !writing_; });
        --turnWaiters_;
    }
    if (reader_.joinable()) reader_.join();
    auto& registry = NonBlockingRegistry::shared();
    registry.release(output_);
    registry.release(input_);
    logger_.debug(logging::Logger::Site(kLogFile, "disconnect()", __LINE__), "Transport disconnected");
}

bool StdioTransport::waitReadable(int cancelFd) {
    pollfd fds[3] = {{input_, POLLIN, 0}, {wakeFd_, POLLIN, 0}, {cancelFd, POLLIN, 0}};
    pollOnce(fds, cancelFd >= 0 ? 3 : 2);
    return (fds[1].revents & POLLIN) == 0 && (fds[2].revents & POLLIN) == 0;
}

template <class OnLine, class OnDrained>
void StdioTransport::readLines(std::stop_token stop, int cancelFd, OnLine&& onLine, OnDrained&& onDrained) {
    auto buffer = std::make_unique<char[]>(kReadBufferSize);
    LineSplitter splitter(maxMessageSize_);

    auto deliver = [&](std::string_view line) {
        logger_.trace(logging::Logger::Site(kLogFile, "readLoop()", __LINE__), "Message received", [&] {
            return logging::Logger::Metadata{{"size", std::to_string(line.size())}};
        });
        onLine(line);
    };
    // Its text is gone but for its start: answered under the id found there,
    // or under id null.
    auto refuse = [&](std::string_view start) {
        logger_.error(logging::Logger::Site(kLogFile, "readLoop()", __LINE__), "Message too large", [&] {
            return logging::Logger::Metadata{{"limit", std::to_string(maxMessageSize_)}};
        });
        try {
            send(json::write(encode(AnyResponse(leadingRequestId(start).value_or(ID::null()),
                                                MCPError::invalidRequest(std::string("Message too large")))),
                             {.sortedKeys = true, .escapeSlashes = false}),
                 stop);
        } catch (...) {
            // The output is gone too; the reader ends at its next read.
        }
    };

    try {
        // Waiting first (rather than reading until EAGAIN) costs one call less per
        // message when requests arrive one at a time, and never blocks in read().
        while (connected_.load(std::memory_order_acquire)) {
            if (!waitReadable(cancelFd)) break;
            const ssize_t n = ::read(input_, buffer.get(), kReadBufferSize);
            if (n == 0) {
                logger_.notice(logging::Logger::Site(kLogFile, "readLoop()", __LINE__), "EOF received");
                // A complete last message without its newline is still a message.
                splitter.finish(deliver, refuse);
                break;
            }
            if (n < 0) {
                const int error = errno;
                if (error == EINTR || error == EAGAIN || error == EWOULDBLOCK) continue;
                logger_.error(logging::Logger::Site(kLogFile, "readLoop()", __LINE__), "Read error occurred", [&] {
                    return logging::Logger::Metadata{{"error", PlatformError::fromErrno(error).localizedDescription()}};
                });
                break;
            }
            splitter.feed(std::string_view(buffer.get(), static_cast<std::size_t>(n)), deliver, refuse);
            onDrained();
        }
    } catch (const rt::Cancelled&) {
        // Stopped while waiting for room in the queue.
    }
}

void StdioTransport::waitWritable(std::stop_token& stop) {
    // A stop callback cannot interrupt poll() by itself: it signals an eventfd
    // of this wait. Only made when the wait is really needed.
    int cancelFd = -1;
    std::optional<std::stop_callback<std::function<void()>>> onStop;
    if (stop.stop_possible()) {
        cancelFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (cancelFd >= 0) onStop.emplace(stop, std::function<void()>([cancelFd] { signalEventFd(cancelFd); }));
    }
    pollfd fds[3] = {{output_, POLLOUT, 0}, {wakeFd_, POLLIN, 0}, {cancelFd, POLLIN, 0}};
    // Without an eventfd for the stop token, fall back to waking every 10 ms.
    const bool needsTimeout = stop.stop_possible() && cancelFd < 0;
    pollOnce(fds, cancelFd >= 0 ? 3 : 2, needsTimeout ? 10 : -1);
    onStop.reset();  // waits for a callback running on another thread
    if (cancelFd >= 0) ::close(cancelFd);

    if ((fds[1].revents & POLLIN) != 0 || !connected_.load(std::memory_order_acquire)) throwErrno(ENOTCONN);
    if (stop.stop_requested()) throw rt::Cancelled();
}

void StdioTransport::writeHeldAnd(std::initializer_list<std::string_view> more, std::stop_token& stop) {
    {
        std::lock_guard lock(writeMutex_);
        std::swap(outgoing_, held_);
    }
    // Forgotten however the write ends: a part written twice would corrupt the stream.
    struct Forget {
        Held& written;
        ~Forget() { written.clear(); }
    } forget{outgoing_};
    iovecs_.clear();
    for (const Piece& piece : outgoing_.pieces) {
        const char* data = piece.shared ? piece.shared->data() : outgoing_.text.data() + piece.from;
        iovecs_.push_back({const_cast<char*>(data), piece.shared ? piece.shared->size() : piece.size});
    }
    for (std::string_view part : more) {
        if (!part.empty()) iovecs_.push_back({const_cast<char*>(part.data()), part.size()});
    }
    std::size_t first = 0;
    while (first < iovecs_.size()) {
        const ssize_t n = ::writev(output_, iovecs_.data() + first, static_cast<int>(iovecs_.size() - first));
        if (n < 0) {
            const int error = errno;
            if (error == EINTR) continue;
            if (error == EAGAIN || error == EWOULDBLOCK) {
                waitWritable(stop);
                continue;
            }
            outputFailed(error);
            throwErrno(error);
        }
        auto written = static_cast<std::size_t>(n);
        while (first < iovecs_.size() && written >= iovecs_[first].iov_len) {
            written -= iovecs_[first].iov_len;
            ++first;
        }
        if (first < iovecs_.size()) {
            iovecs_[first].iov_base = static_cast<char*>(iovecs_[first].iov_base) + written;
            iovecs_[first].iov_len -= written;
        }
    }
}

void StdioTransport::Held::append(std::string_view more) {
    if (!pieces.empty() && !pieces.back().shared) {
        pieces.back().size += more.size();
    } else {
        pieces.push_back(Piece{text.size(), more.size(), nullptr});
    }
    text.append(more);
    bytes += more.size();
}

void StdioTransport::Held::clear() {
    text.clear();
    pieces.clear();
    bytes = 0;
}

void StdioTransport::outputFailed(int error) {
    int none = 0;
    if (!outputError_.compare_exchange_strong(none, error)) return;
    logger_.error(logging::Logger::Site(kLogFile, "send(_:)", __LINE__), "Write error occurred", [&] {
        return logging::Logger::Metadata{{"error", PlatformError::fromErrno(error).localizedDescription()}};
    });
    // Nobody reads the answers any more: drop what waits, and stop reading
    // (in this order, so that the reader's own end cannot come first).
    stream_->cancel(std::make_exception_ptr(MCPError::transportError(PlatformError::fromErrno(error))));
    signalEventFd(wakeFd_);
}

void StdioTransport::send(std::string message, std::stop_token stop) { sendParts(message, nullptr, {}, stop); }

void StdioTransport::sendShared(std::string head, std::shared_ptr<const std::string> shared, std::string tail,
                                std::stop_token stop) {
    sendParts(head, shared, tail, stop);
}

void StdioTransport::sendParts(std::string_view head, const std::shared_ptr<const std::string>& shared,
                               std::string_view tail, std::stop_token& stop) {
    if (!connected_.load(std::memory_order_acquire)) throwErrno(ENOTCONN);
    if (const int error = outputError_.load()) throwErrno(error);
    const std::size_t copied = head.size() + tail.size() + 1;
    const std::size_t size = copied + (shared ? shared->size() : 0);
    // While more input waits, answers gather and leave in one write: when the
    // input in hand is handled (its reader calls flush()) or the held text
    // reaches kCoalesceLimit. A lone message goes out at once. Held under the
    // lock alone, also while another sender writes.
    const auto holds = [&] {
        std::lock_guard lock(writeMutex_);
        if (!inputWaits() || held_.text.size() + copied >= kCoalesceLimit || held_.bytes + size >= kGatherLimit ||
            (shared && held_.pieces.size() + 3 > kMaxPieces))
            return false;
        held_.append(head);
        if (shared) {
            held_.pieces.push_back(Piece{0, 0, shared});
            held_.bytes += shared->size();
        }
        held_.append(tail);
        held_.append("\n");
        return true;
    };
    if (holds()) return;
    OutputTurn turn(*this, stop);
    if (holds()) return;
    writeHeldAnd({head, shared ? std::string_view(*shared) : std::string_view(), tail, "\n"}, stop);
}

void StdioTransport::flush(std::stop_token stop) {
    // With the turn: a write under way ends before this returns.
    OutputTurn turn(*this, stop);
    writeHeldAnd({}, stop);
}

StdioTransport::OutputTurn::OutputTurn(StdioTransport& transport, std::stop_token& stop) : self(transport) {
    std::unique_lock lock(self.writeMutex_);
    const auto ready = [&] { return !self.writing_ || !self.connected_.load(std::memory_order_acquire); };
    bool free = ready();
    if (!free) {
        ++self.turnWaiters_;
        free = self.writeCv_.wait(lock, stop, ready);
        --self.turnWaiters_;
    }
    if (!self.connected_.load(std::memory_order_acquire)) throwErrno(ENOTCONN);
    if (!free) throw rt::Cancelled();
    self.writing_ = true;
}

StdioTransport::OutputTurn::~OutputTurn() {
    bool waited;
    {
        std::lock_guard lock(self.writeMutex_);
        self.writing_ = false;
        waited = self.turnWaiters_ > 0;
    }
    // A wake-up costs a lock of the condition's own: only for someone waiting.
    if (waited) self.writeCv_.notify_all();
}

}  // namespace mcp
