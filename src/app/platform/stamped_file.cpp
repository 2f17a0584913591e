#include "app/platform/stamped_file.hpp"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace app::platform {

std::int64_t stampAfter(std::int64_t after) {
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return std::max(nanosecondsOf(now), after + 1);
}

bool writeAll(int fd, std::string_view text) {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

int writeStampedFile(const std::string& path, std::string_view text, std::int64_t modified) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return errno;
    const struct timespec time {modified / 1'000'000'000, modified % 1'000'000'000};
    const struct timespec times[2] = {time, time};
    bool ok = writeAll(fd, text) && ::futimens(fd, times) == 0 && ::fsync(fd) == 0;
    int error = ok ? 0 : errno;
    ::close(fd);
    if (!ok) ::unlink(path.c_str());
    return error;
}

}  // namespace app::platform
