#include "app/platform/small_file.hpp"

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

namespace app::platform {

int openRegularFile(const std::string& path, struct stat* info) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return -1;
    struct stat seen {};
    const bool looked = ::fstat(fd, &seen) == 0;
    if (!looked || !S_ISREG(seen.st_mode)) {
        const int error = looked ? EINVAL : errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    if (info) *info = seen;
    return fd;
}

std::optional<std::string> readSmallFile(const std::string& path, std::size_t limit) {
    int fd = openRegularFile(path);
    if (fd < 0) return std::nullopt;
    bool ok = true;
    std::string bytes;
    char buffer[65536];
    while (ok) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || bytes.size() + static_cast<std::size_t>(n) > limit) ok = false;
        if (n <= 0) break;
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    if (!ok) return std::nullopt;
    return bytes;
}

}  // namespace app::platform
