#include "support/scripted_http_server.hpp"
#include "support/pipe.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace testsupport {
namespace {
constexpr std::size_t kMaxHead = 1 << 20;

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

const char* reason(int status) {
    switch (status) {
        case 200: return "OK";
        case 202: return "Accepted";
        case 204: return "No Content";
        case 400: return "Bad Request";
        case 401: return "Unauthorized";
        case 403: return "Forbidden";
        case 404: return "Not Found";
        case 405: return "Method Not Allowed";
        case 500: return "Internal Server Error";
        default: return "Status";
    }
}

std::string head(int status, const HeaderList& headers) {
    std::string out = "HTTP/1.1 " + std::to_string(status) + " " + reason(status) + "\r\n";
    for (const auto& [name, value] : headers) out += name + ": " + value + "\r\n";
    return out;
}

}  // namespace

std::optional<std::string> RecordedRequest::header(std::string_view name) const {
    for (const auto& [n, v] : headers)
        if (equalsIgnoringCase(n, name)) return v;
    return std::nullopt;
}

bool Exchange::respond(int status, const HeaderList& headers, std::string_view body) {
    std::string out = head(status, headers);
    out += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
    out += body;
    complete_ = sendAll(fd_, out);
    return complete_;
}

bool Exchange::startChunked(int status, const HeaderList& headers) {
    return sendAll(fd_, head(status, headers) + "Transfer-Encoding: chunked\r\n\r\n");
}

bool Exchange::sendChunk(std::string_view data) {
    if (data.empty()) return true;  // an empty chunk would end the body
    char size[32];
    std::snprintf(size, sizeof size, "%zx\r\n", data.size());
    std::string out = size;
    out.append(data).append("\r\n");
    return sendAll(fd_, out);
}

bool Exchange::endChunked() {
    complete_ = sendAll(fd_, "0\r\n\r\n");
    return complete_;
}

bool Exchange::sendRaw(std::string_view bytes) { return sendAll(fd_, bytes); }

void Exchange::closeConnection() {
    ::shutdown(fd_, SHUT_RDWR);
    closed_ = true;
}

bool Exchange::waitForClientClose(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    char scratch[4096];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p{fd_, POLLIN | POLLRDHUP, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        if (p.revents & (POLLHUP | POLLERR)) return true;
        const ssize_t n = ::recv(fd_, scratch, sizeof scratch, 0);
        if (n == 0) return true;
        if (n < 0 && errno != EINTR && errno != EAGAIN) return true;
    }
}

ScriptedHttpServer::ScriptedHttpServer(Handler handler) : handler_(std::move(handler)) {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listenFd_, 64) != 0 ||
        ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        const std::string error = std::strerror(errno);
        ::close(listenFd_);
        throw std::runtime_error("bind/listen on 127.0.0.1: " + error);
    }
    port_ = ntohs(address.sin_port);
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC);
    acceptThread_ = std::thread([this] { acceptLoop(); });
}

ScriptedHttpServer::~ScriptedHttpServer() {
    stop_.request_stop();
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(wakeFd_, &one, sizeof one);
    acceptThread_.join();
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(mutex_);
        for (int fd : connections_) ::shutdown(fd, SHUT_RDWR);
        threads.swap(threads_);
    }
    for (auto& t : threads) t.join();
    ::close(listenFd_);
    ::close(wakeFd_);
}

std::string ScriptedHttpServer::url(std::string_view path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + std::string(path);
}

std::vector<RecordedRequest> ScriptedHttpServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::vector<RecordedRequest> ScriptedHttpServer::waitForRequests(std::size_t count,
                                                                 std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, timeout, [&] { return requests_.size() >= count; })) {
        throw std::runtime_error("expected " + std::to_string(count) + " requests, got " +
                                 std::to_string(requests_.size()));
    }
    return {requests_.begin(), requests_.begin() + static_cast<std::ptrdiff_t>(count)};
}

std::size_t ScriptedHttpServer::connectionCount() const {
    std::lock_guard lock(mutex_);
    return connectionCount_;
}

void ScriptedHttpServer::acceptLoop() {
    for (;;) {
        pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents) return;
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        std::lock_guard lock(mutex_);
        if (stop_.stop_requested()) {
            ::close(fd);
            return;
        }
        connections_.push_back(fd);
        ++connectionCount_;
        threads_.emplace_back([this, fd] { serve(fd); });
    }
}

std::optional<RecordedRequest> ScriptedHttpServer::readRequest(int fd, std::string& pending) {
    auto fill = [&]() -> bool {
        for (;;) {
            pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                return false;
            }
            if (fds[1].revents) return false;
            char buffer[16384];
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            pending.append(buffer, static_cast<std::size_t>(n));
            return true;
        }
    };
    std::size_t end;
    while ((end = pending.find("\r\n\r\n")) == std::string::npos)
        if (pending.size() > kMaxHead || !fill()) return std::nullopt;
    RecordedRequest request;
    std::string_view headText(pending.data(), end);
    const auto firstLineEnd = headText.find("\r\n");
    const std::string_view requestLine = headText.substr(0, firstLineEnd);
    const auto sp1 = requestLine.find(' ');
    const auto sp2 = requestLine.find(' ', sp1 + 1);
    if (sp1 == std::string_view::npos || sp2 == std::string_view::npos) return std::nullopt;
    request.method = std::string(requestLine.substr(0, sp1));
    request.target = std::string(requestLine.substr(sp1 + 1, sp2 - sp1 - 1));
    std::size_t pos = firstLineEnd == std::string_view::npos ? headText.size() : firstLineEnd + 2;
    while (pos < headText.size()) {
        auto lineEnd = headText.find("\r\n", pos);
        if (lineEnd == std::string_view::npos) lineEnd = headText.size();
        const std::string_view line = headText.substr(pos, lineEnd - pos);
        const auto colon = line.find(':');
        if (colon != std::string_view::npos)
            request.headers.emplace_back(std::string(trim(line.substr(0, colon))), std::string(trim(line.substr(colon + 1))));
        pos = lineEnd + 2;
    }
    pending.erase(0, end + 4);
    std::size_t length = 0;
    if (const auto cl = request.header("Content-Length")) length = std::stoul(*cl);
    while (pending.size() < length)
        if (!fill()) return std::nullopt;
    request.body = pending.substr(0, length);
    pending.erase(0, length);
    return request;
}

void ScriptedHttpServer::serve(int fd) {
    std::string pending;
    for (;;) {
        auto request = readRequest(fd, pending);
        if (!request) break;
        std::size_t index;
        {
            std::lock_guard lock(mutex_);
            index = requests_.size();
            requests_.push_back(*request);
        }
        changed_.notify_all();
        Exchange exchange(fd, std::move(*request), index, stop_.get_token());
        try {
            handler_(exchange);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "ScriptedHttpServer: handler failed: %s\n", e.what());
            break;
        }
        if (!exchange.complete_ || exchange.closed_) break;
    }
    {
        std::lock_guard lock(mutex_);
        std::erase(connections_, fd);
    }
    ::close(fd);
}

}  // namespace testsupport
