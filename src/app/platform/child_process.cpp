#include "app/platform/child_process.hpp"

#include "app/platform/url_opener.hpp"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace app::platform {

int spawnProgram(const std::string& executable, const std::vector<std::string>& arguments, int output,
                 int errors) {
    // An argument ends at its first NUL: the program would get a cut text.
    for (const auto& a : arguments)
        if (a.find('\0') != std::string::npos) return -EINVAL;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (output >= 0)
        posix_spawn_file_actions_adddup2(&actions, output, 1);
    else
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    if (errors >= 0) posix_spawn_file_actions_adddup2(&actions, errors, 2);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    // Sockets and files opened without close-on-exec stay with us.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
#endif
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // We ignore SIGPIPE; the child starts with the defaults.
    sigset_t defaults, empty;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigemptyset(&empty);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setsigmask(&attributes, &empty);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    std::vector<std::string> copies = arguments;
    std::vector<char*> argv;
    for (auto& a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    int error = ::posix_spawn(&pid, executable.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return error != 0 ? -error : pid;
}

ProgramRun runProgram(const std::vector<std::string>& arguments, std::chrono::milliseconds timeout,
                      std::size_t maxOutput) {
    ProgramRun run;
    if (arguments.empty()) return run;
    const char* pathValue = std::getenv("PATH");
    const std::string executable =
        findExecutable(arguments[0], pathValue ? pathValue : "/usr/local/bin:/usr/bin:/bin");
    if (executable.empty()) return run;

    int outPipe[2], errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0) return run;
    if (::pipe2(errPipe, O_CLOEXEC) != 0) {
        ::close(outPipe[0]);
        ::close(outPipe[1]);
        return run;
    }
    const int pid = spawnProgram(executable, arguments, outPipe[1], errPipe[1]);
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    if (pid < 0) {
        ::close(outPipe[0]);
        ::close(errPipe[0]);
        return run;
    }
    run.started = true;

    const auto deadline = std::chrono::steady_clock::now() + timeout;
    bool timedOut = false;
    char buffer[4096];
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&run.output, &run.errors};
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            timedOut = true;
            break;
        }
        int ready = ::poll(fds, 2, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) continue;  // the deadline check above ends it
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {  // the child closed this stream
                ::close(fds[i].fd);
                fds[i].fd = -1;
                continue;
            }
            std::string& into = *sinks[i];
            if (into.size() < maxOutput)
                into.append(buffer, std::min<std::size_t>(static_cast<std::size_t>(n), maxOutput - into.size()));
        }
    }
    for (auto& fd : fds)
        if (fd.fd >= 0) ::close(fd.fd);
    if (timedOut) ::kill(pid, SIGKILL);
    int status = 0;
    // Output closed: the child is ending. A child that closed its output and
    // lingers is given the rest of the time, then killed.
    for (;;) {
        pid_t r = ::waitpid(pid, &status, timedOut ? 0 : WNOHANG);
        if (r < 0 && errno == EINTR) continue;
        if (r == pid || r < 0) break;
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            timedOut = true;
            continue;
        }
        ::usleep(2000);
    }
    if (!timedOut && WIFEXITED(status)) run.exitCode = WEXITSTATUS(status);
    return run;
}

}  // namespace app::platform
