// Hands a URL to the desktop's handler for it (mail composer, browser).
#pragma once

#include "app/platform/diagnostic_sink.hpp"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace app::platform {

class UrlOpener {
public:
    virtual ~UrlOpener() = default;
    // Asks for the URL to be opened and returns once the handler is on its
    // way: the opener said so, or it still runs after a short wait. Throws
    // PlatformError naming the cause when the handler cannot be started or
    // the opener reports a failure.
    virtual void open(const std::string& url) = 0;
};

// A URL longer than this cannot be handed over as one argument.
inline constexpr std::size_t maxOpenedUrlSize = 128 * 1024;

// The text itself when short, else its first few hundred bytes (cut at a
// character boundary) and how much was left out: diagnostics never repeat a
// caller-sized text in full.
std::string diagnosticExcerpt(std::string_view text);

// Runs the opener program (xdg-open) found on PATH, with the URL as its one
// argument and no shell in between. Its standard input and output are
// /dev/null, so it can neither read requests nor write into the protocol
// stream; its standard error is read by us: its last line is the reason
// given when the opener exits non-zero, and what a handler still running
// writes there goes to the diagnostic sink a line at a time. Descriptors
// beyond the standard three are not inherited. open() waits at most `wait`
// for the opener's status. Without an opener on PATH, with a URL over
// maxOpenedUrlSize, when the spawn fails or the opener fails, open() reports
// the URL (cut short) and the cause to the diagnostic sink and throws.
class SpawnUrlOpener : public UrlOpener {
public:
    explicit SpawnUrlOpener(std::shared_ptr<DiagnosticSink> sink, std::string program = "xdg-open",
                            std::chrono::milliseconds wait = std::chrono::seconds(3));
    ~SpawnUrlOpener() override;

    SpawnUrlOpener(const SpawnUrlOpener&) = delete;
    SpawnUrlOpener& operator=(const SpawnUrlOpener&) = delete;

    void open(const std::string& url) override;

    // Started children not yet reaped.
    std::size_t runningChildren() const;

private:
    // A child (pid 0 once reaped) or the standard error a handler still
    // holds (fd -1 once closed), with its unfinished last line.
    struct Child {
        pid_t pid = 0;
        int errors = -1;
        std::string partial;
    };
    void reaperLoop(std::stop_token stop);
    void forwardLines(std::string& partial, std::string_view text, bool flush);
    void fail(const std::string& url, const std::string& cause);

    const std::shared_ptr<DiagnosticSink> sink_;
    const std::string program_;
    const std::chrono::milliseconds wait_;
    mutable std::mutex mutex_;
    std::condition_variable_any wake_;
    std::vector<Child> children_;
    std::jthread reaper_;
};

// The executable named program in the directories of path (a PATH value);
// a name with a slash is taken as it is. Empty when there is none.
std::string findExecutable(const std::string& program, const std::string& path);

}  // namespace app::platform
