#include "app/platform/url_opener.hpp"

#include "app/platform/child_process.hpp"
#include "app/platform/platform_error.hpp"
#include "json/utf8.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace app::platform {

namespace {

// How often a handler's leftover standard error and unfinished children are looked at.
constexpr auto kReapInterval = std::chrono::milliseconds(50);
// What is kept of an opener's standard error: its last words matter.
constexpr std::size_t kKeptErrors = 16 * 1024;
// A handler's line longer than this goes to the sink in pieces.
constexpr std::size_t kLongestLine = 1024;

bool isExecutableFile(const std::string& path) {
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

int openPidFd(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
    return -1;
#endif
}

// Appends what the stream has now (keeping the last kKeptErrors bytes);
// false once the writers are gone or it failed.
bool readAvailable(int fd, std::string& into) {
    char buffer[4096];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) return true;
        if (n <= 0) return false;
        into.append(buffer, static_cast<std::size_t>(n));
        if (into.size() > kKeptErrors) into.erase(0, into.size() - kKeptErrors);
        if (static_cast<std::size_t>(n) < sizeof buffer) return true;
    }
}

// Moves the finished lines of `partial` + `text` (all of it when `flush`)
// to `lines`, blank ones dropped.
void splitLines(std::string& partial, std::string_view text, bool flush, std::vector<std::string>& lines) {
    partial += text;
    std::size_t start = 0;
    for (;;) {
        std::size_t end = partial.find('\n', start);
        if (end == std::string::npos) {
            if (partial.size() - start < kLongestLine && !flush) break;
            end = std::min(partial.size(), start + kLongestLine);
        }
        std::string line = partial.substr(start, end - start);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        if (!line.empty()) lines.push_back(std::move(line));
        start = end < partial.size() && partial[end] == '\n' ? end + 1 : end;
        if (start >= partial.size()) break;
    }
    partial.erase(0, start);
}

// The opener's last words, or none.
std::string lastLine(std::string text) {
    std::string partial;
    std::vector<std::string> lines;
    splitLines(partial, text, true, lines);
    return lines.empty() ? std::string() : lines.back();
}

}  // namespace

std::string diagnosticExcerpt(std::string_view text) {
    constexpr std::size_t kShown = 300;
    if (text.size() <= kShown) return std::string(text);
    std::size_t cut = kShown;
    // Back up to the start of a UTF-8 sequence.
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    return std::string(text.substr(0, cut)) + "… (" + std::to_string(text.size()) + " bytes)";
}

std::string findExecutable(const std::string& program, const std::string& path) {
    if (program.empty()) return {};
    if (program.find('/') != std::string::npos) return isExecutableFile(program) ? program : std::string();
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find(':', start);
        if (end == std::string::npos) end = path.size();
        std::string dir = path.substr(start, end - start);
        if (dir.empty()) dir = ".";  // an empty entry means the current directory
        std::string candidate = dir + "/" + program;
        if (isExecutableFile(candidate)) return candidate;
        start = end + 1;
    }
    return {};
}

SpawnUrlOpener::SpawnUrlOpener(std::shared_ptr<DiagnosticSink> sink, std::string program,
                               std::chrono::milliseconds wait)
    : sink_(std::move(sink)), program_(std::move(program)), wait_(wait) {
    reaper_ = std::jthread([this](std::stop_token stop) { reaperLoop(stop); });
}

SpawnUrlOpener::~SpawnUrlOpener() {
    reaper_.request_stop();
    if (reaper_.joinable()) reaper_.join();
    std::lock_guard lock(mutex_);
    // Children still running are left to finish on their own.
    for (auto& child : children_) {
        if (child.errors >= 0) ::close(child.errors);
        if (child.pid > 0) ::waitpid(child.pid, nullptr, WNOHANG);
    }
}

void SpawnUrlOpener::fail(const std::string& url, const std::string& cause) {
    if (sink_) sink_->write("Cannot open " + diagnosticExcerpt(url) + ": " + cause);
    throw PlatformError("open URL", cause);
}

void SpawnUrlOpener::open(const std::string& url) {
    if (url.size() > maxOpenedUrlSize) {
        fail(url, "the URL is too long to hand over (" + std::to_string(url.size()) + " bytes, at most " +
                      std::to_string(maxOpenedUrlSize) + ")");
    }
    if (url.find('\0') != std::string::npos) fail(url, "the URL holds a NUL byte, which cannot be handed over whole");
    const char* pathValue = std::getenv("PATH");
    std::string executable = findExecutable(program_, pathValue ? pathValue : "/usr/local/bin:/usr/bin:/bin");
    if (executable.empty()) {
        if (sink_) sink_->write("No " + program_ + " to open the URL; open it yourself: " + diagnosticExcerpt(url));
        throw PlatformError("open URL", "no " + program_ + " is installed");
    }

    int errorPipe[2];
    if (::pipe2(errorPipe, O_CLOEXEC) != 0) fail(url, std::string("no pipe: ") + std::strerror(errno));
    // Our end only: the child's standard error stays blocking.
    ::fcntl(errorPipe[0], F_SETFL, ::fcntl(errorPipe[0], F_GETFL) | O_NONBLOCK);
    const int pid = spawnProgram(executable, {program_, url}, -1, errorPipe[1]);
    ::close(errorPipe[1]);
    if (pid < 0) {
        ::close(errorPipe[0]);
        const int error = -pid;
        if (sink_) {
            sink_->write("Cannot start " + executable + " (" + std::strerror(error) +
                         "); open the URL yourself: " + diagnosticExcerpt(url));
        }
        throw PlatformError("open URL", "cannot start " + executable + ": " + std::strerror(error));
    }

    // The opener returns once the handler is launched; one that takes longer
    // is a handler running in its place, which is success too.
    int errorsFd = errorPipe[0];
    std::string errors;
    std::optional<int> status;
    const int pidFd = openPidFd(pid);
    const auto deadline = std::chrono::steady_clock::now() + wait_;
    for (;;) {
        int r;
        int raw = 0;
        do {
            r = ::waitpid(pid, &raw, WNOHANG);
        } while (r < 0 && errno == EINTR);
        if (r == pid) status = raw;
        if (r != 0) break;  // ended, or not ours to wait for any more
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) break;
        pollfd fds[2] = {{errorsFd, POLLIN, 0}, {pidFd, POLLIN, 0}};
        // Without a pid descriptor the end is looked for in short steps.
        int timeout = static_cast<int>(pidFd >= 0 ? left : std::min<long long>(left, 10));
        if (::poll(fds, 2, timeout) > 0 && fds[0].revents != 0 && !readAvailable(errorsFd, errors)) {
            ::close(errorsFd);
            errorsFd = -1;
        }
    }
    if (pidFd >= 0) ::close(pidFd);
    if (errorsFd >= 0 && status && !readAvailable(errorsFd, errors)) {
        ::close(errorsFd);
        errorsFd = -1;
    }

    std::vector<std::string> lines;
    Child child{status ? 0 : pid, errorsFd, {}};
    const bool failed = status && !(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
    if (!failed) splitLines(child.partial, errors, errorsFd < 0, lines);
    if (child.pid > 0 || child.errors >= 0) {
        {
            std::lock_guard lock(mutex_);
            children_.push_back(std::move(child));
        }
        wake_.notify_all();
    }
    if (failed) {
        // What the opener wrote becomes part of a reply: valid text only.
        std::string reason = diagnosticExcerpt(json::repairUtf8(lastLine(errors)));
        std::string code = WIFEXITED(*status) ? "exit status " + std::to_string(WEXITSTATUS(*status))
                                              : "signal " + std::to_string(WTERMSIG(*status));
        fail(url, reason.empty() ? program_ + " failed (" + code + ")" : reason + " (" + code + ")");
    }
    if (sink_)
        for (const auto& line : lines) sink_->write(line);
}

std::size_t SpawnUrlOpener::runningChildren() const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count_if(children_.begin(), children_.end(),
                                                  [](const Child& child) { return child.pid > 0; }));
}

void SpawnUrlOpener::reaperLoop(std::stop_token stop) {
    std::vector<std::string> lines;
    while (!stop.stop_requested()) {
        std::vector<pollfd> fds;
        {
            std::unique_lock lock(mutex_);
            if (!wake_.wait(lock, stop, [&] { return !children_.empty(); })) break;
            for (const auto& child : children_)
                if (child.errors >= 0) fds.push_back({child.errors, POLLIN, 0});
            if (fds.empty()) wake_.wait_for(lock, stop, kReapInterval, [] { return false; });
        }
        // Only this thread closes the descriptors, so they stay valid unlocked.
        if (!fds.empty()) ::poll(fds.data(), fds.size(), static_cast<int>(kReapInterval.count()));
        std::vector<std::pair<int, std::string>> texts;
        std::vector<int> ended;
        for (const auto& fd : fds) {
            if (fd.revents == 0) continue;
            std::string text;
            if (!readAvailable(fd.fd, text)) ended.push_back(fd.fd);
            texts.emplace_back(fd.fd, std::move(text));
        }
        {
            std::lock_guard lock(mutex_);
            for (auto& child : children_) {
                for (const auto& [fd, text] : texts)
                    if (fd == child.errors) splitLines(child.partial, text, false, lines);
                if (child.errors >= 0 && std::find(ended.begin(), ended.end(), child.errors) != ended.end()) {
                    splitLines(child.partial, "", true, lines);
                    ::close(child.errors);
                    child.errors = -1;
                }
                // Only our own children by pid: other components wait for theirs.
                if (child.pid > 0) {
                    pid_t r;
                    do {
                        r = ::waitpid(child.pid, nullptr, WNOHANG);
                    } while (r < 0 && errno == EINTR);
                    if (r == child.pid || (r < 0 && errno == ECHILD)) child.pid = 0;
                }
            }
            std::erase_if(children_, [](const Child& child) { return child.pid == 0 && child.errors < 0; });
        }
        if (sink_)
            for (const auto& line : lines) sink_->write(line);
        lines.clear();
    }
}

}  // namespace app::platform
