#include "app/platform/directory_watch.hpp"

#include "app/platform/platform_error.hpp"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace app::platform {

DirectoryWatch::DirectoryWatch(std::string directory, std::string name, std::function<void()> onChange)
    : name_(std::move(name)), onChange_(std::move(onChange)) {
    std::error_code ec;
    std::filesystem::create_directories(directory, ec);
    inotify_ = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (inotify_ < 0) throw errnoError("watch " + directory, errno);
    // Writers replace the file by rename; editors may also write it in place.
    constexpr std::uint32_t kMask = IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE | IN_DELETE | IN_MOVED_FROM;
    if (::inotify_add_watch(inotify_, directory.c_str(), kMask) < 0) {
        int error = errno;
        ::close(inotify_);
        throw errnoError("watch " + directory, error);
    }
    wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_ < 0) {
        int error = errno;
        ::close(inotify_);
        throw errnoError("watch " + directory, error);
    }
    thread_ = std::jthread([this](std::stop_token stop) { loop(stop); });
}

DirectoryWatch::~DirectoryWatch() {
    thread_.request_stop();
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wake_, &one, sizeof one);
    if (thread_.joinable()) thread_.join();
    ::close(wake_);
    ::close(inotify_);
}

void DirectoryWatch::loop(std::stop_token stop) {
    alignas(inotify_event) char buffer[16 * 1024];
    while (!stop.stop_requested()) {
        pollfd fds[2] = {{inotify_, POLLIN, 0}, {wake_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (stop.stop_requested() || (fds[1].revents & POLLIN)) return;
        bool changed = false;
        for (;;) {
            ssize_t n = ::read(inotify_, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            for (char* p = buffer; p < buffer + n;) {
                auto* event = reinterpret_cast<inotify_event*>(p);
                // An overflowed queue may have dropped ours: look anyway.
                if ((event->mask & IN_Q_OVERFLOW) || (event->len && name_ == event->name)) changed = true;
                p += sizeof(inotify_event) + event->len;
            }
        }
        if (changed && !stop.stop_requested()) onChange_();
    }
}

}  // namespace app::platform
