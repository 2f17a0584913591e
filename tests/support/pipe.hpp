// A pipe for tests that talk to a file descriptor: both ends closed at the
// end, whole writes, and reads bounded in time.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <chrono>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace testsupport {
struct Pipe {
    int readEnd = -1;
    int writeEnd = -1;

    Pipe() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
        readEnd = fds[0];
        writeEnd = fds[1];
    }
    ~Pipe() {
        closeRead();
        closeWrite();
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;

    void closeRead() {
        if (readEnd >= 0) ::close(readEnd);
        readEnd = -1;
    }
    void closeWrite() {
        if (writeEnd >= 0) ::close(writeEnd);
        writeEnd = -1;
    }
};

inline bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// For sockets: a peer that is gone makes it false, not a SIGPIPE.
inline bool sendAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// Reads until `count` bytes came, the end of the input or the time-out.
inline std::string readFor(int fd, std::size_t count,
                           std::chrono::milliseconds timeout = std::chrono::seconds(10),
                           std::size_t chunk = 65536) {
    std::string out;
    std::vector<char> buffer(chunk);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (out.size() < count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(std::clamp<long long>(left.count(), 0, 50))) <= 0) {
            if (left.count() <= 0) break;
            continue;
        }
        const ssize_t n = ::read(fd, buffer.data(), std::min(chunk, count - out.size()));
        if (n > 0) out.append(buffer.data(), static_cast<std::size_t>(n));
        if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) break;
    }
    return out;
}

inline std::string readAvailable(int fd) { return readFor(fd, SIZE_MAX, std::chrono::milliseconds(0)); }

inline int bytesQueued(int fd) {
    int n = 0;
    ::ioctl(fd, FIONREAD, &n);
    return n;
}

}  // namespace testsupport
