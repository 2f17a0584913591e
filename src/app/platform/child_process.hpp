// Runs a helper program to its end: an argument vector (never a shell), no
// standard input, its standard output collected (bounded), a time limit.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace app::platform {

struct ProgramRun {
    bool started = false;          // false: not found or could not start
    std::optional<int> exitCode;   // nullopt: killed by a signal or the time limit
    std::string output;            // standard output, at most maxOutput bytes
    std::string errors;            // standard error, at most maxOutput bytes
};

// Starts `executable` with the argument vector (no shell): standard input
// /dev/null, standard output `output` (-1: /dev/null), standard error
// `errors` (-1: ours), no other descriptor, default signal dispositions and
// an empty mask. Returns the child's pid, or -errno when it could not start
// (-EINVAL for an argument holding a NUL, which no program can be passed whole).
int spawnProgram(const std::string& executable, const std::vector<std::string>& arguments, int output = -1,
                 int errors = -1);

// `arguments[0]` is looked up on PATH. Both output streams are collected; the
// child gets no other descriptor. A child past `timeout` is killed and reaped.
ProgramRun runProgram(const std::vector<std::string>& arguments, std::chrono::milliseconds timeout,
                      std::size_t maxOutput = 1 << 20);

}  // namespace app::platform
