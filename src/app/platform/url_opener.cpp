#include "app/platform/url_opener.hpp"

#include "app/platform/child_process.hpp"
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

    const int pid = spawnProgram(executable, {program_, url});
    const int error = pid < 0 ? -pid : 0;
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
