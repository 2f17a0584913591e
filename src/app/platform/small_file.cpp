#include "app/platform/small_file.hpp"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <utility>

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

std::optional<std::string> readSmallFile(const std::string& path, std::size_t limit, std::string* why) {
    const auto failed = [&](std::string reason) -> std::optional<std::string> {
        if (why) *why = std::move(reason);
        return std::nullopt;
    };
    const std::string tooLarge = "larger than " + (limit % (1u << 20) == 0 ? std::to_string(limit >> 20) + " MiB"
                                                                         : std::to_string(limit) + " bytes");
    struct stat info {};
    const int fd = openRegularFile(path, &info);
    if (fd < 0) return failed(errno == EINVAL ? "not a regular file" : std::strerror(errno));
    // Known from its size, before a byte is read.
    if (static_cast<std::uint64_t>(info.st_size) > limit) {
        ::close(fd);
        return failed(tooLarge);
    }
    std::string bytes;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int error = errno;
            ::close(fd);
            return failed(std::strerror(error));
        }
        if (n == 0) break;
        if (bytes.size() + static_cast<std::size_t>(n) > limit) {
            ::close(fd);
            return failed(tooLarge);  // it grew while being read
        }
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return bytes;
}

}  // namespace app::platform
