// Whole processes over the same calendar folder: brisolet's get_events,
// search_events and reminders_fetch against `khal list`, `khal search` and
// `todoman list` (their caches built first), each a fresh process from spawn
// to exit, and the same calls answered by a running brisolet.
//
//   bench_calendar_peers [--brisolet PATH] [--runs N] [--calls N] [--events N]
//
// Prints a Markdown table: median wall time and peak memory per run.
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Run {
    double seconds = 0;
    long maxRssKb = 0;
    std::string output;
};

std::vector<std::string> childEnvironment;

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (auto& s : strings) out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

// A peer run to its end: stdin /dev/null, stdout collected, at most 120 s.
Run runWhole(std::vector<std::string> argv) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, out[1], 2);
    auto args = pointers(argv);
    auto env = pointers(childEnvironment);
    pid_t pid = 0;
    const auto start = Clock::now();
    if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), env.data()) != 0)
        throw std::runtime_error("cannot start " + argv[0]);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    Run run;
    char buffer[65536];
    for (;;) {
        pollfd p{out[0], POLLIN, 0};
        if (::poll(&p, 1, 120000) <= 0) throw std::runtime_error(argv[0] + " took too long");
        ssize_t n = ::read(out[0], buffer, sizeof buffer);
        if (n <= 0) break;
        run.output.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(out[0]);
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    run.maxRssKb = usage.ru_maxrss;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error(argv[0] + " failed: " + run.output.substr(0, 2000));
    return run;
}

// A brisolet on pipes: requests one at a time, each answered before the next.
class Server {
public:
    explicit Server(const std::string& program) {
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        std::vector<std::string> argv{program};
        auto args = pointers(argv);
        auto env = pointers(childEnvironment);
        start_ = Clock::now();
        if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, args.data(), env.data()) != 0)
            throw std::runtime_error("cannot start " + program);
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        in_ = in[1];
        out_ = out[0];
        request("initialize",
                R"({"protocolVersion":"2025-06-18","capabilities":{},"clientInfo":{"name":"bench","version":"1"}})");
        send(R"({"jsonrpc":"2.0","method":"notifications/initialized"})");
    }

    // The answer line of one tools/call.
    std::string call(const std::string& tool, const std::string& arguments) {
        return request("tools/call", R"({"name":")" + tool + R"(","arguments":)" + arguments + "}");
    }

    // Closes standard input and waits: the whole run from spawn to exit.
    Run finish() {
        ::close(in_);
        int status = 0;
        rusage usage{};
        ::wait4(pid_, &status, 0, &usage);
        ::close(out_);
        return {std::chrono::duration<double>(Clock::now() - start_).count(), usage.ru_maxrss, {}};
    }

private:
    void send(const std::string& line) {
        std::string text = line + "\n";
        if (::write(in_, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
            throw std::runtime_error("write");
    }

    std::string request(const std::string& method, const std::string& params) {
        const std::string id = std::to_string(++id_);
        send(R"({"jsonrpc":"2.0","id":)" + id + R"(,"method":")" + method + R"(","params":)" + params + "}");
        const std::string marker = "{\"id\":" + id + ",";
        for (;;) {
            std::size_t newline = buffer_.find('\n');
            if (newline != std::string::npos) {
                std::string line = buffer_.substr(0, newline);
                buffer_.erase(0, newline + 1);
                if (line.find(marker) != std::string::npos) return line;
                continue;
            }
            pollfd p{out_, POLLIN, 0};
            if (::poll(&p, 1, 120000) <= 0) throw std::runtime_error("no answer");
            char chunk[65536];
            ssize_t n = ::read(out_, chunk, sizeof chunk);
            if (n <= 0) throw std::runtime_error("server gone");
            buffer_.append(chunk, static_cast<std::size_t>(n));
        }
    }

    pid_t pid_ = -1;
    int in_ = -1, out_ = -1;
    int id_ = 0;
    std::string buffer_;
    Clock::time_point start_;
};

std::string stamp(std::time_t t) {
    char buffer[32];
    std::tm tm{};
    ::gmtime_r(&t, &tm);
    std::strftime(buffer, sizeof buffer, "%Y%m%dT%H%M%SZ", &tm);
    return buffer;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    std::string brisolet = BRISOLET_EXECUTABLE;
    int runs = 5, calls = 20, events = 10000;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--brisolet") brisolet = argv[i + 1];
        else if (option == "--runs") runs = std::atoi(argv[i + 1]);
        else if (option == "--calls") calls = std::atoi(argv[i + 1]);
        else if (option == "--events") events = std::atoi(argv[i + 1]);
    }
    const fs::path dir = fs::temp_directory_path() / ("brisolet-bench-peers-" + std::to_string(::getpid()));
    const fs::path root = dir / "data/brisolet/calendars";
    fs::create_directories(root / "work");
    fs::create_directories(root / "tasks");
    fs::create_directories(dir / "config/khal");
    fs::create_directories(dir / "config/todoman");
    fs::create_directories(dir / "home");
    std::ofstream(root / "work/displayname") << "Work";
    std::ofstream(root / "tasks/displayname") << "Tasks";
    const std::time_t start = 1735689600;  // 2025-01-01, spread over a year
    for (int i = 0; i < events; ++i) {
        const std::time_t at = start + static_cast<std::time_t>(i) * (31536000 / events);
        const std::string uid = "bench-" + std::to_string(i);
        std::ofstream(root / "work" / (uid + ".ics"))
            << "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Bench//EN\r\nBEGIN:VEVENT\r\nUID:" << uid
            << "\r\nDTSTAMP:20250101T000000Z\r\nSUMMARY:Event " << i << "\r\nDTSTART:" << stamp(at)
            << "\r\nDTEND:" << stamp(at + 1800) << "\r\nLOCATION:Room " << i % 40 << "\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n";
    }
    for (int i = 0; i < 200; ++i) {
        const std::string uid = "todo-" + std::to_string(i);
        std::ofstream(root / "tasks" / (uid + ".ics"))
            << "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Bench//EN\r\nBEGIN:VTODO\r\nUID:" << uid
            << "\r\nDTSTAMP:20250101T000000Z\r\nSUMMARY:Task " << i << "\r\nDUE:" << stamp(start + i * 86400)
            << "\r\nSTATUS:NEEDS-ACTION\r\nEND:VTODO\r\nEND:VCALENDAR\r\n";
    }
    std::ofstream(dir / "config/khal/config")
        << "[calendars]\n[[all]]\npath = " << root.string() << "/*\ntype = discover\n[locale]\n"
        << "timeformat = %H:%M\ndateformat = %Y-%m-%d\nlongdateformat = %Y-%m-%d\n"
        << "datetimeformat = %Y-%m-%d %H:%M\nlongdatetimeformat = %Y-%m-%d %H:%M\n"
        << "local_timezone = Europe/Berlin\ndefault_timezone = Europe/Berlin\n";
    fs::create_directories(dir / "config/brisolet");
    std::ofstream(dir / "config/brisolet/defaults.json") << R"({"isCalendarEnabled":true,"isRemindersEnabled":true})";
    std::ofstream(dir / "config/todoman/config.py")
        << "path = \"" << root.string() << "/*\"\ndate_format = \"%Y-%m-%d\"\ntime_format = \"%H:%M\"\n";

    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        for (const char* name : {"HOME=", "XDG_CONFIG_HOME=", "XDG_DATA_HOME=", "XDG_CACHE_HOME=", "TZ="})
            if (entry.starts_with(name)) entry.clear();
        if (!entry.empty()) childEnvironment.push_back(entry);
    }
    childEnvironment.push_back("HOME=" + (dir / "home").string());
    childEnvironment.push_back("XDG_CONFIG_HOME=" + (dir / "config").string());
    childEnvironment.push_back("XDG_DATA_HOME=" + (dir / "data").string());
    childEnvironment.push_back("XDG_CACHE_HOME=" + (dir / "cache").string());
    childEnvironment.push_back("TZ=Europe/Berlin");

    struct Case {
        const char* name;
        std::string tool, arguments;
        std::vector<std::string> peer;
    };
    const std::vector<Case> cases = {
        {"get_events, a week / khal list", "get_events",
         R"({"fromDate":"2025-06-02T00:00:00+02:00","toDate":"2025-06-09T00:00:00+02:00","limit":1000})",
         {"khal", "list", "2025-06-02", "7d"}},
        {"search_events / khal search", "search_events",
         R"({"searchText":"Event 123","fromDate":"2025-01-01T00:00:00Z","toDate":"2026-01-01T00:00:00Z","limit":1000})",
         {"khal", "search", "Event 123"}},
        {"reminders_fetch / todoman list", "reminders_fetch", R"({"limit":1000})", {"todoman", "list"}},
    };
    // The peers build their caches (and Brisolet its index) before anything is timed.
    for (const auto& c : cases) runWhole(c.peer);
    {
        Server warm(brisolet);
        for (const auto& c : cases) {
            const std::string answer = warm.call(c.tool, c.arguments);
            if (answer.find("isError\":true") != std::string::npos) throw std::runtime_error(answer);
        }
        warm.finish();
    }
    std::printf("%d events, %d to-dos, TZ=Europe/Berlin; medians of %d fresh processes, %d calls in a running server\n\n",
                events, 200, runs, calls);
    std::printf("| call | brisolet fresh process | peer whole run | running brisolet, per call | peer / running |\n");
    std::printf("|---|---|---|---|---|\n");
    for (const auto& c : cases) {
        std::vector<double> fresh, peer;
        long freshRss = 0, peerRss = 0;
        for (int r = 0; r < runs; ++r) {
            Server server(brisolet);
            server.call(c.tool, c.arguments);
            Run whole = server.finish();
            fresh.push_back(whole.seconds);
            freshRss = std::max(freshRss, whole.maxRssKb);
            Run other = runWhole(c.peer);
            peer.push_back(other.seconds);
            peerRss = std::max(peerRss, other.maxRssKb);
        }
        Server running(brisolet);
        running.call(c.tool, c.arguments);
        std::vector<double> each;
        for (int i = 0; i < calls; ++i) {
            const auto t0 = Clock::now();
            running.call(c.tool, c.arguments);
            each.push_back(std::chrono::duration<double>(Clock::now() - t0).count());
        }
        running.finish();
        std::printf("| %s | %.3f s, %.1f MB | %.3f s, %.1f MB | %.2f ms | %.0fx |\n", c.name, median(fresh),
                    freshRss / 1024.0, median(peer), peerRss / 1024.0, median(each) * 1000, median(peer) / median(each));
    }
    fs::remove_all(dir);
    return 0;
}
