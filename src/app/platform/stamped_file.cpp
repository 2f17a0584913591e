#include "app/platform/stamped_file.hpp"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <ctime>
#include <cstdio>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace app::platform {

namespace {

constexpr std::string_view kTempMarker = ".tmp-";

std::string randomSuffix() {
    unsigned char bytes[8] = {};
    std::size_t got = 0;
    while (got < sizeof bytes) {
        ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    if (got < sizeof bytes) {  // no entropy source: the clock still differs per try
        struct timespec now {};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        const std::uint64_t v = std::uint64_t(now.tv_nsec) ^ (std::uint64_t(now.tv_sec) << 30);
        for (std::size_t i = 0; i < sizeof bytes; ++i) bytes[i] ^= static_cast<unsigned char>(v >> (8 * i));
    }
    char text[2 * sizeof bytes + 1];
    for (std::size_t i = 0; i < sizeof bytes; ++i) std::snprintf(text + 2 * i, 3, "%02x", bytes[i]);
    return std::string(text, 2 * sizeof bytes);
}

}  // namespace

std::int64_t stampAfter(std::int64_t after) {
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return std::max(nanosecondsOf(now), after + 1);
}

std::string utcStamp() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    ::gmtime_r(&now, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &tm);
    return text;
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

int writeTempFile(const std::string& directory, std::string_view stem, std::string_view text,
                  const TempFileOptions& options, std::string& path) {
    int fd = -1;
    for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
        path = directory + "/." + std::string(stem) + std::string(kTempMarker) + std::to_string(::getpid()) + "-" +
               randomSuffix();
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, options.mode);
        if (fd < 0 && errno != EEXIST) return errno;
    }
    if (fd < 0) return EEXIST;
    // The umask may have narrowed the mode; a shared file keeps the mode asked for.
    bool ok = ::fchmod(fd, options.mode) == 0 && writeAll(fd, text);
    if (ok && options.modified) {
        const std::int64_t modified = *options.modified;
        const struct timespec time {modified / 1'000'000'000, modified % 1'000'000'000};
        const struct timespec times[2] = {time, time};
        ok = ::futimens(fd, times) == 0;
    }
    ok = ok && ::fsync(fd) == 0;
    const int error = ok ? 0 : errno;
    ::close(fd);
    if (!ok) ::unlink(path.c_str());
    return error;
}

int replaceFile(const std::string& directory, const std::string& name, std::string_view text,
                const TempFileOptions& options) {
    std::string temp;
    if (int error = writeTempFile(directory, name, text, options, temp)) return error;
    if (::rename(temp.c_str(), (directory + "/" + name).c_str()) != 0) {
        const int error = errno;
        ::unlink(temp.c_str());
        return error;
    }
    return 0;
}

std::optional<pid_t> tempFileWriter(std::string_view name) {
    if (name.empty() || name.front() != '.') return std::nullopt;
    const auto marker = name.rfind(kTempMarker);
    if (marker == std::string_view::npos) return std::nullopt;
    const char* first = name.data() + marker + kTempMarker.size();
    const char* last = name.data() + name.size();
    pid_t pid = 0;
    auto [end, ec] = std::from_chars(first, last, pid);
    if (ec != std::errc() || end == first || pid <= 0) return std::nullopt;
    if (end != last && *end != '-') return std::nullopt;
    return pid;
}

bool writerIsGone(pid_t pid) { return ::kill(pid, 0) != 0 && errno == ESRCH; }

void removeIfAbandoned(int folderFd, const char* name, std::optional<pid_t> (*writerOf)(std::string_view)) {
    std::optional<pid_t> writer = writerOf(name);
    if (!writer || *writer == ::getpid() || !writerIsGone(*writer)) return;
    struct stat info {};
    if (::fstatat(folderFd, name, &info, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISDIR(info.st_mode))
        ::unlinkat(folderFd, name, 0);
}

void removeAbandonedTempFiles(const std::string& folder, std::optional<pid_t> (*writerOf)(std::string_view)) {
    // A folder that is a link is the user's layout; the names in it never are followed.
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return;
    }
    std::vector<std::string> names;  // removed after the walk, which removing could disturb
    while (dirent* entry = ::readdir(dir))
        if (entry->d_name[0] == '.') names.emplace_back(entry->d_name);
    for (const auto& name : names) removeIfAbandoned(fd, name.c_str(), writerOf);
    ::closedir(dir);
}

}  // namespace app::platform
