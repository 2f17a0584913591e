#include "mcp/network_test_support.hpp"

#include "mcp/network_configuration.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace networktest {

// ---- LogRecorder ----------------------------------------------------------------

namespace {

class RecorderHandler final : public logging::LogHandler {
public:
    explicit RecorderHandler(LogRecorder* recorder) : recorder_(recorder) {}
    std::unique_ptr<LogHandler> clone() const override { return std::make_unique<RecorderHandler>(*this); }

    using LogHandler::log;
    void log(logging::Logger::Level level, const logging::Logger::Message& message,
             const std::optional<logging::Logger::Metadata>& metadata, std::string_view source, std::string_view,
             std::string_view function, std::int64_t) const override {
        recorder_->record({level, message.value, metadata, std::string(source), std::string(function)});
    }
    std::optional<logging::Logger::MetadataValue> metadataItem(std::string_view) const override {
        return std::nullopt;
    }
    void setMetadataItem(const std::string&, std::optional<logging::Logger::MetadataValue>) override {}
    logging::Logger::Metadata metadata() const override { return {}; }
    void setMetadata(logging::Logger::Metadata) override {}
    logging::Logger::Level logLevel() const override { return logging::Logger::Level::trace; }
    void setLogLevel(logging::Logger::Level) override {}

private:
    LogRecorder* recorder_;
};

}  // namespace

logging::Logger LogRecorder::logger() {
    return logging::Logger("mcp.transport.network", logging::Logger::OneArgFactory([this](const std::string&) {
                               return logging::AnyLogHandler(RecorderHandler(this));
                           }));
}

void LogRecorder::record(LogLine line) {
    {
        std::lock_guard lock(mutex_);
        lines_.push_back(std::move(line));
    }
    cv_.notify_all();
}

std::vector<LogLine> LogRecorder::lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
}

std::vector<std::string> LogRecorder::messages() const {
    std::vector<std::string> out;
    for (const auto& line : lines()) out.push_back(line.message);
    return out;
}

std::vector<std::string> LogRecorder::describe(logging::Logger::Level level) const {
    std::vector<std::string> out;
    for (const auto& line : lines()) {
        if (line.level >= level) out.push_back(std::string(line.level.rawValue()) + " " + line.message);
    }
    return out;
}

std::size_t LogRecorder::count(const std::string& message) const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(
        std::count_if(lines_.begin(), lines_.end(), [&](const LogLine& l) { return l.message == message; }));
}

bool LogRecorder::waitFor(const std::string& message, std::size_t times, rt::Clock::duration timeout) const {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, timeout, [&] {
        return static_cast<std::size_t>(std::count_if(lines_.begin(), lines_.end(), [&](const LogLine& l) {
                   return l.message == message;
               })) >= times;
    });
}

// ---- FakeNetworkConnection ------------------------------------------------------

void FakeNetworkConnection::changed() {
    {
        std::lock_guard lock(mutex_);
        ++version_;
    }
    cv_.notify_all();
}

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

void FakeNetworkConnection::pushChunk(std::string bytes) {
    {
        std::lock_guard lock(mutex_);
        receives_.push_back({std::move(bytes), false, std::nullopt});
    }
    changed();
}

void FakeNetworkConnection::pushEmpty() {
    {
        std::lock_guard lock(mutex_);
        receives_.push_back({std::string(), false, std::nullopt});
    }
    changed();
}

void FakeNetworkConnection::pushEnd() {
    {
        std::lock_guard lock(mutex_);
        receives_.push_back({std::nullopt, true, std::nullopt});
    }
    changed();
}

void FakeNetworkConnection::pushError(int errnoValue) {
    {
        std::lock_guard lock(mutex_);
        receives_.push_back({std::nullopt, false, mcp::PlatformError::fromErrno(errnoValue)});
    }
    changed();
}

void FakeNetworkConnection::failNextSend(int errnoValue) {
    std::lock_guard lock(mutex_);
    sendFailures_.push_back(errnoValue);
}

std::vector<std::string> FakeNetworkConnection::sent() const {
    std::lock_guard lock(mutex_);
    return sent_;
}

std::size_t FakeNetworkConnection::heartbeatsSent() const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count_if(sent_.begin(), sent_.end(), [](const std::string& s) {
        return s.size() == mcp::NetworkHeartbeat::frameSize && mcp::NetworkHeartbeat::isHeartbeat(s);
    }));
}

int FakeNetworkConnection::startCount() const {
    std::lock_guard lock(mutex_);
    return starts_;
}

int FakeNetworkConnection::cancelCount() const {
    std::lock_guard lock(mutex_);
    return cancels_;
}

std::vector<std::int64_t> FakeNetworkConnection::receiveMaximums() const {
    std::lock_guard lock(mutex_);
    return receiveMaximums_;
}

bool FakeNetworkConnection::receiveWaiting() const {
    std::lock_guard lock(mutex_);
    return waitingReceives_ > 0;
}

bool FakeNetworkConnection::waitUntil(const std::function<bool()>& pred, rt::Clock::duration timeout) const {
    const auto deadline = rt::Clock::now() + timeout;
    std::unique_lock lock(mutex_);
    for (;;) {
        const auto seen = version_;
        lock.unlock();
        if (pred()) return true;
        lock.lock();
        if (!cv_.wait_until(lock, deadline, [&] { return version_ != seen; })) {
            lock.unlock();
            return pred();
        }
    }
}

bool FakeNetworkConnection::waitForStarts(int count, rt::Clock::duration timeout) const {
    return waitUntil([&] { return startCount() >= count; }, timeout);
}

bool FakeNetworkConnection::waitForSends(std::size_t count, rt::Clock::duration timeout) const {
    return waitUntil([&] { return sent().size() >= count; }, timeout);
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

std::optional<mcp::PlatformError> FakeNetworkConnection::send(std::string_view content, bool, std::stop_token) {
    std::optional<mcp::PlatformError> result;
    {
        std::lock_guard lock(mutex_);
        if (!sendFailures_.empty()) {
            result = mcp::PlatformError::fromErrno(sendFailures_.front());
            sendFailures_.pop_front();
        } else {
            sent_.emplace_back(content);
        }
    }
    changed();
    return result;
}

mcp::NetworkConnection::ReceiveResult FakeNetworkConnection::receive(std::size_t, std::int64_t maximumLength,
                                                                      std::stop_token stop) {
    std::unique_lock lock(mutex_);
    receiveMaximums_.push_back(maximumLength);
    if (state_.kind() == State::Kind::cancelled) {
        return {std::nullopt, false, mcp::PlatformError::fromErrno(ECANCELED)};
    }
    const auto epoch = cancelEpoch_;
    ++waitingReceives_;
    ++version_;
    cv_.notify_all();
    const bool woken = cv_.wait(lock, stop, [&] { return !receives_.empty() || cancelEpoch_ != epoch; });
    --waitingReceives_;
    ++version_;
    if (!woken) throw rt::Cancelled();
    if (cancelEpoch_ != epoch) return {std::nullopt, false, mcp::PlatformError::fromErrno(ECANCELED)};
    auto result = std::move(receives_.front());
    receives_.pop_front();
    return result;
}

// ---- LoopbackListener -----------------------------------------------------------

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

LoopbackListener::~LoopbackListener() { close(); }

void LoopbackListener::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

int LoopbackListener::accept(rt::Clock::duration timeout) {
    pollfd p{fd_, POLLIN, 0};
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(timeout).count();
    if (::poll(&p, 1, static_cast<int>(ms)) <= 0) return -1;
    return ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
}

// ---- RawPeer --------------------------------------------------------------------

RawPeer::~RawPeer() {
    if (fd_ >= 0) ::close(fd_);
}

bool RawPeer::write(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

std::optional<std::vector<std::string>> RawPeer::readLines(std::size_t count, rt::Clock::duration timeout) {
    const auto deadline = rt::Clock::now() + timeout;
    std::vector<std::string> lines;
    for (;;) {
        // Heartbeat frames sit between lines, never inside one.
        for (;;) {
            if (pending_.size() >= mcp::NetworkHeartbeat::frameSize && mcp::NetworkHeartbeat::isHeartbeat(pending_)) {
                pending_.erase(0, mcp::NetworkHeartbeat::frameSize);
                continue;
            }
            if (mcp::NetworkHeartbeat::isHeartbeat(pending_)) break;
            const auto newline = pending_.find('\n');
            if (newline == std::string::npos) break;
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
