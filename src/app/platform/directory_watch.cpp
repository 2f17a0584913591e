#include "app/platform/directory_watch.hpp"

#include "app/platform/environment.hpp"
#include "app/platform/platform_error.hpp"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace app::platform {

namespace {

// Writers replace the file by rename; editors may also write it in place.
constexpr std::uint32_t kFileMask = IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE | IN_DELETE | IN_MOVED_FROM;
// The folder itself going away (moved, removed) ...
constexpr std::uint32_t kFolderGone = IN_MOVE_SELF | IN_DELETE_SELF | IN_IGNORED;
// ... and a folder of its name appearing in the parent.
constexpr std::uint32_t kParentMask = IN_CREATE | IN_MOVED_TO | IN_ONLYDIR;

std::string withoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

std::string parentOf(const std::string& path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string lastComponent(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

DirectoryWatch::DirectoryWatch(std::string directory, std::string name, std::function<void()> onChange)
    : directory_(withoutTrailingSlashes(std::move(directory))),
      parent_(parentOf(directory_)),
      folderName_(lastComponent(directory_)),
      name_(std::move(name)),
      onChange_(std::move(onChange)) {
    // Made private here, before anything else can make it with the umask's modes.
    makePrivateDirectories(directory_);
    inotify_ = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (inotify_ < 0) throw errnoError("watch " + directory_, errno);
    // The parent only for the folder's name coming back; failing that, the folder alone.
    parentWatch_ = ::inotify_add_watch(inotify_, parent_.c_str(), kParentMask);
    if (!watchFolder()) {
        int error = errno;
        ::close(inotify_);
        throw errnoError("watch " + directory_, error);
    }
    wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_ < 0) {
        int error = errno;
        ::close(inotify_);
        throw errnoError("watch " + directory_, error);
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

bool DirectoryWatch::watchFolder() {
    const int watch = ::inotify_add_watch(inotify_, directory_.c_str(), kFileMask | kFolderGone | IN_ONLYDIR);
    if (watch < 0) return false;
    // A watch on a folder moved away elsewhere would report that folder's files.
    if (folderWatch_ >= 0 && folderWatch_ != watch) ::inotify_rm_watch(inotify_, folderWatch_);
    folderWatch_ = watch;
    return true;
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
        bool folderMoved = false;
        for (;;) {
            ssize_t n = ::read(inotify_, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            for (char* p = buffer; p < buffer + n;) {
                auto* event = reinterpret_cast<inotify_event*>(p);
                p += sizeof(inotify_event) + event->len;
                // An overflowed queue may have dropped ours: look anyway.
                if (event->mask & IN_Q_OVERFLOW) {
                    changed = folderMoved = true;
                } else if (event->wd == folderWatch_) {
                    if (event->mask & kFolderGone) folderMoved = true;
                    else if (event->len && name_ == event->name) changed = true;
                } else if (event->wd == parentWatch_ && event->len && folderName_ == event->name) {
                    folderMoved = true;
                }
            }
        }
        // The folder now at the path, if any, is the one to watch; what it
        // holds may differ from what was read.
        if (folderMoved) {
            changed = true;
            if (!watchFolder() && folderWatch_ >= 0) {
                ::inotify_rm_watch(inotify_, folderWatch_);
                folderWatch_ = -1;
            }
        }
        if (changed && !stop.stop_requested()) onChange_();
    }
}

}  // namespace app::platform
