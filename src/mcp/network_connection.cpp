#include "mcp/network_connection.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <vector>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace mcp {

namespace {

// Large enough that a burst of messages costs few reads.
constexpr std::size_t kReadSize = 64 * 1024;

void signalEventFd(int fd) {
    const std::uint64_t one = 1;
    while (::write(fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

bool isReadable(const pollfd& p) { return (p.revents & (POLLIN | POLLERR | POLLHUP)) != 0; }

// Lets a blocking poll() wake up when a stop token is triggered: an eventfd
// signalled by a stop callback. Made only when stop is possible.
class StopWaker {
public:
    explicit StopWaker(const std::stop_token& stop) {
        if (!stop.stop_possible()) return;
        fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (fd_ >= 0) callback_.emplace(stop, Signal{fd_});
    }
    ~StopWaker() {
        callback_.reset();  // waits for a callback running on another thread
        if (fd_ >= 0) ::close(fd_);
    }
    StopWaker(const StopWaker&) = delete;
    StopWaker& operator=(const StopWaker&) = delete;

    int fd() const { return fd_; }

private:
    struct Signal {
        int fd;
        void operator()() const { signalEventFd(fd); }
    };
    int fd_ = -1;
    std::optional<std::stop_callback<Signal>> callback_;
};

// poll() retrying on EINTR.
int pollRetrying(pollfd* fds, nfds_t count, int timeoutMs) {
    for (;;) {
        const int n = ::poll(fds, count, timeoutMs);
        if (n >= 0 || errno != EINTR) return n;
    }
}

}  // namespace

// One socket's life: from a start to the next start. Operations hold it by
// shared pointer, so its descriptors close only after the last one returned.
struct TcpConnection::Session {
    std::mutex mutex;
    int fd = -1;
    int wakeFd = -1;  // readable once cancelled
    bool cancelled = false;

    Session() { wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK); }
    ~Session() {
        if (fd >= 0) ::close(fd);
        if (wakeFd >= 0) ::close(wakeFd);
    }

    // False when cancelled first: the socket is closed then.
    bool adopt(int socket) {
        std::lock_guard lock(mutex);
        if (cancelled) {
            ::close(socket);
            return false;
        }
        fd = socket;
        return true;
    }
    void dropSocket() {
        std::lock_guard lock(mutex);
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
    void cancel() {
        std::lock_guard lock(mutex);
        if (cancelled) return;
        cancelled = true;
        if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
        if (wakeFd >= 0) signalEventFd(wakeFd);
    }
    bool isCancelled() {
        std::lock_guard lock(mutex);
        return cancelled;
    }
};

TcpConnection::TcpConnection(std::string host, std::uint16_t port, std::chrono::milliseconds connectTimeout)
    : host_(std::move(host)), port_(port), connectTimeout_(connectTimeout) {}

TcpConnection::TcpConnection(int connectedSocket) : accepted_(true), adoptedSocket_(connectedSocket) {
    const int flags = ::fcntl(connectedSocket, F_GETFL);
    if (flags >= 0) ::fcntl(connectedSocket, F_SETFL, flags | O_NONBLOCK);
    const int one = 1;
    ::setsockopt(connectedSocket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

TcpConnection::~TcpConnection() {
    std::shared_ptr<Session> session;
    {
        std::lock_guard lock(mutex_);
        session = session_;
    }
    if (session) session->cancel();
    connector_.join();
    if (adoptedSocket_ >= 0) ::close(adoptedSocket_);
}

NetworkConnection::State TcpConnection::state() const {
    std::lock_guard lock(mutex_);
    return state_;
}

NetworkConnection::StateUpdateHandler TcpConnection::stateUpdateHandler() const {
    std::lock_guard lock(mutex_);
    return handler_;
}

void TcpConnection::setStateUpdateHandler(StateUpdateHandler handler) {
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
}

void TcpConnection::transition(State next, std::uint64_t run, bool onlyFromReady) {
    std::lock_guard delivery(deliveryMutex_);
    StateUpdateHandler handler;
    {
        std::lock_guard lock(mutex_);
        if (run != run_ || state_.kind() == State::Kind::cancelled) return;
        if (onlyFromReady && state_.kind() != State::Kind::ready) return;
        state_ = next;
        handler = handler_;
    }
    if (handler) handler(next);
}

void TcpConnection::start() {
    std::lock_guard starting(startMutex_);
    {
        std::lock_guard lock(mutex_);
        const auto kind = state_.kind();
        if (kind == State::Kind::preparing || kind == State::Kind::ready || kind == State::Kind::waiting) return;
    }
    // The previous connector has ended or was woken by cancel().
    connector_.join();

    auto session = std::make_shared<Session>();
    std::uint64_t run = 0;
    int adopted = -1;
    bool reopenAdopted = false;
    {
        std::lock_guard lock(mutex_);
        run = ++run_;
        session_ = session;
        state_ = State::preparing();
        if (accepted_) {
            adopted = std::exchange(adoptedSocket_, -1);
            reopenAdopted = adopted < 0;
        }
    }
    if (reopenAdopted) {
        transition(State::failed(PlatformError::fromErrno(ENOTCONN)), run);
        return;
    }
    if (adopted >= 0) {
        if (session->adopt(adopted)) transition(State::ready(), run);
        return;
    }
    {
        // The state was set above; this only delivers it.
        std::lock_guard delivery(deliveryMutex_);
        StateUpdateHandler handler;
        {
            std::lock_guard lock(mutex_);
            if (run != run_ || state_.kind() != State::Kind::preparing) return;
            handler = handler_;
        }
        if (handler) handler(State::preparing());
    }
    connector_ = rt::Task([this, session, run](std::stop_token) { connectBody(session, run); });
}

void TcpConnection::connectBody(const std::shared_ptr<Session>& session, std::uint64_t run) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const int resolved = ::getaddrinfo(host_.c_str(), std::to_string(port_).c_str(), &hints, &found);
    if (resolved != 0) {
        const int code = resolved == EAI_SYSTEM ? errno : resolved;
        transition(State::failed(resolved == EAI_SYSTEM ? PlatformError::fromErrno(code)
                                                        : PlatformError("EAI", code, ::gai_strerror(resolved))),
                   run);
        return;
    }
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> addresses(found, &::freeaddrinfo);

    const auto deadline = rt::Clock::now() + connectTimeout_;
    int lastError = EHOSTUNREACH;
    for (const addrinfo* address = found; address; address = address->ai_next) {
        const int fd = ::socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                                address->ai_protocol);
        if (fd < 0) {
            lastError = errno;
            continue;
        }
        if (!session->adopt(fd)) return;  // cancelled: cancel() reported it

        int error = 0;
        if (::connect(fd, address->ai_addr, address->ai_addrlen) != 0) error = errno;
        if (error == EINPROGRESS || error == EINTR) {
            error = 0;
            for (;;) {
                const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - rt::Clock::now());
                if (left.count() <= 0) {
                    error = ETIMEDOUT;
                    break;
                }
                pollfd fds[2] = {{fd, POLLOUT, 0}, {session->wakeFd, POLLIN, 0}};
                const int n = pollRetrying(
                    fds, 2, static_cast<int>(std::min<std::int64_t>(left.count(), std::numeric_limits<int>::max())));
                if (n < 0) {
                    error = errno;
                    break;
                }
                if (fds[1].revents != 0 || session->isCancelled()) return;
                if (fds[0].revents != 0) {
                    socklen_t size = sizeof error;
                    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = errno;
                    break;
                }
            }
        }
        if (error == 0) {
            const int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            transition(State::ready(), run);
            return;
        }
        lastError = error;
        session->dropSocket();
        if (session->isCancelled()) return;
    }
    transition(State::failed(PlatformError::fromErrno(lastError)), run);
}

void TcpConnection::cancel() {
    std::lock_guard delivery(deliveryMutex_);
    std::shared_ptr<Session> session;
    StateUpdateHandler handler;
    {
        std::lock_guard lock(mutex_);
        if (state_.kind() == State::Kind::cancelled) return;
        state_ = State::cancelled();
        session = session_;
        handler = handler_;
    }
    if (session) session->cancel();
    {
        // Wakes a send waiting for its turn.
        std::lock_guard lock(writeMutex_);
    }
    writeCv_.notify_all();
    if (handler) handler(State::cancelled());
}

std::shared_ptr<TcpConnection::Session> TcpConnection::readySession(std::uint64_t& run) const {
    std::lock_guard lock(mutex_);
    if (state_.kind() != State::Kind::ready) return nullptr;
    run = run_;
    return session_;
}

std::optional<PlatformError> TcpConnection::send(std::string_view content, bool, std::stop_token stop) {
    {
        std::unique_lock lock(writeMutex_);
        const bool free = writeCv_.wait(lock, stop, [&] { return !writing_ || state().kind() != State::Kind::ready; });
        if (!free) throw rt::Cancelled();
        if (state().kind() != State::Kind::ready) return PlatformError::fromErrno(ENOTCONN);
        writing_ = true;
    }
    struct Release {
        TcpConnection* self;
        ~Release() {
            {
                std::lock_guard lock(self->writeMutex_);
                self->writing_ = false;
            }
            self->writeCv_.notify_all();
        }
    } release{this};

    std::uint64_t run = 0;
    const auto session = readySession(run);
    if (!session) return PlatformError::fromErrno(ENOTCONN);
    const int fd = session->fd;

    std::optional<StopWaker> waker;
    std::size_t written = 0;
    while (written < content.size()) {
        const ssize_t n = ::send(fd, content.data() + written, content.size() - written, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) {
            written += static_cast<std::size_t>(n);
            continue;
        }
        const int error = errno;
        if (error == EINTR) continue;
        if (error != EAGAIN && error != EWOULDBLOCK) {
            auto failure = PlatformError::fromErrno(error);
            transition(State::failed(failure), run, true);
            return failure;
        }
        // Stop counts only until the first byte is out.
        const bool honourStop = written == 0 && stop.stop_possible();
        if (honourStop && !waker) waker.emplace(stop);
        if (honourStop && stop.stop_requested()) throw rt::Cancelled();
        pollfd fds[3] = {{fd, POLLOUT, 0}, {session->wakeFd, POLLIN, 0}, {honourStop ? waker->fd() : -1, POLLIN, 0}};
        // Without an eventfd for the token, wake now and then to look at it.
        const bool needsTick = honourStop && waker->fd() < 0;
        pollRetrying(fds, 3, needsTick ? 50 : -1);
        if (fds[1].revents != 0) return PlatformError::fromErrno(ECANCELED);
        if (honourStop && stop.stop_requested()) throw rt::Cancelled();
    }
    return std::nullopt;
}

NetworkConnection::ReceiveResult TcpConnection::receive(std::size_t minimumIncompleteLength,
                                                        std::int64_t maximumLength, std::stop_token stop) {
    std::uint64_t run = 0;
    const auto session = readySession(run);
    if (!session) return {std::nullopt, false, PlatformError::fromErrno(ENOTCONN)};
    const int fd = session->fd;

    const std::size_t limit = maximumLength < 1 ? 1 : static_cast<std::size_t>(std::min<std::uint64_t>(
                                                           static_cast<std::uint64_t>(maximumLength), kReadSize));
    const std::size_t wanted = std::max<std::size_t>(1, std::min(minimumIncompleteLength, limit));
    std::string content;
    StopWaker waker(stop);
    const bool needsTick = stop.stop_possible() && waker.fd() < 0;
    for (;;) {
        if (stop.stop_requested()) throw rt::Cancelled();
        pollfd fds[3] = {{fd, POLLIN, 0}, {session->wakeFd, POLLIN, 0}, {waker.fd(), POLLIN, 0}};
        pollRetrying(fds, 3, needsTick ? 50 : -1);
        if (fds[1].revents != 0) return {std::nullopt, false, PlatformError::fromErrno(ECANCELED)};
        if (stop.stop_requested()) throw rt::Cancelled();
        if (!isReadable(fds[0])) continue;

        const std::size_t before = content.size();
        content.resize(before + (limit - before));
        const ssize_t n = ::recv(fd, content.data() + before, limit - before, MSG_DONTWAIT);
        if (n > 0) {
            content.resize(before + static_cast<std::size_t>(n));
            if (content.size() >= wanted || content.size() >= limit) return {std::move(content), false, std::nullopt};
            continue;
        }
        content.resize(before);
        if (n == 0) {
            if (content.empty()) return {std::nullopt, true, std::nullopt};
            return {std::move(content), true, std::nullopt};
        }
        const int error = errno;
        if (error == EINTR || error == EAGAIN || error == EWOULDBLOCK) continue;
        auto failure = PlatformError::fromErrno(error);
        transition(State::failed(failure), run, true);
        return {std::nullopt, false, std::move(failure)};
    }
}

}  // namespace mcp
