// A FIFO where a file is expected: whoever opens it blocking waits for a
// writer. The trap runs a call and, should the call still wait after a bound,
// lets the reader go with `bait` as the file's text, so a test fails instead
// of hanging.
#pragma once

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace testsupport {

class FifoTrap {
public:
    explicit FifoTrap(std::string bait = "") : bait_(std::move(bait)) {}

    // Makes a FIFO at `path`.
    void plant(const std::string& path) {
        if (::mkfifo(path.c_str(), 0600) != 0) throw std::runtime_error("mkfifo " + path);
        paths_.push_back(path);
    }

    // The call's result; `sprung` tells whether it had to be let go. A call
    // the bait does not free (it opened the FIFO for writing too, so it never
    // sees its end) ends the test program: it would wait for good.
    template <class Call>
    auto run(Call call, std::chrono::seconds bound = std::chrono::seconds(10)) {
        auto result = std::async(std::launch::async, std::move(call));
        if (result.wait_for(bound) != std::future_status::ready) {
            sprung = true;
            release();
            if (result.wait_for(bound) != std::future_status::ready) {
                std::fprintf(stderr, "FAILED: a call still waits on a FIFO planted as a file\n");
                std::fflush(stdout);  // not every stream: the waiting call holds its own
                std::_Exit(1);
            }
        }
        return result.get();
    }

    bool sprung = false;

private:
    // Every planted FIFO with a reader waiting gets the bait and its end.
    void release() {
        struct sigaction ignore {}, old {};
        ignore.sa_handler = SIG_IGN;
        ::sigaction(SIGPIPE, &ignore, &old);
        for (const auto& path : paths_) {
            int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd < 0) continue;  // nobody reads it
            [[maybe_unused]] ssize_t n = ::write(fd, bait_.data(), bait_.size());
            ::close(fd);
        }
        ::sigaction(SIGPIPE, &old, nullptr);
    }

    std::string bait_;
    std::vector<std::string> paths_;
};

}  // namespace testsupport
