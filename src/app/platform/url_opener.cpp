#include "app/platform/url_opener.hpp"

#include "app/platform/platform_error.hpp"

#include <cerrno>
#include <csignal>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace app::platform {

namespace {

// Unfinished children are looked at this often; the thread sleeps otherwise.
constexpr auto kReapInterval = std::chrono::milliseconds(50);

bool isExecutableFile(const std::string& path) {
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
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

SpawnUrlOpener::SpawnUrlOpener(std::shared_ptr<DiagnosticSink> sink, std::string program)
    : sink_(std::move(sink)), program_(std::move(program)) {
    reaper_ = std::jthread([this](std::stop_token stop) { reaperLoop(stop); });
}

SpawnUrlOpener::~SpawnUrlOpener() {
    reaper_.request_stop();
    if (reaper_.joinable()) reaper_.join();
    std::lock_guard lock(mutex_);
    reapLocked();  // children still running are left to finish on their own
}

void SpawnUrlOpener::open(const std::string& url) {
    if (url.size() > maxOpenedUrlSize) {
        std::string cause = "the URL is too long to hand over (" + std::to_string(url.size()) +
                            " bytes, at most " + std::to_string(maxOpenedUrlSize) + ")";
        if (sink_) sink_->write("Cannot open " + diagnosticExcerpt(url) + ": " + cause);
        throw PlatformError("open URL", cause);
    }
    const char* pathValue = std::getenv("PATH");
    std::string executable = findExecutable(program_, pathValue ? pathValue : "/usr/local/bin:/usr/bin:/bin");
    if (executable.empty()) {
        if (sink_) sink_->write("No " + program_ + " to open the URL; open it yourself: " + diagnosticExcerpt(url));
        throw PlatformError("open URL", "no " + program_ + " is installed");
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    // Sockets and files opened without close-on-exec stay with us.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
#endif
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // The child starts with default signal dispositions (we ignore SIGPIPE)
    // and an empty mask.
    sigset_t defaults, empty;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigemptyset(&empty);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setsigmask(&attributes, &empty);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    std::string arg0 = program_;
    std::string arg1 = url;
    char* argv[] = {arg0.data(), arg1.data(), nullptr};
    pid_t pid = 0;
    int error = ::posix_spawn(&pid, executable.c_str(), &actions, &attributes, argv, environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        if (sink_) {
            sink_->write("Cannot start " + executable + " (" + std::strerror(error) +
                         "); open the URL yourself: " + diagnosticExcerpt(url));
        }
        throw PlatformError("open URL", "cannot start " + executable + ": " + std::strerror(error));
    }
    {
        std::lock_guard lock(mutex_);
        children_.push_back(pid);
    }
    wake_.notify_all();
}

std::size_t SpawnUrlOpener::runningChildren() const {
    std::lock_guard lock(mutex_);
    return children_.size();
}

bool SpawnUrlOpener::reapLocked() {
    // Only our own children by pid: other components wait for theirs.
    std::erase_if(children_, [](pid_t pid) {
        int status = 0;
        pid_t r;
        do {
            r = ::waitpid(pid, &status, WNOHANG);
        } while (r < 0 && errno == EINTR);
        return r == pid || (r < 0 && errno == ECHILD);
    });
    return !children_.empty();
}

void SpawnUrlOpener::reaperLoop(std::stop_token stop) {
    std::unique_lock lock(mutex_);
    while (!stop.stop_requested()) {
        if (!wake_.wait(lock, stop, [&] { return !children_.empty(); })) break;
        if (!reapLocked()) continue;
        wake_.wait_for(lock, stop, kReapInterval, [] { return false; });
    }
}

void RecordingUrlOpener::open(const std::string& url) {
    std::lock_guard lock(mutex_);
    urls_.push_back(url);
}

std::vector<std::string> RecordingUrlOpener::urls() const {
    std::lock_guard lock(mutex_);
    return urls_;
}

}  // namespace app::platform
