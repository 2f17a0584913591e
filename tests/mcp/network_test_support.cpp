#include "mcp/network_test_support.hpp"
#include "support/pipe.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace networktest {
void FakeNetworkConnection::changed() { cv_.notify_all(); }

void FakeNetworkConnection::scriptStart(std::vector<State> states) {
    std::lock_guard lock(mutex_);
    startScripts_.push_back(std::move(states));
}

void FakeNetworkConnection::deliver(const State& state) {
    std::lock_guard delivery(deliveryMutex_);
    StateUpdateHandler handler;
    {
        std::lock_guard lock(mutex_);
        state_ = state;
        handler = handler_;
    }
    changed();
    if (handler) handler(state);
}

void FakeNetworkConnection::push(ReceiveResult result) {
    {
        std::lock_guard lock(mutex_);
        receives_.push_back(std::move(result));
    }
    changed();
}

void FakeNetworkConnection::failNextSend(int errnoValue) {
    std::lock_guard lock(mutex_);
    sendFailures_.push_back(errnoValue);
}

int FakeNetworkConnection::locked(const int& count) const {
    std::lock_guard lock(mutex_);
    return count;
}

State FakeNetworkConnection::state() const {
    std::lock_guard lock(mutex_);
    return state_;
}

FakeNetworkConnection::StateUpdateHandler FakeNetworkConnection::stateUpdateHandler() const {
    std::lock_guard lock(mutex_);
    return handler_;
}

void FakeNetworkConnection::setStateUpdateHandler(StateUpdateHandler handler) {
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
}

void FakeNetworkConnection::start() {
    std::vector<State> script;
    {
        std::lock_guard lock(mutex_);
        ++starts_;
        if (!startScripts_.empty()) {
            script = std::move(startScripts_.front());
            startScripts_.pop_front();
        }
    }
    changed();
    for (const auto& state : script) deliver(state);
}

void FakeNetworkConnection::cancel() {
    std::lock_guard delivery(deliveryMutex_);
    StateUpdateHandler handler;
    bool wasCancelled = false;
    {
        std::lock_guard lock(mutex_);
        ++cancels_;
        ++cancelEpoch_;
        receives_.clear();  // what the old connection had not handed out is gone
        wasCancelled = state_.kind() == State::Kind::cancelled;
        state_ = State::cancelled();
        handler = handler_;
    }
    changed();
    if (!wasCancelled && handler) handler(State::cancelled());
}

std::optional<mcp::PlatformError> FakeNetworkConnection::send(std::string_view, bool, std::stop_token) {
    std::optional<mcp::PlatformError> result;
    {
        std::lock_guard lock(mutex_);
        if (!sendFailures_.empty()) {
            result = mcp::PlatformError::fromErrno(sendFailures_.front());
            sendFailures_.pop_front();
        }
    }
    changed();
    return result;
}

mcp::NetworkConnection::ReceiveResult FakeNetworkConnection::receive(std::size_t, std::int64_t,
                                                                      std::stop_token stop) {
    std::unique_lock lock(mutex_);
    if (state_.kind() == State::Kind::cancelled) return {std::nullopt, false, mcp::PlatformError::fromErrno(ECANCELED)};
    const auto epoch = cancelEpoch_;
    ++waitingReceives_;
    cv_.notify_all();
    const bool woken = cv_.wait(lock, stop, [&] { return !receives_.empty() || cancelEpoch_ != epoch; });
    --waitingReceives_;
    if (!woken) throw rt::Cancelled();
    if (cancelEpoch_ != epoch) return {std::nullopt, false, mcp::PlatformError::fromErrno(ECANCELED)};
    auto result = std::move(receives_.front());
    receives_.pop_front();
    return result;
}

LoopbackListener::LoopbackListener(std::uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) throw std::runtime_error("socket failed");
    const int one = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd_, 8) != 0) {
        const int error = errno;
        ::close(fd_);
        throw std::runtime_error(std::string("listen failed: ") + std::strerror(error));
    }
    socklen_t size = sizeof address;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size);
    port_ = ntohs(address.sin_port);
}

LoopbackListener::~LoopbackListener() { ::close(fd_); }

int LoopbackListener::accept(rt::Clock::duration timeout) {
    pollfd p{fd_, POLLIN, 0};
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(timeout).count();
    if (::poll(&p, 1, static_cast<int>(ms)) <= 0) return -1;
    return ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
}

RawPeer::~RawPeer() {
    if (fd_ >= 0) ::close(fd_);
}

bool RawPeer::write(std::string_view bytes) { return testsupport::sendAll(fd_, bytes); }

std::optional<std::vector<std::string>> RawPeer::readLines(std::size_t count, rt::Clock::duration timeout) {
    const auto deadline = rt::Clock::now() + timeout;
    std::vector<std::string> lines;
    for (;;) {
        for (auto newline = pending_.find('\n'); newline != std::string::npos; newline = pending_.find('\n')) {
            lines.push_back(pending_.substr(0, newline));
            pending_.erase(0, newline + 1);
        }
        if (lines.size() >= count) return lines;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - rt::Clock::now()).count();
        if (left <= 0) return std::nullopt;
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0) return std::nullopt;
        char buffer[4096];
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n <= 0) return std::nullopt;
        pending_.append(buffer, static_cast<std::size_t>(n));
    }
}

void RawPeer::reset() {
    linger option{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &option, sizeof option);
    ::close(fd_);
    fd_ = -1;
}

}  // namespace networktest
