// A child process on pipes, for tests that talk to a real program: lines in,
// lines out, every wait bounded. The child is killed when the object dies.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {
class ChildProcess {
public:
    // Starts argv[0] (searched on PATH) with exactly the given environment
    // ("NAME=value" entries). Standard error is inherited unless discarded.
    ChildProcess(std::vector<std::string> argv, std::vector<std::string> environment, bool discardStderr = false);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    void write(const std::string& bytes);
    void writeLine(const std::string& line) { write(line + "\n"); }
    void closeInput();

    // The next line of standard output without its newline; nullopt at end of
    // output; throws std::runtime_error past the time-out.
    std::optional<std::string> readLine(std::chrono::milliseconds timeout = std::chrono::seconds(10));

    // Waits for the exit status (128 + signal when killed); throws past the time-out.
    int wait(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    void kill();

    int pid() const { return pid_; }
    int inputFd() const { return in_; }
    int outputFd() const { return out_; }

private:
    int pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    std::string buffer_;
    bool eof_ = false;
    std::optional<int> status_;
};

bool onPath(const std::string& program);

std::vector<std::string> environmentWith(const std::vector<std::pair<std::string, std::string>>& overrides);

}  // namespace testsupport
