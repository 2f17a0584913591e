// A fixed load generator for MCP servers that speak newline-delimited JSON-RPC
// over standard input and output. It spawns the server command itself, so the
// figures cover exactly that one process:
//
//   bench_stdio_driver [options] -- command [args...]
//
//   --throughput       (default) one process: initialize, then --warmup
//                      pipelined requests untimed, then --count timed
//   --startup          --runs fresh processes: time from spawn to the answer
//                      of the first initialize, and their peak memory; also
//                      the shared libraries the first one has mapped by then
//   --latency          one process: --count requests one at a time, each
//                      sent when the previous is answered; percentiles
//   --dump             initialize, send one request, print its answer line
//   --method M         request method (default "ping")
//   --params JSON      request params (default: none)
//   --count N          timed requests (default 20000)
//   --warmup N         untimed requests before them (default count / 10)
//   --runs N           processes for --startup (default 10)
//   --timeout S        give up after S seconds per process (default 120)
//   --stderr FILE      the server's standard error (default /dev/null)
//
// Prints one JSON object on standard output. Requests are prepared in one
// buffer before the clock starts and written by a thread of their own while
// this thread only splits the answers into lines, so the driver stays far
// below the cost of any server it measures.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    enum class Mode { Throughput, Startup, Latency, Dump } mode = Mode::Throughput;
    std::string method = "ping";
    std::optional<std::string> params;
    long count = 20000;
    long warmup = -1;
    int runs = 10;
    double timeoutSeconds = 120;
    std::string stderrPath = "/dev/null";
    std::string expect;  // throughput: timed answers without this text are counted apart
    std::vector<std::string> command;
};

// The server being driven, so that a failure never leaves it running.
std::atomic<pid_t> gServer{-1};

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "bench_stdio_driver: %s\n", what.c_str());
    if (pid_t pid = gServer.exchange(-1); pid > 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    std::_Exit(2);
}

[[noreturn]] void failErrno(const std::string& what) { fail(what + ": " + std::strerror(errno)); }

Options parseOptions(int argc, char** argv) {
    Options o;
    int i = 1;
    auto value = [&](const char* name) -> std::string {
        if (i + 1 >= argc) fail(std::string("missing value for ") + name);
        return argv[++i];
    };
    for (; i < argc; ++i) {
        std::string_view a = argv[i];
        if (a == "--") {
            ++i;
            break;
        }
        if (a == "--throughput") o.mode = Options::Mode::Throughput;
        else if (a == "--startup") o.mode = Options::Mode::Startup;
        else if (a == "--latency") o.mode = Options::Mode::Latency;
        else if (a == "--dump") o.mode = Options::Mode::Dump;
        else if (a == "--method") o.method = value("--method");
        else if (a == "--params") o.params = value("--params");
        else if (a == "--count") o.count = std::stol(value("--count"));
        else if (a == "--warmup") o.warmup = std::stol(value("--warmup"));
        else if (a == "--runs") o.runs = std::stoi(value("--runs"));
        else if (a == "--timeout") o.timeoutSeconds = std::stod(value("--timeout"));
        else if (a == "--stderr") o.stderrPath = value("--stderr");
        else if (a == "--expect") o.expect = value("--expect");
        else fail("unknown option " + std::string(a));
    }
    for (; i < argc; ++i) o.command.emplace_back(argv[i]);
    if (o.command.empty()) fail("no server command given after --");
    if (o.count < 1 || o.runs < 1) fail("--count and --runs must be positive");
    if (o.warmup < 0) o.warmup = o.count / 10;
    return o;
}

// JSON string literal for a method name (names here are plain ASCII).
std::string quoted(std::string_view s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

std::string requestLine(long id, const std::string& method, const std::optional<std::string>& params) {
    std::string line = "{\"jsonrpc\":\"2.0\",\"id\":" + std::to_string(id) + ",\"method\":" + quoted(method);
    if (params) line += ",\"params\":" + *params;
    return line + "}\n";
}

const std::string kInitialize =
    "{\"jsonrpc\":\"2.0\",\"id\":0,\"method\":\"initialize\",\"params\":{\"protocolVersion\":\"2025-03-26\","
    "\"capabilities\":{},\"clientInfo\":{\"name\":\"bench-driver\",\"version\":\"1.0.0\"}}}\n";
const std::string kInitialized = "{\"jsonrpc\":\"2.0\",\"method\":\"notifications/initialized\"}\n";

class Child {
public:
    explicit Child(const Options& o) {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) failErrno("pipe2");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addopen(&actions, 2, o.stderrPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        std::vector<char*> argv;
        for (const auto& a : o.command) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        started = Clock::now();
        int rc = posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        if (rc != 0) {
            errno = rc;
            failErrno("spawning " + o.command[0]);
        }
        gServer = pid_;
        toChild_ = in[1];
        fromChild_ = out[0];
        ::fcntl(toChild_, F_SETFL, ::fcntl(toChild_, F_GETFL) | O_NONBLOCK);
        deadline_ = started + std::chrono::duration_cast<Clock::duration>(
                                  std::chrono::duration<double>(o.timeoutSeconds));
    }
    ~Child() {
        closeInput();
        if (fromChild_ >= 0) ::close(fromChild_);
        if (pid_ > 0) {
            gServer = -1;
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // Bounded by the deadline like every read: a server that stops reading
    // fails the run instead of hanging it.
    void writeAll(std::string_view bytes) {
        while (!bytes.empty()) {
            ssize_t n = ::write(toChild_, bytes.data(), bytes.size());
            if (n < 0) {
                if (errno == EINTR) continue;
                if (errno != EAGAIN) failErrno("writing to the server");
                pollfd p{toChild_, POLLOUT, 0};
                if (::poll(&p, 1, millisecondsLeft()) == 0) fail("timed out writing to the server");
                continue;
            }
            bytes.remove_prefix(static_cast<std::size_t>(n));
        }
    }

    // Calls onLine for each complete line until it returns false.
    void readLines(const std::function<bool(std::string_view)>& onLine) {
        for (;;) {
            std::size_t start = 0;
            for (;;) {
                const void* nl = std::memchr(buffer_.data() + scanned_, '\n', buffer_.size() - scanned_);
                if (!nl) break;
                std::size_t end = static_cast<const char*>(nl) - buffer_.data();
                std::string_view line(buffer_.data() + start, end - start);
                start = scanned_ = end + 1;
                if (!line.empty() && !onLine(line)) {
                    buffer_.erase(0, start);
                    scanned_ = 0;
                    return;
                }
            }
            buffer_.erase(0, start);
            scanned_ = buffer_.size();
            fill();
        }
    }

    // First answer with an "id"; notifications and log lines are skipped.
    std::string readAnswer() {
        std::string answer;
        readLines([&](std::string_view line) {
            if (line.find("\"id\"") == std::string_view::npos) return true;
            answer.assign(line);
            return false;
        });
        return answer;
    }

    void closeInput() {
        if (toChild_ >= 0) ::close(toChild_);
        toChild_ = -1;
    }

    // Closes the input, waits for the exit (killing after the deadline or a
    // grace period) and returns the process's peak resident set in KiB.
    long finish() {
        closeInput();
        int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
        auto grace = std::min(deadline_, Clock::now() + std::chrono::seconds(10));
        if (pidfd >= 0) {
            pollfd p{pidfd, POLLIN, 0};
            for (;;) {
                int ms = static_cast<int>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(grace - Clock::now()).count());
                if (ms <= 0) break;
                int rc = ::poll(&p, 1, ms);
                if (rc > 0 || (rc < 0 && errno != EINTR)) break;
            }
            ::close(pidfd);
        }
        int status = 0;
        rusage ru{};
        pid_t got = ::wait4(pid_, &status, WNOHANG, &ru);
        if (got == 0) {
            std::fprintf(stderr, "bench_stdio_driver: the server did not exit at end of input; killed\n");
            ::kill(pid_, SIGKILL);
            got = ::wait4(pid_, &status, 0, &ru);
        }
        gServer = -1;
        pid_ = -1;
        return got > 0 ? ru.ru_maxrss : -1;
    }

    pid_t pid() const { return pid_; }
    Clock::time_point started;

private:
    int millisecondsLeft() const {
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now()).count();
        return static_cast<int>(std::max<long long>(ms, 0));
    }

    void fill() {
        char chunk[1 << 16];
        for (;;) {
            int ms = millisecondsLeft();
            if (ms <= 0) fail("timed out waiting for the server");
            pollfd p{fromChild_, POLLIN, 0};
            int rc = ::poll(&p, 1, ms);
            if (rc < 0 && errno == EINTR) continue;
            if (rc < 0) failErrno("poll");
            if (rc == 0) continue;
            ssize_t n = ::read(fromChild_, chunk, sizeof chunk);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) failErrno("reading from the server");
            if (n == 0) fail("the server closed its output");
            buffer_.append(chunk, static_cast<std::size_t>(n));
            return;
        }
    }

    pid_t pid_ = -1;
    int toChild_ = -1;
    int fromChild_ = -1;
    Clock::time_point deadline_;
    std::string buffer_;
    std::size_t scanned_ = 0;
};

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Answers are told apart by their ends only: both servers put the envelope's
// keys there, and scanning a 14 KB tools/list answer whole made the driver
// slower than the server it measures.
std::string_view head(std::string_view line) { return line.substr(0, 64); }
std::string_view tail(std::string_view line) { return line.substr(line.size() > 64 ? line.size() - 64 : 0); }

bool isAnswer(std::string_view line) {
    return (head(line).find("\"id\":") != std::string_view::npos || tail(line).find("\"id\":") != std::string_view::npos) &&
           head(line).find("\"method\":\"notifications/") == std::string_view::npos;
}

bool isSuccess(std::string_view line) { return head(line).find("\"error\":") == std::string_view::npos; }

// Writes `requests` from a thread of its own and reads `expected` answers.
// Returns the number of error answers; counts in `unexpected` the answers
// that lack `expect` (a call refused as busy did not run its handler).
long pipeline(Child& child, const std::string& requests, long expected, const std::string& expect = {},
              long* unexpected = nullptr) {
    std::thread writer([&] { child.writeAll(requests); });
    long seen = 0, errors = 0;
    child.readLines([&](std::string_view line) {
        if (!isAnswer(line)) return true;
        if (!isSuccess(line)) {
            if (errors == 0) std::fprintf(stderr, "bench_stdio_driver: error answer: %.300s\n", line.data());
            ++errors;
        }
        if (unexpected && !expect.empty() && line.find(expect) == std::string_view::npos) ++*unexpected;
        return ++seen < expected;
    });
    writer.join();
    return errors;
}

void initialize(Child& child) {
    child.writeAll(kInitialize);
    std::string answer = child.readAnswer();
    if (!isSuccess(answer)) fail("initialize failed: " + answer.substr(0, 300));
    child.writeAll(kInitialized);
}

// The shared objects mapped into the process, by path, sorted.
std::vector<std::string> mappedLibraries(pid_t pid) {
    std::vector<std::string> out;
    FILE* maps = std::fopen(("/proc/" + std::to_string(pid) + "/maps").c_str(), "r");
    if (!maps) return out;
    char line[4096];
    while (std::fgets(line, sizeof line, maps)) {
        const char* path = std::strchr(line, '/');
        if (!path || !std::strstr(path, ".so")) continue;
        std::string p(path);
        while (!p.empty() && (p.back() == '\n' || p.back() == ' ')) p.pop_back();
        if (std::find(out.begin(), out.end(), p) == out.end()) out.push_back(std::move(p));
    }
    std::fclose(maps);
    std::sort(out.begin(), out.end());
    return out;
}

std::string jsonList(const std::vector<std::string>& items) {
    std::string s = "[";
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i) s += ',';
        s += quoted(items[i]);
    }
    return s + "]";
}

int runThroughput(const Options& o) {
    // Spawned before the requests are made: Linux counts the memory a process
    // had when the child was spawned into the child's peak (ru_maxrss).
    Child child(o);
    std::string warm, timed;
    for (long i = 1; i <= o.warmup; ++i) warm += requestLine(i, o.method, o.params);
    for (long i = 1; i <= o.count; ++i) timed += requestLine(o.warmup + i, o.method, o.params);

    initialize(child);
    long errors = o.warmup > 0 ? pipeline(child, warm, o.warmup) : 0;
    long unexpected = 0;
    auto t0 = Clock::now();
    errors += pipeline(child, timed, o.count, o.expect, &unexpected);
    double elapsed = seconds(Clock::now() - t0);
    long rss = child.finish();
    std::printf(
        "{\"mode\":\"throughput\",\"method\":%s,\"count\":%ld,\"warmup\":%ld,\"seconds\":%.6f,"
        "\"requests_per_second\":%.1f,\"request_bytes\":%zu,\"errors\":%ld,\"unexpected\":%ld,\"peak_rss_kb\":%ld}\n",
        quoted(o.method).c_str(), o.count, o.warmup, elapsed, static_cast<double>(o.count) / elapsed, timed.size(),
        errors, unexpected, rss);
    return errors == 0 ? 0 : 1;
}

int runStartup(const Options& o) {
    std::vector<double> ms;
    std::vector<long> rss;
    std::vector<std::string> libraries;
    for (int r = 0; r < o.runs; ++r) {
        Child child(o);
        child.writeAll(kInitialize);
        std::string answer = child.readAnswer();
        ms.push_back(seconds(Clock::now() - child.started) * 1000.0);
        if (!isSuccess(answer)) fail("initialize failed: " + answer.substr(0, 300));
        if (r == 0) libraries = mappedLibraries(child.pid());
        rss.push_back(child.finish());
    }
    auto list = [](const auto& v, const char* fmt) {
        std::string s = "[";
        char buf[64];
        for (std::size_t i = 0; i < v.size(); ++i) {
            std::snprintf(buf, sizeof buf, fmt, v[i]);
            if (i) s += ',';
            s += buf;
        }
        return s + "]";
    };
    std::printf("{\"mode\":\"startup\",\"runs\":%d,\"startup_ms\":%s,\"peak_rss_kb\":%s,\"libraries\":%s}\n",
                o.runs, list(ms, "%.3f").c_str(), list(rss, "%ld").c_str(), jsonList(libraries).c_str());
    return 0;
}

int runLatency(const Options& o) {
    Child child(o);
    initialize(child);
    long errors = 0;
    auto once = [&](long id) {
        child.writeAll(requestLine(id, o.method, o.params));
        if (!isSuccess(child.readAnswer())) ++errors;
    };
    for (long i = 1; i <= o.warmup; ++i) once(i);
    std::vector<double> us;
    us.reserve(static_cast<std::size_t>(o.count));
    auto t0 = Clock::now();
    for (long i = 1; i <= o.count; ++i) {
        auto t = Clock::now();
        once(o.warmup + i);
        us.push_back(seconds(Clock::now() - t) * 1e6);
    }
    double elapsed = seconds(Clock::now() - t0);
    long rss = child.finish();
    std::sort(us.begin(), us.end());
    auto at = [&](double q) { return us[static_cast<std::size_t>(q * static_cast<double>(us.size() - 1))]; };
    std::printf(
        "{\"mode\":\"latency\",\"method\":%s,\"count\":%ld,\"seconds\":%.6f,\"p50_us\":%.1f,\"p90_us\":%.1f,"
        "\"p99_us\":%.1f,\"max_us\":%.1f,\"errors\":%ld,\"peak_rss_kb\":%ld}\n",
        quoted(o.method).c_str(), o.count, elapsed, at(0.5), at(0.9), at(0.99), us.back(), errors, rss);
    return errors == 0 ? 0 : 1;
}

int runDump(const Options& o) {
    Child child(o);
    initialize(child);
    child.writeAll(requestLine(1, o.method, o.params));
    std::string answer = child.readAnswer();
    child.finish();
    std::fwrite(answer.data(), 1, answer.size(), stdout);
    std::fputc('\n', stdout);
    return isSuccess(answer) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    ::signal(SIGPIPE, SIG_IGN);
    Options o = parseOptions(argc, argv);
    switch (o.mode) {
        case Options::Mode::Throughput: return runThroughput(o);
        case Options::Mode::Startup: return runStartup(o);
        case Options::Mode::Latency: return runLatency(o);
        case Options::Mode::Dump: return runDump(o);
    }
    return 2;
}
