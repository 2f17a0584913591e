#include "app/platform/diagnostic_sink.hpp"

#include <cerrno>
#include <chrono>
#include <poll.h>
#include <unistd.h>

namespace app::platform {

std::string diagnosticLine(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 1);
    for (char c : text) {
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else {
            out += c;
        }
    }
    return out;
}

void StderrDiagnosticSink::write(std::string_view line) {
    std::string text = diagnosticLine(line);
    text += '\n';
    // The descriptor may be non-blocking (shared with the protocol's stdio);
    // wait for room with poll, but never hang the caller on a stuck reader.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    std::lock_guard lock(mutex_);
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd_, text.data() + done, text.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return;
            pollfd p{fd_, POLLOUT, 0};
            ::poll(&p, 1, static_cast<int>(left.count()));
            continue;
        }
        return;  // closed or broken: nowhere left to report to
    }
}

}  // namespace app::platform
